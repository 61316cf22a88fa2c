#!/usr/bin/env bash
# Runs one Windows program under Wine, for ctest (the cross build's
# CMAKE_CROSSCOMPILING_EMULATOR) and for the Windows end-to-end tests.
#
# Usage: wine-run.sh [--arch=win32|win64] [--prefix=DIR] PROGRAM.exe [ARGS...]
#
# --arch chooses the Wine loader and the kind of prefix: win32 (the default)
# runs 32-bit programs through the 32-bit loader; win64 runs 64-bit programs
# through the 64-bit loader alone, so it works on a machine whose kernel
# cannot execute 32-bit programs. Each build directory has a Wine prefix of its own (DIR), created on first
# use under a lock, so parallel test processes never race to create it. A
# wineserver is kept warm so that the many short test processes start fast;
# it ends by itself five minutes after the last program (or `wineserver -k`).
# The program's standard streams and exit status pass through unchanged
# (Unix sees only the low 8 bits of the Windows exit code, as with any
# process), with two exceptions: a run in which the Wine loader itself
# crashed is made again (see the end), and when ctest lists a GoogleTest
# program's cases, the listing loses the "\r" the Windows C runtime puts
# before each "\n", since ctest would otherwise take it as part of the names.
set -euo pipefail

prefix=${VDDB_WINEPREFIX:-}
arch=win32
while (($#)); do
  case $1 in
    --prefix=*) prefix=${1#--prefix=} ;;
    --arch=win32 | --arch=win64) arch=${1#--arch=} ;;
    --arch=*) echo "wine-run.sh: unknown architecture ${1#--arch=} (win32 or win64)" >&2; exit 2 ;;
    *) break ;;
  esac
  shift
done
if [[ -z $prefix ]]; then
  prefix=${WINEPREFIX:-${XDG_CACHE_HOME:-$HOME/.cache}/vddb-wineprefix-$arch}
fi
(($#)) || { echo "usage: wine-run.sh [--arch=win32|win64] [--prefix=DIR] PROGRAM [ARGS...]" >&2; exit 2; }

export WINEPREFIX=$prefix
export WINEARCH=$arch
# Debian's `wine` prefers the 32-bit loader whenever it is installed; a
# 64-bit prefix is driven by the 64-bit loader alone, named outright.
if [[ $arch == win64 ]]; then
  loader=${VDDB_WINE64_LOADER:-/usr/lib/wine/wine64}
  export WINELOADER=$loader
else
  loader=wine
fi
export WINEDEBUG=${WINEDEBUG:--all}
# No Mono/Gecko download prompts and no desktop menu entries.
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=;winemenubuilder.exe=d}
unset DISPLAY WAYLAND_DISPLAY

mkdir -p "$(dirname "$prefix")"
exec 9>"$prefix.lock"
flock 9
# The stamp is written only after a complete start-up, so a run killed while
# creating the prefix has it brought up to date next time, not used half made.
if [[ ! -f $prefix/.vddb-ready ]]; then
  "$loader" wineboot --init </dev/null >/dev/null 2>&1
  wineserver --wait >/dev/null 2>&1 || true
  touch "$prefix/.vddb-ready"
fi
# A new wineserver starts Wine's background processes (services, device
# drivers) with the first program, and they inherit its standard error: ctest
# would then wait for them to close it. So a fresh server is warmed up here
# with every stream detached; the program then finds them running.
if wineserver -p300 </dev/null >/dev/null 2>&1; then
  "$loader" cmd /c exit </dev/null >/dev/null 2>&1 || true
fi
flock -u 9
exec 9>&-

for arg in "$@"; do
  if [[ $arg == --gtest_list_tests ]]; then
    "$loader" "$@" | tr -d '\r'
    exit "${PIPESTATUS[0]}"
  fi
done
# A fault in the program reaches Wine as a Windows exception: the program
# ends with the exception's code (GoogleTest reports it as a failed test),
# never by a Unix signal. The loader itself, though, has been seen to die by
# SIGSEGV as a test program exited under load, after every one of its tests
# had passed. Such a run is made once more, and said so on standard error;
# dying twice is a failure.
status=0
"$loader" "$@" || status=$?
if ((status == 128 + 11 || status == 128 + 7)); then
  echo "wine-run.sh: the Wine loader died by signal $((status - 128)) running $1; running it once more" >&2
  status=0
  "$loader" "$@" || status=$?
fi
exit "$status"
