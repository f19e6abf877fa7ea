# Debian packages, made with CPack from a build configured for /usr (the
# libraries then go to the multiarch folder, lib/<triplet>):
#   cmake -S . -B build -DCMAKE_INSTALL_PREFIX=/usr && cmake --build build
#   cd build && cpack
# One package per install component (cmake/Install.cmake):
#   libqor1      runtime  libqor_dll.so.1 and libqor_comm.so.1
#   libqor-dev   dev      headers, .so links, pkg-config files, CMake package,
#                         qor_dll(3) and the page links of its functions
#   qor-tools    tools    qor, qor-sim and their manual pages
#   python3-qor  python   the Python package (finds libqor1 by soname)
#   qor-gateway  gateway  the MQTT gateway daemon, its manual page, systemd
#                         unit and example configuration, and the folder
#                         /etc/qor of the configuration the unit reads (when
#                         it is built)
# Binaries are stripped; dpkg-shlibdeps computes what they need from the
# system, and the packages that use the libraries depend on libqor1 of the
# same version.
if(NOT CMAKE_INSTALL_PREFIX STREQUAL "/usr")
  message(STATUS "Debian packages: not set up; configure with -DCMAKE_INSTALL_PREFIX=/usr "
                 "to make them with cpack")
  return()
endif()

set(QOR_DEB_MAINTAINER "qor maintainers <maintainers@qor.invalid>")
set(QOR_DEB_PACKAGES runtime libqor1 dev libqor-dev tools qor-tools python python3-qor)
if(TARGET qor-gateway)
  list(APPEND QOR_DEB_PACKAGES gateway qor-gateway)
endif()

# Every package carries its copyright statement and a changelog in
# /usr/share/doc/<package>/. They are for the packages only: a plain
# `cmake --install` leaves them out.
string(TIMESTAMP QOR_DEB_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
set(qor_deb_doc ${PROJECT_BINARY_DIR}/debian-doc)
configure_file(${CMAKE_CURRENT_LIST_DIR}/debian/copyright ${qor_deb_doc}/copyright COPYONLY)
configure_file(${CMAKE_CURRENT_LIST_DIR}/debian/changelog.in ${qor_deb_doc}/changelog @ONLY)
execute_process(COMMAND gzip -9nf ${qor_deb_doc}/changelog RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "gzip failed on ${qor_deb_doc}/changelog")
endif()
set(packages ${QOR_DEB_PACKAGES})
while(packages)
  list(POP_FRONT packages component package)
  install(FILES ${qor_deb_doc}/copyright ${qor_deb_doc}/changelog.gz
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${package}
    COMPONENT ${component} EXCLUDE_FROM_ALL)
  string(TOUPPER ${component} component)
  set(CPACK_DEBIAN_${component}_PACKAGE_NAME ${package})
endwhile()

# The unit runs on /etc/qor/gateway.toml: the package makes its folder, the
# administrator writes the file (from the example in
# /usr/share/doc/qor-gateway/). A plain install leaves /etc alone.
if(TARGET qor-gateway)
  install(DIRECTORY DESTINATION /etc/qor COMPONENT gateway EXCLUDE_FROM_ALL)
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME qor)
set(CPACK_PACKAGE_VENDOR "qor maintainers")
set(CPACK_PACKAGE_CONTACT "${QOR_DEB_MAINTAINER}")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
# Each package has a summary of its own (below), not one shared line.
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "")
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_STRIP_FILES ON)
# Nothing from the source tree goes into a source package by accident.
set(CPACK_SOURCE_IGNORE_FILES "/\\\\.git/" "/build[^/]*/")

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL runtime dev tools python)
if(TARGET qor-gateway)
  list(APPEND CPACK_COMPONENTS_ALL gateway)
endif()
set(CPACK_COMPONENTS_GROUPING IGNORE)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${QOR_DEB_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# dpkg-shlibdeps: what the binaries need from the system. The runtime
# package gets a shlibs file (and an ldconfig trigger) for packages built
# against it.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The programs' own libraries are found in the build (no system package has
# them); the dependency on libqor1 comes from the component dependencies.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${PROJECT_BINARY_DIR})
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
# The packages built together depend on each other at the same version.
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)
set(CPACK_COMPONENT_DEV_DEPENDS runtime)
set(CPACK_COMPONENT_TOOLS_DEPENDS runtime)
set(CPACK_COMPONENT_GATEWAY_DEPENDS runtime)

set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
# The ldconfig trigger Debian asks for; CPack also writes ldconfig calls
# into postinst and postrm, which do no harm beside it.
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA ${CMAKE_CURRENT_LIST_DIR}/debian/triggers)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_RUNTIME_DESCRIPTION
  "libraries that drive addressable I/O modules on a serial link
libqor_dll drives addressable I/O modules that share one serial byte link
and speak a line-oriented ASCII protocol: one C function per command, each
returning the reading or result with a status and an error code.
libqor_comm is the byte link under it: serial devices and raw TCP
connections to serial device servers.")

set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_DESCRIPTION
  "development files of the qor I/O module libraries
The C headers qor_dll.h and qor_comm.h, the links to build against
libqor_dll and libqor_comm, pkg-config files (qor, qor_comm), the CMake
package (find_package(qor)), and the qor_dll(3) manual page with a page
link for each function.")

set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_TOOLS_DESCRIPTION
  "command-line tool and simulator for qor I/O modules
qor sends one command to an addressable I/O module (or scans, polls and
tours the modules) through libqor_dll; qor-sim simulates modules on a
pseudo-terminal or a TCP port, with fault injection for tests.")

# The Python package is the same on every architecture; it loads libqor1
# with ctypes, which dpkg-shlibdeps cannot see.
set(CPACK_DEBIAN_PYTHON_PACKAGE_SECTION python)
set(CPACK_DEBIAN_PYTHON_PACKAGE_ARCHITECTURE all)
set(CPACK_DEBIAN_PYTHON_PACKAGE_DEPENDS "python3, libqor1 (>= ${PROJECT_VERSION})")
set(CPACK_DEBIAN_PYTHON_DESCRIPTION
  "Python interface to the qor I/O module libraries
The qor package drives addressable I/O modules through libqor_dll and
libqor_comm with ctypes: a Link per port, a Module per address, one method
per command, and exceptions for module and link faults.")

set(CPACK_DEBIAN_GATEWAY_PACKAGE_SECTION net)
set(CPACK_DEBIAN_GATEWAY_DESCRIPTION
  "MQTT gateway for qor I/O modules
qor-gateway polls addressable I/O modules on one or more serial links or
serial device servers, one thread per link, and publishes each reading to
an MQTT broker as JSON, with retained availability and counters per module.
Commands for the modules (outputs, alarm limits) come back over MQTT.
Readings are queued while the broker is away. Includes a systemd unit and an
example configuration.")

include(CPack)
