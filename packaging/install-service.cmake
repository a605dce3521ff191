# Run by cmake --install and by CPack: installs kelvane@.service with its
# ExecStart naming the installed kelvane by its absolute path. systemd
# looks for a bare command name only in /usr/local/bin and /usr/bin, so
# with --prefix /opt/kelvane the unit could not start kelvane otherwise.
# CMAKE_INSTALL_PREFIX is read here, while installing: it is the --prefix
# of this install, not the prefix the build was configured with (DESTDIR,
# which file(INSTALL) adds, stays out of the unit).
set(bindir ${kelvane_bindir})
if(NOT IS_ABSOLUTE "${bindir}")
  set(bindir "${CMAKE_INSTALL_PREFIX}/${bindir}")
endif()
file(READ "${kelvane_source_dir}/contrib/kelvane@.service" unit)
string(REPLACE "\nExecStart=kelvane " "\nExecStart=${bindir}/kelvane " unit "${unit}")
if(NOT unit MATCHES "\nExecStart=/")
  message(FATAL_ERROR "contrib/kelvane@.service has no line \"ExecStart=kelvane ...\" to complete")
endif()
file(WRITE "${kelvane_binary_dir}/systemd/kelvane@.service" "${unit}")
file(INSTALL "${kelvane_binary_dir}/systemd/kelvane@.service" DESTINATION "${CMAKE_INSTALL_PREFIX}/lib/systemd/system"
  PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
