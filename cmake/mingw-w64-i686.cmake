# 32-bit Windows: runs on every Windows, 32-bit or 64-bit.
set(VARPAGE_MINGW_TRIPLET i686-w64-mingw32)
set(VARPAGE_MINGW_PROCESSOR x86)
set(VARPAGE_WINE_LOADER /usr/lib/wine/wine)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
