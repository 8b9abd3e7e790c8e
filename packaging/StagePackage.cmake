# SPDX-License-Identifier: GPL-3.0-or-later
# Run by cpack on the staged installation, before it packs it:
# - the marker the programs find from their folder (AppModel::selfUpdates), in the
#   package only: the package manager updates the app there;
# - the compilers' notes (.comment) taken out of the programs, which keep their
#   build ids for the debug symbols cpack splits off next.
find_program(objcopy NAMES objcopy REQUIRED)
file(GLOB roots LIST_DIRECTORIES true "${CPACK_TEMPORARY_DIRECTORY}" "${CPACK_TEMPORARY_INSTALL_DIRECTORY}")
list(REMOVE_DUPLICATES roots)
foreach(root IN LISTS roots)
  if(NOT IS_DIRECTORY "${root}/usr/share/corvane")
    continue()
  endif()
  file(WRITE "${root}/usr/share/corvane/package-managed" "The package manager updates Corvane here.\n")
  file(GLOB programs "${root}/usr/bin/*" "${root}/usr/lib/corvane/*" "${root}/usr/libexec/corvane/*")
  foreach(program IN LISTS programs)
    file(READ "${program}" magic LIMIT 4 HEX)
    if(magic STREQUAL "7f454c46")
      execute_process(COMMAND ${objcopy} --remove-section=.comment "${program}" COMMAND_ERROR_IS_FATAL ANY)
    endif()
  endforeach()
endforeach()
