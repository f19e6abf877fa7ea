# Binary package: `cpack -G DEB` in the build directory (after a build) makes
# qor_<version>_<arch>.deb with the libraries, headers, config package,
# pkg-config files, programs and manual pages under /usr.
set(CPACK_PACKAGE_NAME qor)
set(CPACK_PACKAGE_VENDOR "qor maintainers")
set(CPACK_PACKAGE_CONTACT "qor maintainers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
  "Library, tools and simulator for addressable I/O modules on a shared serial link")
set(CPACK_PACKAGE_DESCRIPTION
  "qor_dll drives addressable I/O modules that share one serial byte link \
and speak a line-oriented ASCII protocol; qor_comm is the byte link under it \
(serial devices and raw TCP). The package also holds the qor command-line \
tool, the qor-sim module simulator, the qor-gateway MQTT daemon with its \
systemd unit, the C headers, a CMake config package \
and pkg-config files.")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
# Nothing from the source tree goes into a source package by accident.
set(CPACK_SOURCE_IGNORE_FILES "/\\\\.git/" "/build[^/]*/")

set(CPACK_DEBIAN_PACKAGE_NAME qor)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "qor maintainers")
set(CPACK_DEBIAN_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# A shlibs file for packages built against this one, and an ldconfig trigger.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")

# Dependencies come from the binaries themselves when dpkg-shlibdeps (and
# `file`, which CPack uses to find them) are there; otherwise from this list,
# which names what the C++ libraries and programs need on any supported Debian.
find_program(QOR_DPKG_SHLIBDEPS dpkg-shlibdeps)
find_program(QOR_FILE_PROGRAM file)
mark_as_advanced(QOR_DPKG_SHLIBDEPS QOR_FILE_PROGRAM)
if(QOR_DPKG_SHLIBDEPS AND QOR_FILE_PROGRAM)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
else()
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS OFF)
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6 (>= 2.34), libgcc-s1 (>= 3.0), libstdc++6 (>= 11)")
  if(TARGET qor-gateway)
    string(APPEND CPACK_DEBIAN_PACKAGE_DEPENDS ", libmosquitto1 (>= 2.0), libtomlplusplus3 (>= 3.3)")
  endif()
endif()

include(CPack)
