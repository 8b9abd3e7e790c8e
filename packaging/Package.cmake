# SPDX-License-Identifier: GPL-3.0-or-later
# The Debian package: an installation with prefix /usr, made by cpack from the
# build folder without compiling anything (scripts/package.sh).

# The QML modules the views import are loaded at run time, so dpkg-shlibdeps cannot see them:
# the packages that hold them (with the modules those import in turn) become dependencies.
function(corvane_qml_packages out)
  set(packages)
  if(TARGET Qt6::qmake AND EXISTS ${CMAKE_SOURCE_DIR}/Corvane/Screens/qml)
    get_target_property(qmake Qt6::qmake IMPORTED_LOCATION)
    execute_process(COMMAND ${qmake} -query QT_INSTALL_QML OUTPUT_VARIABLE qml_root OUTPUT_STRIP_TRAILING_WHITESPACE)
    file(GLOB views ${CMAKE_SOURCE_DIR}/Corvane/Screens/qml/*.qml)
    set(pending)
    foreach(view IN LISTS views)
      set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${view})
      file(STRINGS ${view} imports REGEX "^import [A-Za-z]")
      foreach(line IN LISTS imports)
        string(REGEX REPLACE "^import ([A-Za-z0-9.]+).*" "\\1" module "${line}")
        list(APPEND pending ${module})
      endforeach()
    endforeach()
    set(seen)
    while(pending)
      list(POP_FRONT pending module)
      if(module IN_LIST seen)
        continue()
      endif()
      list(APPEND seen ${module})
      string(REPLACE "." "/" module_dir ${module})
      set(qmldir ${qml_root}/${module_dir}/qmldir)
      if(NOT EXISTS ${qmldir})
        continue()  # compiled into the program (Corvane.Screens.Native)
      endif()
      execute_process(COMMAND dpkg-query -S ${qmldir} OUTPUT_VARIABLE owner RESULT_VARIABLE status ERROR_QUIET)
      if(status EQUAL 0)
        string(REGEX REPLACE "[:,].*" "" owner "${owner}")
        list(APPEND packages ${owner})
      endif()
      # Imports a module declares in its qmldir come with it (QtQuick brings QtQml, which brings QtQml.Models).
      file(STRINGS ${qmldir} more REGEX "^import ")
      foreach(line IN LISTS more)
        string(REGEX REPLACE "^import ([A-Za-z0-9.]+).*" "\\1" next "${line}")
        list(APPEND pending ${next})
      endforeach()
    endwhile()
  endif()
  list(REMOVE_DUPLICATES packages)
  list(SORT packages)
  set(${out} ${packages} PARENT_SCOPE)
endfunction()
corvane_qml_packages(qml_packages)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME corvane)
set(CPACK_PACKAGE_VENDOR "Corvane")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/package)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES OFF)  # the -dbgsym step strips, keeping what it takes off
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "VPN client for the servers an operator's panel assigns")
set(CPACK_PACKAGE_DESCRIPTION "Corvane signs in to an operator's panel and connects this computer through
the fleet of VLESS-Reality and Hysteria2 servers the panel assigns, with
metered exits and private sites. The tunnel runs in a privileged system
service with the sing-box engine and a kill switch.

The package holds the desktop app with its tray icon, the command-line client
corvanectl, the per-user agent and the tunnel service with its engine.
Members of the group corvane may use the service; installing the package adds
no one to it.")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${CORVANE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "${CORVANE_HOMEPAGE}")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_COMPRESSION_TYPE xz)
# Libraries from the programs (the engine and the XEmbed module included; libwayland-client for the
# window's look for a Wayland seat); the QML modules;
# the X11 platform plugin; nft for the kill switch; systemd-sysusers for the accounts and
# deb-systemd-helper for the units.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
string(REPLACE ";" ", " qml_depends "${qml_packages}")
set(CPACK_DEBIAN_PACKAGE_DEPENDS
  "${qml_depends}, qt6-qpa-plugins, nftables, systemd | systemd-standalone-sysusers | systemd-sysusers, init-system-helpers (>= 1.58)")
# The Secret Service client is opened at run time (without it the token stays in an owner-only file);
# Wayland sessions need Qt's Wayland plugin.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "libsecret-1-0, qt6-wayland")
set(CPACK_DEBIAN_DEBUGINFO_PACKAGE ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
  ${CMAKE_CURRENT_SOURCE_DIR}/debian/postinst ${CMAKE_CURRENT_SOURCE_DIR}/debian/prerm ${CMAKE_CURRENT_SOURCE_DIR}/debian/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# The package marks its installation, so the app leaves updates to the package manager.
set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_CURRENT_SOURCE_DIR}/StagePackage.cmake)
# xz on both cores: the debug symbols are most of the time cpack takes.
set(CPACK_THREADS 2)
include(CPack)
