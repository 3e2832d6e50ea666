# Cross-build for 32-bit Windows with mingw-w64; tests run under Wine.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)

# The POSIX thread model: GoogleTest needs std::mutex, which the win32 model
# of this mingw-w64 release lacks.
set(CMAKE_C_COMPILER i686-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER i686-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER i686-w64-mingw32-windres)

set(CMAKE_FIND_ROOT_PATH /usr/i686-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Every program, the tests included, carries its C and C++ runtimes, so an
# .exe runs on its own.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

find_program(VARPAGE_WINE wine)
if(VARPAGE_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${VARPAGE_WINE})
endif()
