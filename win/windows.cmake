# Windows specifics of qor_dll.dll, qor_comm.dll and qor.exe, included by the
# top-level CMakeLists.txt on WIN32 once every target exists.

# Hosts load "qor_dll.dll" and "qor_comm.dll", without MinGW's "lib" prefix.
# The import libraries keep MinGW's names: libqor_dll.dll.a, libqor_comm.dll.a.
set_target_properties(qor_dll qor_comm PROPERTIES PREFIX "")

# The exports are named in .def files, so that each DLL exports exactly the
# functions of its header under their plain names. On 32-bit x86 the
# functions of qor_dll.h are __stdcall, which the compiler decorates
# (_QOR_RD@16); --kill-at exports them as QOR_RD. The 64-bit build has no
# such decoration: it takes the same list with the "@n" removed.
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  set(qor_dll_def ${PROJECT_SOURCE_DIR}/win/qor_dll.def)
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
  file(READ ${PROJECT_SOURCE_DIR}/win/qor_dll.def qor_dll_def_text)
  string(REGEX REPLACE "(QOR_[A-Za-z]+)@[0-9]+" "\\1" qor_dll_def_text "${qor_dll_def_text}")
  set(qor_dll_def ${CMAKE_BINARY_DIR}/qor_dll.def)
  file(CONFIGURE OUTPUT ${qor_dll_def} CONTENT "${qor_dll_def_text}" @ONLY)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
               ${PROJECT_SOURCE_DIR}/win/qor_dll.def)
endif()
target_sources(qor_dll PRIVATE ${qor_dll_def} ${PROJECT_SOURCE_DIR}/win/qor_dll.rc)
target_sources(qor_comm PRIVATE ${PROJECT_SOURCE_DIR}/win/qor_comm.def
                                ${PROJECT_SOURCE_DIR}/win/qor_comm.rc)
# user32: the debug echo's message box. ws2_32: Winsock.
target_link_libraries(qor_dll PRIVATE user32)
target_link_libraries(qor_comm PRIVATE ws2_32)

# The protocol objects are linked into qor_dll.dll and, with a byte link of
# their own, into test programs. QOR_WriteByte and QOR_ReadByte are therefore
# referenced by plain name rather than through the import table (qor_comm.h
# declares them dllimport outside qor_comm): in qor_dll.dll the import
# library's stubs resolve them, in a test program its own definitions do.
target_compile_definitions(qor_protocol PRIVATE QOR_COMM_BUILD)
# Test programs that link the protocol objects define the byte link
# themselves, call the exports in the same program, and attach the library
# as the program starts (no DllMain runs in them).
foreach(test_program engine_tests command_fuzzer_replay)
  if(TARGET ${test_program})
    target_compile_definitions(${test_program} PRIVATE QOR_DLL_BUILD QOR_COMM_BUILD)
    target_sources(${test_program} PRIVATE ${PROJECT_SOURCE_DIR}/tests/windows/attach_on_start.cpp)
  endif()
endforeach()

# The checks of what was built (exports, imports, version resources) and the
# Windows tests. QOR_WINDOWS_CHECKS gives the checks to a build without the
# other tests, such as the 32-bit one, whose test programs cannot run here.
option(QOR_WINDOWS_CHECKS "Check the Windows DLLs even when QOR_BUILD_TESTS is off" OFF)
if(QOR_BUILD_TESTS OR QOR_WINDOWS_CHECKS)
  enable_testing()
  add_subdirectory(${PROJECT_SOURCE_DIR}/tests/windows ${CMAKE_BINARY_DIR}/tests/windows)
endif()
