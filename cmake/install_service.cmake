# Runs at install time, when the prefix is known (CMAKE_INSTALL_PREFIX; DESTDIR
# is added by file(INSTALL)): installs the configuration and the systemd unit
# that names the installed daemon and configuration. The configuration goes to
# <prefix>/etc, or to /etc for the system prefixes, as GNUInstallDirs places it.
# Set by the install code before this script: KOVO_SOURCE_DIR, KOVO_BINARY_DIR,
# KOVO_BINDIR, KOVO_SYSCONFDIR.
if(CMAKE_INSTALL_PREFIX STREQUAL "/usr" OR CMAKE_INSTALL_PREFIX STREQUAL "/")
  set(config_dir "/${KOVO_SYSCONFDIR}/kovo_sio_client")
else()
  set(config_dir "${CMAKE_INSTALL_PREFIX}/${KOVO_SYSCONFDIR}/kovo_sio_client")
endif()
set(KOVO_DAEMON "${CMAKE_INSTALL_PREFIX}/${KOVO_BINDIR}/kovo_sio_client")
string(REPLACE "//" "/" KOVO_DAEMON "${KOVO_DAEMON}")
set(KOVO_CONFIG_DIR "${config_dir}")

file(INSTALL "${KOVO_SOURCE_DIR}/config/config.json" DESTINATION "${config_dir}")
set(unit "${KOVO_BINARY_DIR}/install/kovo_sio_client.service")
configure_file("${KOVO_SOURCE_DIR}/packaging/kovo_sio_client.service.in" "${unit}" @ONLY)
file(INSTALL "${unit}" DESTINATION "${CMAKE_INSTALL_PREFIX}/lib/systemd/system")
