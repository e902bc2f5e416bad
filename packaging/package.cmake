# The Debian package: everything `cmake --install` puts in place, under
# /usr, with the man pages, the documentation Debian asks for and the
# maintainer scripts that make the system root and enable the service.
#   cd build/default && cpack -G DEB     (scripts/package.sh)
set(VLM_PACKAGE_VERSION 1.0.0)

# Man pages and the changelog, compressed as Debian installs them.
set(man_pages vlmhost.8 vlmctl.8 vlmdevcon.8 vlmreg.8 vlmcom.1 vlmconfig.1 vlmconfig32.1 vlmprinter.1 vlmrun.1)
set(compressed "")
foreach(page ${man_pages})
  string(REGEX REPLACE ".*\\." "" section ${page})
  set(out ${CMAKE_BINARY_DIR}/man/${page}.gz)
  add_custom_command(OUTPUT ${out}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/man
    COMMAND gzip -9n -c ${CMAKE_SOURCE_DIR}/docs/man/${page} > ${out}
    DEPENDS ${CMAKE_SOURCE_DIR}/docs/man/${page} VERBATIM)
  list(APPEND compressed ${out})
  install(FILES ${out} DESTINATION share/man/man${section})
endforeach()
set(changelog ${CMAKE_BINARY_DIR}/packaging/changelog.gz)
add_custom_command(OUTPUT ${changelog}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/packaging
  COMMAND gzip -9n -c ${CMAKE_SOURCE_DIR}/packaging/debian/changelog > ${changelog}
  DEPENDS ${CMAKE_SOURCE_DIR}/packaging/debian/changelog VERBATIM)
add_custom_target(vlm_package_docs ALL DEPENDS ${compressed} ${changelog})
install(FILES ${changelog} ${CMAKE_SOURCE_DIR}/packaging/debian/copyright DESTINATION share/doc/vlm)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME vlm)
set(CPACK_PACKAGE_VERSION ${VLM_PACKAGE_VERSION})
set(CPACK_PACKAGE_CONTACT "VLM developers <vlm@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "virtual serial ports that print to network printers")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "Serial applications print to printers with an Ethernet interface
through ordinary COM ports: vlmhost serves virtual serial ports as
pseudo-terminals and over IPC, each a TCP connection to a printer.
vlmctl finds, configures and assigns printers from a shell; the
configuration tool vlmconfig does the same in a window.")
# Installed as root under /usr, with DESTDIR staging: the unit and the
# desktop entries name /usr paths, not the staging directory.
set(CPACK_SET_DESTDIR ON)
set(CPACK_INSTALL_PREFIX /usr)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "iproute2")
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS OFF)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
  ${CMAKE_SOURCE_DIR}/packaging/postinst ${CMAKE_SOURCE_DIR}/packaging/prerm ${CMAKE_SOURCE_DIR}/packaging/postrm)
# Only what is installed by default: no test or development files.
set(CPACK_COMPONENTS_ALL Unspecified)
include(CPack)
