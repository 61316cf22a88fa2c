# The shipped target: 32-bit Windows console programs (PE32, Intel 80386).
set(VDDB_MINGW_TRIPLE i686-w64-mingw32)
set(VDDB_MINGW_PROCESSOR x86)
set(VDDB_WINE_ARCH win32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
