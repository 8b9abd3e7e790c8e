# SPDX-License-Identifier: GPL-3.0-or-later
# The engine is part of every installation: one without it would fail only at the
# first connect, with the kill switch armed. So an engine that is missing or not
# of the series the service runs stops the installation here, with the reason.
#
# In: CORVANE_ENGINE_BINARY, CORVANE_ENGINE_SERIES (e.g. 1.12), CORVANE_LIBEXECDIR.
if(NOT EXISTS "${CORVANE_ENGINE_BINARY}")
  message(FATAL_ERROR "The engine ${CORVANE_ENGINE_BINARY} is missing: run scripts/install-engine.sh, "
                      "or name a sing-box ${CORVANE_ENGINE_SERIES} with -DCORVANE_ENGINE_BINARY=PATH")
endif()
execute_process(COMMAND "${CORVANE_ENGINE_BINARY}" version
  OUTPUT_VARIABLE reply ERROR_VARIABLE reply RESULT_VARIABLE status TIMEOUT 20)
string(REPLACE "." "\\." series "${CORVANE_ENGINE_SERIES}")
if(NOT status EQUAL 0 OR NOT reply MATCHES "^sing-box version ${series}\\.[0-9]+")
  string(REGEX REPLACE "\n.*" "" first "${reply}")
  message(FATAL_ERROR "The engine ${CORVANE_ENGINE_BINARY} is not sing-box ${CORVANE_ENGINE_SERIES} "
                      "(it says \"${first}\", exit status ${status}): run scripts/install-engine.sh")
endif()
file(INSTALL DESTINATION "${CMAKE_INSTALL_PREFIX}/${CORVANE_LIBEXECDIR}/corvane" TYPE PROGRAM FILES "${CORVANE_ENGINE_BINARY}"
  RENAME sing-box)
