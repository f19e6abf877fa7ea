# Install rules, the CMake config package and the pkg-config files, so that a
# host program consumes qor like any other C library on the system:
#   find_package(qor 1.0 REQUIRED) -> qor::qor_dll, qor::qor_comm
#   pkg-config --cflags --libs qor (or qor_comm)
# The public headers go to <includedir>/qor/, and both the config package
# and the .pc files put exactly that directory on the include path, so host
# code writes #include <qor_dll.h>.
#
# Every file belongs to one component, which is one Debian package
# (cmake/Packaging.cmake):
#   runtime  the shared libraries (.so.1)
#   dev      headers, .so links, pkg-config files, CMake package, qor_dll(3)
#            and a page link for each function
#   tools    qor, qor-sim and their manual pages
#   python   the Python package
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(QOR_INSTALL_INCLUDEDIR ${CMAKE_INSTALL_INCLUDEDIR}/qor)
set(QOR_INSTALL_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake/qor)
set(QOR_INSTALL_PKGCONFIGDIR ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
# Debian's python3 reads /usr/lib/python3/dist-packages.
set(QOR_INSTALL_PYTHONDIR lib/python3/dist-packages CACHE STRING
    "Folder of the Python package, relative to the prefix")

# The same names in the build tree as after find_package(), so a project that
# adds this one with add_subdirectory() links qor::qor_dll either way.
add_library(qor::qor_dll ALIAS qor_dll)
add_library(qor::qor_comm ALIAS qor_comm)

# qor_dll finds libqor_comm next to itself wherever both are installed.
set_target_properties(qor_dll qor_comm PROPERTIES INSTALL_RPATH "$ORIGIN")

# The programs find the libraries relative to themselves, so an installed tree
# can be moved (or unpacked from a .deb anywhere) and still run. An absolute
# library directory is used as it is.
if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}")
  set(QOR_PROGRAM_RPATH "${CMAKE_INSTALL_LIBDIR}")
else()
  set(QOR_PROGRAM_RPATH "$ORIGIN/../${CMAKE_INSTALL_LIBDIR}")
endif()
set(QOR_INSTALLED_PROGRAMS)
foreach(program qor qor-sim qor-gateway)
  if(TARGET ${program})
    set_target_properties(${program} PROPERTIES INSTALL_RPATH "${QOR_PROGRAM_RPATH}")
  endif()
endforeach()
foreach(program qor qor-sim)
  if(TARGET ${program})
    list(APPEND QOR_INSTALLED_PROGRAMS ${program})
  endif()
endforeach()

install(TARGETS qor_dll qor_comm
  EXPORT qorTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT dev
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT dev
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime
  INCLUDES DESTINATION ${QOR_INSTALL_INCLUDEDIR})
if(QOR_INSTALLED_PROGRAMS)
  install(TARGETS ${QOR_INSTALLED_PROGRAMS} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
          COMPONENT tools)
endif()
install(FILES ${PROJECT_SOURCE_DIR}/include/qor_dll.h ${PROJECT_SOURCE_DIR}/include/qor_comm.h
  DESTINATION ${QOR_INSTALL_INCLUDEDIR} COMPONENT dev)

include(${CMAKE_CURRENT_LIST_DIR}/ManPages.cmake)

