# The export list as cmake/ExportList.cmake reads it from the headers: the
# 32-bit __stdcall sizes the .def file carries (a wrong one leaves a 32-bit
# host's import unresolved), and a declaration it cannot size or read stops
# the build rather than dropping the function.
# cmake -DSOURCE=<project source> -DWORK=<scratch folder> -P export_list_test.cmake
cmake_minimum_required(VERSION 3.25)
include(${SOURCE}/cmake/ExportList.cmake)
# Run again with -DH=<header> by the refusal cases below: read it, fail or not.
if(DEFINED H)
  qor_header_functions(${H} names)
  return()
endif()
set(failures "")

qor_header_functions(${SOURCE}/include/qor_dll.h names decorated)
# One of each argument list: a switch, a query, a query with its mode, an
# alarm limit, a value command, the digital outputs and inputs.
foreach(expected QOR_EnableDebug@4 QOR_RD@16 QOR_RH@20 QOR_HI@24 QOR_SP@20 QOR_DO@28 QOR_DI@28)
  if(NOT expected IN_LIST decorated)
    list(APPEND failures "qor_dll.h: expected ${expected} in ${decorated}")
  endif()
endforeach()
qor_header_functions(${SOURCE}/include/qor_comm.h names decorated)
if(NOT "QOR_OpenPort@0" IN_LIST decorated OR NOT "QOR_SetTrace" IN_LIST names)
  list(APPEND failures "qor_comm.h: C calling convention names expected: ${decorated}")
endif()

# Declarations spread over lines, a pointer result and a struct argument are read.
file(WRITE ${WORK}/spread.h "/* header */\nQOR_API int QOR_CALL QOR_AA(int port, int address, int byteA,\n    int *status);\nQOR_COMM_API const char *QOR_Bb(QOR_Stats *stats);\n")
qor_header_functions(${WORK}/spread.h names decorated)
if(NOT "${decorated}" STREQUAL "QOR_AA@16;QOR_Bb@0")
  list(APPEND failures "spread.h: read ${decorated}")
endif()

# A double (8 bytes on the stack) and an unreadable declaration are refused.
foreach(case "QOR_API int QOR_CALL QOR_Cc(double value);" "QOR_API int QOR_CALL QOR_Dd(int (*f)(int));")
  file(WRITE ${WORK}/bad.h "/* header */\n${case}\n")
  execute_process(COMMAND ${CMAKE_COMMAND} -DH=${WORK}/bad.h -DSOURCE=${SOURCE}
    -P ${CMAKE_CURRENT_LIST_FILE} RESULT_VARIABLE rc OUTPUT_QUIET ERROR_QUIET)
  if(rc EQUAL 0)
    list(APPEND failures "accepted: ${case}")
  endif()
endforeach()

if(failures)
  string(REPLACE ";" "\n" failures "${failures}")
  message(FATAL_ERROR "${failures}")
endif()
message(STATUS "export list: sizes, layouts and refusals as expected")
