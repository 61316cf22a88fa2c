#!/usr/bin/env bash
# Says whether this machine can run 32-bit Windows programs, by running the
# 32-bit Wine loader once with a short time-out. Machines of the same kind
# differ here (some kernels cannot execute 32-bit x86 programs at all), so
# the answer is never taken from the kernel's version or configuration: the
# loader either runs or it does not.
#
# Usage: wine32-probe.sh [--loader PATH]
#   --loader PATH  the loader to try (default /usr/lib/wine/wine, Debian's
#                  wine32:i386); windows-deps.sh points it at an unpacked
#                  copy before deciding whether to install the package.
# VDDB_WINE32=yes or =no forces the answer (to test either path anywhere).
#
# Prints one line, "yes: WHY" or "no: WHY", and exits 0 for yes, 1 for no.
set -uo pipefail

loader=/usr/lib/wine/wine
if [[ ${1:-} == --loader ]]; then
  loader=${2:?usage: wine32-probe.sh [--loader PATH]}
fi

case ${VDDB_WINE32:-} in
  yes) echo "yes: forced by VDDB_WINE32=yes"; exit 0 ;;
  no) echo "no: forced by VDDB_WINE32=no"; exit 1 ;;
  '') ;;
  *) echo "wine32-probe.sh: VDDB_WINE32 must be yes or no, not '$VDDB_WINE32'" >&2; exit 2 ;;
esac

if [[ ! -e $loader ]]; then
  echo "no: the 32-bit Wine loader $loader is not installed"
  exit 1
fi
# The loader needs no prefix to print its version, so this takes well under
# a second where it works; the time-out only guards a hung start.
output=$(LC_ALL=C timeout 20 "$loader" --version 2>&1)
status=$?
output=${output//$'\n'/ }
if ((status == 0)) && [[ $output == wine-* ]]; then
  echo "yes: the 32-bit Wine loader runs ($output)"
  exit 0
fi
if ((status == 124)); then
  echo "no: the 32-bit Wine loader $loader did not answer within 20 seconds"
else
  echo "no: the 32-bit Wine loader $loader does not run here (exit $status: ${output:-no output})"
fi
exit 1
