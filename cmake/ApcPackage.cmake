# The Debian package, made with `cpack -G DEB` in a build directory: whatever
# cmake --install lays down with the prefix /usr (programs, units, init
# scripts, tmpfiles entry, start step, licence) and the maintainer scripts of
# dist/deb, which start the units on a machine that runs systemd.
set(CPACK_PACKAGE_NAME autoprovisionclient)
set(CPACK_PACKAGE_VENDOR "autoprovisionclient developers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Auto-provisioning client daemon of the VoIP gateway")
set(CPACK_PACKAGE_CONTACT "autoprovisionclient developers <root@localhost>")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_GENERATOR DEB)
# The install rules place the init scripts by the prefix, at /etc for /usr:
# they run with that prefix under a staging DESTDIR.
set(CPACK_SET_DESTDIR ON)
set(CPACK_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The libraries the programs link, from dpkg-shlibdeps when it is there; it
# knows this machine's libraries only, so a cross build names them by hand,
# under the target's architecture (CPack would take this machine's).
find_program(APC_DPKG_SHLIBDEPS dpkg-shlibdeps)
if(APC_DPKG_SHLIBDEPS AND NOT CMAKE_CROSSCOMPILING)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
else()
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6, libstdc++6, libgcc-s1")
endif()
if(CMAKE_CROSSCOMPILING AND CMAKE_SYSTEM_PROCESSOR STREQUAL "powerpc")
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE powerpc)
endif()
# The init scripts are conffiles: kept on removal, deleted on purge.
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${PROJECT_SOURCE_DIR}/dist/deb/conffiles ${PROJECT_SOURCE_DIR}/dist/deb/postinst
    ${PROJECT_SOURCE_DIR}/dist/deb/prerm ${PROJECT_SOURCE_DIR}/dist/deb/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
