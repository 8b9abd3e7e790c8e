# SPDX-License-Identifier: GPL-3.0-or-later
# Installs one of systemd's files (a unit, or the accounts for systemd-sysusers)
# when the prefix is known, at install time: the programs and documents it names
# are those below that prefix, and it goes where systemd looks for that prefix.
#
# In: CORVANE_SYSTEMD_SOURCE (the file as written for /usr), CORVANE_SYSTEMD_DIR
# (its folder, "@PREFIX@" standing for the install prefix), CORVANE_SYSTEMD_PREFIX
# (the prefix the system's systemd was built for), CORVANE_SYSTEMD_STAGE (a
# folder of the build), CORVANE_SYSTEMD_NAME (its installed name), and the
# relative CORVANE_BINDIR and CORVANE_DOCDIR.
set(prefix "${CMAKE_INSTALL_PREFIX}")
if(CORVANE_SYSTEMD_DIR MATCHES "@PREFIX@")
  string(REPLACE "@PREFIX@" "${prefix}" dir "${CORVANE_SYSTEMD_DIR}")
elseif(prefix STREQUAL CORVANE_SYSTEMD_PREFIX)
  # The system's own folder outside the prefix (/lib/systemd/system on Debian 12).
  set(dir "${CORVANE_SYSTEMD_DIR}")
else()
  set(dir "${prefix}${CORVANE_SYSTEMD_DIR}")
endif()

file(READ "${CORVANE_SYSTEMD_SOURCE}" text)
string(REPLACE "/usr/bin/" "${prefix}/${CORVANE_BINDIR}/" text "${text}")
string(REPLACE "/usr/share/doc/corvane/" "${prefix}/${CORVANE_DOCDIR}/" text "${text}")
# A folder for each destination: installations to different places may run at once (the tests'
# and the package's), and none may take the other's text.
string(MD5 destination "$ENV{DESTDIR}${dir}")
set(stage "${CORVANE_SYSTEMD_STAGE}/${destination}")
file(MAKE_DIRECTORY "${stage}")
file(WRITE "${stage}/${CORVANE_SYSTEMD_NAME}" "${text}")
file(INSTALL DESTINATION "${dir}" TYPE FILE FILES "${stage}/${CORVANE_SYSTEMD_NAME}")
