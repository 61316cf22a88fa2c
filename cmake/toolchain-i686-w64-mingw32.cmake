# Cross build for 32-bit Windows (i686) with Debian's MinGW-w64, tests run
# under Wine. Third-party pieces that are not header-only (SQLite,
# GoogleTest/GoogleMock) come from a prefix prepared by
# scripts/windows-deps.sh; nlohmann-json and CLI11 are taken from the build
# machine's own Debian packages, which are header-only.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_VERSION 6.1)
set(CMAKE_SYSTEM_PROCESSOR x86)

set(triple i686-w64-mingw32)
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

# Where the prepared pieces are; scripts/windows-deps.sh prints it.
if(NOT VDDB_WINDOWS_DEPS)
  if(DEFINED ENV{VDDB_WINDOWS_DEPS})
    set(VDDB_WINDOWS_DEPS "$ENV{VDDB_WINDOWS_DEPS}")
  elseif(EXISTS /var/cache/vddb-windows-deps/current)
    set(VDDB_WINDOWS_DEPS /var/cache/vddb-windows-deps/current)
  elseif(DEFINED ENV{HOME} AND EXISTS "$ENV{HOME}/.cache/vddb-windows-deps/current")
    set(VDDB_WINDOWS_DEPS "$ENV{HOME}/.cache/vddb-windows-deps/current")
  endif()
endif()
set(VDDB_WINDOWS_DEPS "${VDDB_WINDOWS_DEPS}" CACHE PATH "Prefix of SQLite and GoogleTest built for Windows")
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES VDDB_WINDOWS_DEPS)
get_property(in_try_compile GLOBAL PROPERTY IN_TRY_COMPILE)
if(NOT in_try_compile AND NOT VDDB_WINDOWS_DEPS_BOOTSTRAP
   AND NOT EXISTS "${VDDB_WINDOWS_DEPS}/lib/libsqlite3.a")
  message(FATAL_ERROR "SQLite and GoogleTest for Windows are missing: run scripts/windows-deps.sh "
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
      "${CMAKE_CURRENT_LIST_DIR}/../scripts/wine-run.sh;--prefix=${CMAKE_BINARY_DIR}/wineprefix")
endif()
