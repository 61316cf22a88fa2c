# The same sources as 64-bit Windows programs (PE32+, x86-64): the suite runs
# under 64-bit Wine on machines whose kernel cannot execute 32-bit programs.
set(VDDB_MINGW_TRIPLE x86_64-w64-mingw32)
set(VDDB_MINGW_PROCESSOR AMD64)
set(VDDB_WINE_ARCH win64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
