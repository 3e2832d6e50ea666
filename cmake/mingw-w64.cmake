# Cross-build for Windows with mingw-w64; tests run under Wine. Included by
# the toolchain file of each architecture, which first sets:
#   VARPAGE_MINGW_TRIPLET  the compilers' prefix, e.g. i686-w64-mingw32
#   VARPAGE_MINGW_PROCESSOR  CMAKE_SYSTEM_PROCESSOR
#   VARPAGE_WINE_LOADER  the Wine that runs programs of that architecture
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR ${VARPAGE_MINGW_PROCESSOR})

# The POSIX thread model: GoogleTest needs std::mutex, which the win32 model
# of this mingw-w64 release lacks.
set(CMAKE_C_COMPILER ${VARPAGE_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${VARPAGE_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${VARPAGE_MINGW_TRIPLET}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${VARPAGE_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Every program, the tests included, carries its C and C++ runtimes, so an
# .exe runs on its own.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

# Each build tree has a Wine prefix of its own, so the two architectures never
# share one and `ctest` works by hand as well as from scripts/test. The loader
# is named directly: /usr/bin/wine picks the 32-bit one whenever it is
# installed, even where this machine cannot execute it.
if(EXISTS "${VARPAGE_WINE_LOADER}")
  set(CMAKE_CROSSCOMPILING_EMULATOR
      ${CMAKE_COMMAND} -E env WINEPREFIX=${CMAKE_BINARY_DIR}/wine WINEDEBUG=-all
      "WINEDLLOVERRIDES=mscoree,mshtml=" ${VARPAGE_WINE_LOADER})
endif()
