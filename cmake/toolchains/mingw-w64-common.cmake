# Shared part of the MinGW-w64 cross toolchains. The including file sets
# QOR_MINGW_TRIPLE (x86_64-w64-mingw32 or i686-w64-mingw32) and
# CMAKE_SYSTEM_PROCESSOR first.
set(CMAKE_SYSTEM_NAME Windows)

# The posix thread model: std::mutex and std::thread need it, and
# winpthread is linked in statically below.
foreach(tool gcc g++)
  string(REPLACE "+" "X" var "${tool}")
  string(TOUPPER "${var}" var)
  find_program(QOR_MINGW_${var} NAMES ${QOR_MINGW_TRIPLE}-${tool}-posix ${QOR_MINGW_TRIPLE}-${tool}
               REQUIRED)
endforeach()
set(CMAKE_C_COMPILER ${QOR_MINGW_GCC})
set(CMAKE_CXX_COMPILER ${QOR_MINGW_GXX})
find_program(CMAKE_RC_COMPILER NAMES ${QOR_MINGW_TRIPLE}-windres REQUIRED)

# Headers and libraries for the target come from the MinGW-w64 tree (and from
# QOR_MINGW_PREFIX, where scripts/windows.sh installs GoogleTest built for
# the target); programs run during the build come from the build machine.
set(CMAKE_FIND_ROOT_PATH /usr/${QOR_MINGW_TRIPLE} ${QOR_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES QOR_MINGW_PREFIX)

# The compiler's own runtime (libgcc, libstdc++, winpthread) goes into each
# binary, so that the DLLs and programs need only system DLLs (and
# qor_comm.dll) on the host.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static")

# Test programs run under Wine of the target's width: 32-bit programs need the
# 32-bit Wine (on Debian, the i386 architecture and wine32:i386), and the
# wrapper says so when it is missing.
if(CMAKE_SYSTEM_PROCESSOR STREQUAL "x86")
  set(QOR_WINE_ARCH win32)
else()
  set(QOR_WINE_ARCH win64)
endif()
get_filename_component(QOR_WINE_RUN ${CMAKE_CURRENT_LIST_DIR}/../../tests/windows/wine_run.sh
                       ABSOLUTE)
set(CMAKE_CROSSCOMPILING_EMULATOR
    ${QOR_WINE_RUN} --arch=${QOR_WINE_ARCH} --prefix=${CMAKE_BINARY_DIR}/wine-prefix)

# GoogleTest programs are listed when the tests run, under Wine, rather than
# as a build step: the build then needs no Wine at all.
set(CMAKE_GTEST_DISCOVER_TESTS_DISCOVERY_MODE PRE_TEST)
