# Cross build for Windows with Debian's MinGW-w64, tests run under Wine.
# Included by the per-target toolchain files, which set:
#   VDDB_MINGW_TRIPLE     i686-w64-mingw32 or x86_64-w64-mingw32
#   VDDB_MINGW_PROCESSOR  CMAKE_SYSTEM_PROCESSOR of the target
#   VDDB_WINE_ARCH        win32 or win64: the kind of Wine prefix the tests use
# Third-party pieces that are not header-only (SQLite, GoogleTest/GoogleMock)
# come from a prefix prepared by scripts/windows-deps.sh for that triple;
# nlohmann-json and CLI11 are taken from the build machine's own Debian
# packages, which are header-only.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_VERSION 6.1)
set(CMAKE_SYSTEM_PROCESSOR ${VDDB_MINGW_PROCESSOR})

set(triple ${VDDB_MINGW_TRIPLE})
# The posix threads variant: std::thread and std::mutex work, and GoogleTest
# builds unchanged.
find_program(VDDB_MINGW_CC NAMES ${triple}-gcc-posix ${triple}-gcc REQUIRED)
find_program(VDDB_MINGW_CXX NAMES ${triple}-g++-posix ${triple}-g++ REQUIRED)
find_program(VDDB_MINGW_RC NAMES ${triple}-windres)
set(CMAKE_C_COMPILER ${VDDB_MINGW_CC})
set(CMAKE_CXX_COMPILER ${VDDB_MINGW_CXX})
if(VDDB_MINGW_RC)
  set(CMAKE_RC_COMPILER ${VDDB_MINGW_RC})
endif()

# Every .exe carries its runtime (libgcc, libstdc++, winpthread), so it runs
# under Wine or on a bare Windows without extra DLLs.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# Where the prepared pieces are; scripts/windows-deps.sh prints it. Each
# target has its own prefix, found as <cache root>/current-<triple>.
if(NOT VDDB_WINDOWS_DEPS)
  set(roots)
  if(DEFINED ENV{VDDB_WINDOWS_DEPS_ROOT})
    list(APPEND roots "$ENV{VDDB_WINDOWS_DEPS_ROOT}")
  endif()
  list(APPEND roots /var/cache/vddb-windows-deps)
  if(DEFINED ENV{HOME})
    list(APPEND roots "$ENV{HOME}/.cache/vddb-windows-deps")
  endif()
  foreach(root IN LISTS roots)
    if(EXISTS "${root}/current-${triple}")
      set(VDDB_WINDOWS_DEPS "${root}/current-${triple}")
      break()
    endif()
  endforeach()
endif()
set(VDDB_WINDOWS_DEPS "${VDDB_WINDOWS_DEPS}" CACHE PATH "Prefix of SQLite and GoogleTest built for ${triple}")
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES VDDB_WINDOWS_DEPS VDDB_MINGW_TRIPLE VDDB_MINGW_PROCESSOR
     VDDB_WINE_ARCH)
get_property(in_try_compile GLOBAL PROPERTY IN_TRY_COMPILE)
if(NOT in_try_compile AND NOT VDDB_WINDOWS_DEPS_BOOTSTRAP
   AND NOT EXISTS "${VDDB_WINDOWS_DEPS}/lib/libsqlite3.a")
  message(FATAL_ERROR "SQLite and GoogleTest for ${triple} are missing: run scripts/windows-deps.sh "
                      "(or point VDDB_WINDOWS_DEPS at the prefix it printed)")
endif()

# Search only the target prefixes: the MinGW-w64 runtime and the prepared
# prefix. The prefix also links the host's header-only packages (their
# headers and config files, nothing else), so find_package(nlohmann_json)
# and find_package(CLI11) work without exposing /usr/include to the target.
set(CMAKE_FIND_ROOT_PATH /usr/${triple} ${VDDB_WINDOWS_DEPS})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
if(VDDB_WINDOWS_DEPS)
  # Named outright so that a stale cache never falls back to host files.
  set(SQLite3_INCLUDE_DIR ${VDDB_WINDOWS_DEPS}/include CACHE PATH "")
  set(SQLite3_LIBRARY ${VDDB_WINDOWS_DEPS}/lib/libsqlite3.a CACHE FILEPATH "")
  set(GTest_DIR ${VDDB_WINDOWS_DEPS}/lib/cmake/GTest CACHE PATH "")
endif()

# ctest runs each test executable under Wine, through a wrapper that keeps a
# prefix of its own per build directory and a warm wineserver.
if(NOT VDDB_WINDOWS_DEPS_BOOTSTRAP)
  set(CMAKE_CROSSCOMPILING_EMULATOR
      "${CMAKE_CURRENT_LIST_DIR}/../scripts/wine-run.sh;--arch=${VDDB_WINE_ARCH};--prefix=${CMAKE_BINARY_DIR}/wineprefix")
endif()
