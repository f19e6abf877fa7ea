# The shared library exports exactly the functions of its public header, under
# their plain names, takes the byte link from outside, and says what it is.
# The export list is the header's (cmake/ExportList.cmake), which also fails
# on a declaration it cannot read.
include(${CMAKE_CURRENT_LIST_DIR}/../support/exported_names.cmake)
include(${CMAKE_CURRENT_LIST_DIR}/../../cmake/ExportList.cmake)
qor_exported_names(${LIBRARY} exported)
qor_header_functions(${HEADER} declared)
list(SORT declared)
list(LENGTH declared count)
if(NOT "${exported}" STREQUAL "${declared}")
  message(FATAL_ERROR "exported: ${exported}\ndeclared: ${declared}")
endif()

execute_process(COMMAND nm -D --undefined-only ${LIBRARY} OUTPUT_VARIABLE undefined)
# The byte link's side of the seam: the two byte calls, and its word on a
# reply out of form.
foreach(name QOR_WriteByte QOR_ReadByte QOR_ReplyOutOfForm)
  if(NOT undefined MATCHES "U ${name}\n")
    message(FATAL_ERROR "${name} is not left to the dynamic linker")
  endif()
endforeach()

execute_process(COMMAND readelf -d ${LIBRARY} OUTPUT_VARIABLE dynamic)
if(NOT dynamic MATCHES "Library soname: \\[libqor_dll\\.so\\.1\\]")
  message(FATAL_ERROR "wrong soname:\n${dynamic}")
endif()
if(dynamic MATCHES "SYMBOLIC")
  message(FATAL_ERROR "symbols are bound inside the library")
endif()
if(NOT dynamic MATCHES "NEEDED.*libqor_comm\\.so\\.1")
  message(FATAL_ERROR "the byte-link library is not loaded with it")
endif()
get_filename_component(real ${LIBRARY} REALPATH)
string(REPLACE "." "\\." version_pattern "${VERSION}")
if(NOT real MATCHES "libqor_dll\\.so\\.${version_pattern}$")
  message(FATAL_ERROR "unexpected file version: ${real}")
endif()

file(STRINGS ${LIBRARY} identification REGEX "QOR Dynamic-Link Library Protocol Handler, 1\\.01")
if(NOT identification)
  message(FATAL_ERROR "the identification text is missing")
endif()
message(STATUS "${count} exports, byte link external, soname and identification in place")
