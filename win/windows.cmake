# Windows specifics of qor_dll.dll, qor_comm.dll and qor.exe, included by the
# top-level CMakeLists.txt on WIN32 once every target exists.

# Hosts load "qor_dll.dll" and "qor_comm.dll", without MinGW's "lib" prefix.
# The import libraries keep MinGW's names: libqor_dll.dll.a, libqor_comm.dll.a.
set_target_properties(qor_dll qor_comm PROPERTIES PREFIX "")

# The exports are named in .def files, generated from the headers
# (cmake/ExportList.cmake), so that each DLL exports exactly the functions
# of its header under their plain names. On 32-bit x86 the functions of
# qor_dll.h are __stdcall, which the compiler decorates (_QOR_RD@16): the
# .def names them QOR_RD@16 (the argument bytes after the @) and --kill-at
# exports them as QOR_RD, while the import library keeps the decorated names
# a 32-bit compiler asks for. The 64-bit build has no such decoration, and
# qor_comm.h uses the C calling convention, whose names carry none.
set(qor_dll_def ${CMAKE_BINARY_DIR}/qor_dll.def)
set(qor_comm_def ${CMAKE_BINARY_DIR}/qor_comm.def)
qor_write_def(${PROJECT_SOURCE_DIR}/include/qor_comm.h ${qor_comm_def} qor_comm.dll PLAIN)
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  qor_write_def(${PROJECT_SOURCE_DIR}/include/qor_dll.h ${qor_dll_def} qor_dll.dll DECORATED)
  target_link_options(qor_dll PRIVATE -Wl,--kill-at)
  # The linker's import library would carry the killed names too (_QOR_RD),
  # which no caller compiled with qor_dll.h asks for. dlltool makes one that
  # maps the decorated names callers use (_QOR_RD@16) to the plain exports.
  if(NOT CMAKE_DLLTOOL)
    message(FATAL_ERROR "the 32-bit build needs dlltool (CMAKE_DLLTOOL)")
  endif()
  add_custom_command(TARGET qor_dll POST_BUILD
    COMMAND ${CMAKE_DLLTOOL} --kill-at --input-def ${qor_dll_def} --dllname qor_dll.dll
            --output-lib $<TARGET_LINKER_FILE:qor_dll>
    VERBATIM)
else()
  qor_write_def(${PROJECT_SOURCE_DIR}/include/qor_dll.h ${qor_dll_def} qor_dll.dll PLAIN)
endif()
# The version resources carry the project's version (project() in
# CMakeLists.txt) as FILEVERSION a,b,c,d and as text.
set(QOR_RC_VERSION)
foreach(part MAJOR MINOR PATCH TWEAK)
  if(PROJECT_VERSION_${part} STREQUAL "")
    list(APPEND QOR_RC_VERSION 0)
  else()
    list(APPEND QOR_RC_VERSION ${PROJECT_VERSION_${part}})
  endif()
endforeach()
list(JOIN QOR_RC_VERSION "," QOR_RC_VERSION)
foreach(dll qor_dll qor_comm)
  configure_file(${CMAKE_CURRENT_LIST_DIR}/${dll}.rc.in ${CMAKE_BINARY_DIR}/${dll}.rc @ONLY)
endforeach()

target_sources(qor_dll PRIVATE ${qor_dll_def} ${CMAKE_BINARY_DIR}/qor_dll.rc)
target_sources(qor_comm PRIVATE
  ${qor_comm_def} ${CMAKE_BINARY_DIR}/qor_comm.rc)
# user32: the debug echo's message box. ws2_32: Winsock.
target_link_libraries(qor_dll PRIVATE user32)
target_link_libraries(qor_comm PRIVATE ws2_32)

# The protocol objects are linked into qor_dll.dll and, with a byte link of
# their own, into test programs. QOR_WriteByte, QOR_ReadByte and
# QOR_ReplyOutOfForm are therefore referenced by plain name rather than
# through the import table (qor_comm.h declares them dllimport outside
# qor_comm): in qor_dll.dll the import library's stubs resolve them, in a
# program that links the objects its own definitions do.
target_compile_definitions(qor_protocol PUBLIC QOR_COMM_BUILD)

# A cross build whose test programs cannot run on the build machine (a
# 32-bit one where no 32-bit Wine runs) can still check the DLLs' export and
# import tables: tests/windows without the other tests.
option(QOR_WINDOWS_CHECKS "Check the Windows DLLs' tables even when QOR_BUILD_TESTS is off" OFF)