# The Python package, with its version written in (its source copy reads it
# from this project's CMakeLists.txt), and where the libraries were installed
# beside it: relative to the package, so that the tree can be moved, or the
# absolute folder when the install directories are absolute. It looks there
# before it asks for the libraries by soname.
file(GLOB qor_python_sources CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/python/qor/*.py)
# The catalogue's rows as this build wrote them (catalogue/CMakeLists.txt),
# rather than the source tree's copy.
list(FILTER qor_python_sources EXCLUDE REGEX "/_catalogue\\.py$")
if(TARGET qor_python_catalogue)
  list(APPEND qor_python_sources ${PROJECT_BINARY_DIR}/python/qor/_catalogue.py)
else()
  list(APPEND qor_python_sources ${PROJECT_SOURCE_DIR}/python/qor/_catalogue.py)
endif()
if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}" OR IS_ABSOLUTE "${QOR_INSTALL_PYTHONDIR}")
  set(QOR_PYTHON_LIBDIR "${CMAKE_INSTALL_FULL_LIBDIR}")
else()
  file(RELATIVE_PATH QOR_PYTHON_LIBDIR "/qor-prefix/${QOR_INSTALL_PYTHONDIR}/qor"
       "/qor-prefix/${CMAKE_INSTALL_LIBDIR}")
endif()
file(CONFIGURE OUTPUT ${PROJECT_BINARY_DIR}/python/_installed_version.py @ONLY CONTENT
  "# Written when the package was installed: the project's version, and the
# folder of the libraries installed with it (relative to this file's folder).
VERSION = \"@PROJECT_VERSION@\"
LIBDIR = \"@QOR_PYTHON_LIBDIR@\"
")
install(FILES ${qor_python_sources} ${PROJECT_BINARY_DIR}/python/_installed_version.py
  ${PROJECT_SOURCE_DIR}/python/qor/py.typed
  DESTINATION ${QOR_INSTALL_PYTHONDIR}/qor COMPONENT python)

# qor-gateway: its manual page, an example configuration beside the other
# documentation, and a systemd unit whose ExecStart names the program where
# it is installed. The unit is written at install time, when the prefix is
# known (cmake --install --prefix, or CPack's /usr).
# It is a package of its own (the gateway component), as daemons are.
if(TARGET qor-gateway)
  install(TARGETS qor-gateway RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT gateway)
  install(FILES ${PROJECT_SOURCE_DIR}/gateway/gateway.toml.example
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/qor-gateway COMPONENT gateway)
  if(IS_ABSOLUTE "${CMAKE_INSTALL_BINDIR}")
    set(QOR_GATEWAY_PROGRAM_AT "${CMAKE_INSTALL_BINDIR}/qor-gateway")
  else()
    set(QOR_GATEWAY_PROGRAM_AT "\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/qor-gateway")
  endif()
  install(CODE "
    set(QOR_GATEWAY_PROGRAM \"${QOR_GATEWAY_PROGRAM_AT}\")
    configure_file(\"${PROJECT_SOURCE_DIR}/gateway/qor-gateway.service.in\"
                   \"${PROJECT_BINARY_DIR}/gateway/qor-gateway.service\" @ONLY)
    file(INSTALL \"${PROJECT_BINARY_DIR}/gateway/qor-gateway.service\"
         DESTINATION \"\${CMAKE_INSTALL_PREFIX}/lib/systemd/system\")
  " COMPONENT gateway)
endif()

# CMake config package. The generated files locate the prefix relative to
# themselves, so they stay right under any --prefix or DESTDIR.
install(EXPORT qorTargets
  NAMESPACE qor::
  FILE qorTargets.cmake
  DESTINATION ${QOR_INSTALL_CMAKEDIR}
  COMPONENT dev)
configure_package_config_file(
  ${CMAKE_CURRENT_LIST_DIR}/qorConfig.cmake.in
  ${PROJECT_BINARY_DIR}/cmake/qorConfig.cmake
  INSTALL_DESTINATION ${QOR_INSTALL_CMAKEDIR}
  PATH_VARS QOR_INSTALL_INCLUDEDIR)
write_basic_package_version_file(
  ${PROJECT_BINARY_DIR}/cmake/qorConfigVersion.cmake
  VERSION ${PROJECT_VERSION}
  COMPATIBILITY SameMajorVersion)
install(FILES
  ${PROJECT_BINARY_DIR}/cmake/qorConfig.cmake
  ${PROJECT_BINARY_DIR}/cmake/qorConfigVersion.cmake
  DESTINATION ${QOR_INSTALL_CMAKEDIR}
  COMPONENT dev)

# pkg-config files. With relative install directories the prefix is written
# when the files are installed, so `cmake --install --prefix X` yields files
# for X without reconfiguring, and `pkg-config --variable=libdir qor` gives a
# plain X/lib that can go into an rpath as it is. (A tree moved after
# installing is reached with --define-variable=prefix=NEW.) Absolute
# directories are written as they are. The build tree keeps a copy for the
# configured prefix.
set(qor_pc_install_prefix "${CMAKE_INSTALL_PREFIX}")
if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}" OR IS_ABSOLUTE "${CMAKE_INSTALL_INCLUDEDIR}")
  set(QOR_PC_LIBDIR "${CMAKE_INSTALL_FULL_LIBDIR}")
  set(QOR_PC_INCLUDEDIR "${CMAKE_INSTALL_FULL_INCLUDEDIR}")
  if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}")
    set(QOR_INSTALL_PKGCONFIGDIR "${CMAKE_INSTALL_LIBDIR}/pkgconfig")
  endif()
else()
  set(QOR_PC_LIBDIR "\${prefix}/${CMAKE_INSTALL_LIBDIR}")
  set(QOR_PC_INCLUDEDIR "\${prefix}/${CMAKE_INSTALL_INCLUDEDIR}")
  set(qor_pc_install_prefix "@QOR_PC_INSTALLED_PREFIX@")
endif()
foreach(pc qor qor_comm)
  set(QOR_PC_PREFIX "${CMAKE_INSTALL_PREFIX}")
  configure_file(${CMAKE_CURRENT_LIST_DIR}/${pc}.pc.in ${PROJECT_BINARY_DIR}/pkgconfig/${pc}.pc @ONLY)
  set(QOR_PC_PREFIX "${qor_pc_install_prefix}")
  configure_file(${CMAKE_CURRENT_LIST_DIR}/${pc}.pc.in
                 ${PROJECT_BINARY_DIR}/pkgconfig/install/${pc}.pc.in @ONLY)
  install(CODE "
    cmake_path(SET QOR_PC_INSTALLED_PREFIX NORMALIZE \"\${CMAKE_INSTALL_PREFIX}\")
    string(REGEX REPLACE \"(.)/$\" \"\\\\1\" QOR_PC_INSTALLED_PREFIX \"\${QOR_PC_INSTALLED_PREFIX}\")
    configure_file(\"${PROJECT_BINARY_DIR}/pkgconfig/install/${pc}.pc.in\"
                   \"${PROJECT_BINARY_DIR}/pkgconfig/install/${pc}.pc\" @ONLY)
    file(INSTALL \"${PROJECT_BINARY_DIR}/pkgconfig/install/${pc}.pc\"
         DESTINATION \"\${CMAKE_INSTALL_PREFIX}/${QOR_INSTALL_PKGCONFIGDIR}\")
  " COMPONENT dev)
endforeach()

# Debian packages (cpack), from a build configured for /usr.
if(NOT WIN32)
  include(${CMAKE_CURRENT_LIST_DIR}/Packaging.cmake)
endif()
