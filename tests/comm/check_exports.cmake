# libqor_comm exports exactly the functions of qor_comm.h, under their plain
# names, and its soname.
# cmake -DLIBRARY=... -DHEADER=... -P check_exports.cmake
include(${CMAKE_CURRENT_LIST_DIR}/../support/exported_names.cmake)
include(${CMAKE_CURRENT_LIST_DIR}/../../cmake/ExportList.cmake)
qor_exported_names(${LIBRARY} exported)
qor_header_functions(${HEADER} declarations)
list(SORT declarations)
list(LENGTH declarations count)
if(NOT "${exported}" STREQUAL "${declarations}")
  message(FATAL_ERROR "exported: ${exported}\ndeclared: ${declarations}")
endif()

execute_process(COMMAND readelf -d ${LIBRARY} OUTPUT_VARIABLE dynamic)
if(NOT dynamic MATCHES "Library soname: \\[libqor_comm\\.so\\.1\\]")
  message(FATAL_ERROR "wrong soname:\n${dynamic}")
endif()
message(STATUS "${count} exports and the soname in place")
