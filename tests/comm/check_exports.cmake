# libqor_comm exports exactly the functions of qor_comm.h, under their plain
# names, and its soname.
# cmake -DLIBRARY=... -DHEADER=... -P check_exports.cmake
include(${CMAKE_CURRENT_LIST_DIR}/../support/exported_names.cmake)
qor_exported_names(${LIBRARY} exported)

file(READ ${HEADER} header)
string(REGEX MATCHALL "QOR_COMM_API [a-z]+ (QOR_[A-Za-z]+)\\(" declarations "${header}")
list(TRANSFORM declarations REPLACE "QOR_COMM_API [a-z]+ (QOR_[A-Za-z]+)\\(" "\\1")
list(SORT declarations)
list(LENGTH declarations count)
if(NOT count EQUAL 10)
  message(FATAL_ERROR "the header declares ${count} functions, not 10: ${declarations}")
endif()
if(NOT "${exported}" STREQUAL "${declarations}")
  message(FATAL_ERROR "exported: ${exported}\ndeclared: ${declarations}")
endif()

execute_process(COMMAND readelf -d ${LIBRARY} OUTPUT_VARIABLE dynamic)
if(NOT dynamic MATCHES "Library soname: \\[libqor_comm\\.so\\.1\\]")
  message(FATAL_ERROR "wrong soname:\n${dynamic}")
endif()
message(STATUS "10 exports and the soname in place")
