# Run by CPack over the files staged for the Debian package, before packing
# them: Debian's policy wants manual pages and documents (the copyright file
# aside) compressed with gzip -9n.
if(NOT CPACK_GENERATOR STREQUAL "DEB")
  return()
endif()
set(prefix ${CPACK_TEMPORARY_DIRECTORY}${CPACK_PACKAGING_INSTALL_PREFIX})
set(docdir ${prefix}/share/doc/${CPACK_PACKAGE_NAME})
file(GLOB pages ${prefix}/share/man/man*/*)
file(GLOB docs ${docdir}/*)
list(REMOVE_ITEM docs ${docdir}/copyright)
execute_process(COMMAND gzip -9n ${pages} ${docs} COMMAND_ERROR_IS_FATAL ANY)
