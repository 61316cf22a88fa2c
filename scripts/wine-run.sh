#!/usr/bin/env bash
# Runs one Windows program under Wine, for ctest (the cross build's
# CMAKE_CROSSCOMPILING_EMULATOR) and for the Windows end-to-end tests.
#
# Usage: wine-run.sh [--prefix=DIR] PROGRAM.exe [ARGS...]
#
# Each build directory has a Wine prefix of its own (DIR), created on first
# use under a lock, so parallel test processes never race to create it. A
# wineserver is kept warm so that the many short test processes start fast;
# it ends by itself five minutes after the last program (or `wineserver -k`).
# The program's standard streams and exit status pass through unchanged
# (Unix sees only the low 8 bits of the Windows exit code, as with any
# process), except when ctest lists a GoogleTest program's cases: that
# listing loses the "\r" the Windows C runtime puts before each "\n", since
# ctest would otherwise take it as part of the names.
set -euo pipefail

prefix=${VDDB_WINEPREFIX:-}
if [[ ${1:-} == --prefix=* ]]; then
  prefix=${1#--prefix=}
  shift
fi
if [[ -z $prefix ]]; then
  prefix=${WINEPREFIX:-${XDG_CACHE_HOME:-$HOME/.cache}/vddb-wineprefix}
fi
(($#)) || { echo "usage: wine-run.sh [--prefix=DIR] PROGRAM [ARGS...]" >&2; exit 2; }

export WINEPREFIX=$prefix
export WINEARCH=win32
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
  wineboot --init </dev/null >/dev/null 2>&1
  wineserver --wait >/dev/null 2>&1 || true
  touch "$prefix/.vddb-ready"
fi
# A new wineserver starts Wine's background processes (services, device
# drivers) with the first program, and they inherit its standard error: ctest
# would then wait for them to close it. So a fresh server is warmed up here
# with every stream detached; the program then finds them running.
if wineserver -p300 </dev/null >/dev/null 2>&1; then
  wine cmd /c exit </dev/null >/dev/null 2>&1 || true
fi
flock -u 9
exec 9>&-

for arg in "$@"; do
  if [[ $arg == --gtest_list_tests ]]; then
    wine "$@" | tr -d '\r'
    exit "${PIPESTATUS[0]}"
  fi
done
exec wine "$@"
