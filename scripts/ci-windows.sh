#!/usr/bin/env bash
# The Windows part of CI, also run by hand: builds the shipped 32-bit
# programs, checks them, and runs the whole test suite under Wine as 32-bit
# programs where this machine can run them, otherwise as 64-bit programs.
# VDDB_WINE32=yes or =no forces the probe's answer (scripts/wine32-probe.sh).
set -euo pipefail
cd "$(dirname "$0")/.."

# Cross toolchains, Wine and the cross-built SQLite and GoogleTest
# for both targets (cached under /var/cache, so later runs only check them).
# Wine's servers are stopped at the end, whatever the outcome.
stop_wine() {
  local prefix
  for prefix in build-windows/wineprefix build-windows64/wineprefix; do
    [[ -d $prefix ]] && WINEPREFIX="$PWD/$prefix" wineserver -k 2>/dev/null || true
  done
}
trap stop_wine EXIT
bash scripts/windows-deps.sh

# Some machines of this kind cannot execute 32-bit code at all; the probe
# runs the 32-bit Wine loader to find out.
probe_status=0
verdict=$(bash scripts/wine32-probe.sh) || probe_status=$?
((probe_status <= 1)) || exit "$probe_status"
# The shipped programs are 32-bit: they are built on every machine, and
# checked to be console programs that need no DLL beyond Windows itself.
# Where the 32-bit suite cannot run, its tests are not built either: the
# 64-bit build below compiles the same test sources and runs them.
cmake --preset windows
if ((probe_status == 0)); then
  cmake --build --preset windows
else
  cmake --build --preset windows --target vddb-repair vddb
fi
cmake -DFILES="build-windows/bin/vddb-repair.exe;build-windows/bin/vddb.exe" \
  -DKIND='PE32 executable \(console\) Intel 80386' -DOBJDUMP=i686-w64-mingw32-objdump \
  -P tests/windows/check_windows_exe.cmake

# Then the whole suite under Wine: as those 32-bit programs where this
# machine can run them, otherwise the same sources built as 64-bit programs
# under 64-bit Wine.
if ((probe_status == 0)); then
  echo "ci: Windows suite: 32-bit (windows preset), because the 32-bit Wine loader runs here: ${verdict#yes: }"
  ctest --preset windows
else
  echo "ci: Windows suite: 64-bit (windows64 preset) instead of 32-bit, because this machine cannot run 32-bit programs: ${verdict#no: }"
  cmake --workflow --preset windows64
fi
