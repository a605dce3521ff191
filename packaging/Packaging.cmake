# What `cmake --install` puts under the prefix, and the packages CPack makes
# of it: a Debian package on Linux, a .zip from each Windows build.
include(GNUInstallDirs)

set(CPACK_PACKAGE_NAME kelvane)
set(CPACK_PACKAGE_CONTACT "The Kelvane developers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "remove dated entries from a backup archive once they are too old")
set(CPACK_PACKAGE_DESCRIPTION
  "Kelvane keeps a dated archive directory short. Every entry directly inside
the archive whose name begins with a date yyyymmdd and that is older than a
given number of days is announced and removed: a file erased, a directory
removed with everything below it. Symbolic links are never followed.")
set(CPACK_STRIP_FILES ON)

if(WIN32)
  # The zip holds the program beside its documents, as .txt files with the
  # line ends every Windows editor shows correctly.
  install(TARGETS kelvane RUNTIME DESTINATION .)
  foreach(doc README.md CHANGES LICENSE)
    string(REGEX REPLACE "\\.md$" "" name ${doc})
    file(READ ${PROJECT_SOURCE_DIR}/${doc} text)
    string(REPLACE "\n" "\r\n" text "${text}")
    file(WRITE ${PROJECT_BINARY_DIR}/windows/${name}.txt "${text}")
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/${doc})
    install(FILES ${PROJECT_BINARY_DIR}/windows/${name}.txt DESTINATION .)
  endforeach()
  set(CPACK_GENERATOR ZIP)
  # Unpacked into C:\Tools, say, the zip gives C:\Tools\kelvane\kelvane.exe:
  # a folder of its own, so that the documents meet no other program's,
  # named the same for every release, so that one unpacked over it replaces
  # it and scheduled tasks keep their path. The zip itself is still named
  # after the release and the build.
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
  set(CPACK_PACKAGING_INSTALL_PREFIX /kelvane)
else()
  install(TARGETS kelvane RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(FILES doc/kelvane.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  # systemd looks for units below /usr/lib and /usr/local/lib alike; under
  # another prefix they must be linked (README, Install). The service is
  # completed with the prefix of the install when it runs.
  install(FILES contrib/kelvane@.timer DESTINATION lib/systemd/system)
  install(CODE "set(kelvane_bindir \"${CMAKE_INSTALL_BINDIR}\")
    set(kelvane_source_dir \"${PROJECT_SOURCE_DIR}\")
    set(kelvane_binary_dir \"${PROJECT_BINARY_DIR}\")")
  install(SCRIPT packaging/install-service.cmake)
  install(FILES README.md CHANGES DESTINATION ${CMAKE_INSTALL_DOCDIR})
  install(FILES LICENSE DESTINATION ${CMAKE_INSTALL_DOCDIR} RENAME copyright)
  set(CPACK_GENERATOR DEB)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION utils)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/debian-staging.cmake)
  # Removing the package disables the instances of its units that are
  # enabled, and purging it takes what systemd kept for them.
  set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${CMAKE_CURRENT_LIST_DIR}/debian/postinst ${CMAKE_CURRENT_LIST_DIR}/debian/prerm ${CMAKE_CURRENT_LIST_DIR}/debian/postrm)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
endif()

include(CPack)
