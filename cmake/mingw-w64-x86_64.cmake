# 64-bit Windows, for hosts and IIS set-ups without 32-bit support.
set(VARPAGE_MINGW_TRIPLET x86_64-w64-mingw32)
set(VARPAGE_MINGW_PROCESSOR AMD64)
set(VARPAGE_WINE_LOADER /usr/lib/wine/wine64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
