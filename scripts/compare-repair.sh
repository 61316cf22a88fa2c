#!/usr/bin/env bash
# Runs two builds of vddb-repair on copies of the same generated stores and
# compares what they print, their exit status and the dump of the repaired
# store. For a change that must leave the repair's result as it was: build
# the old tree, keep its vddb-repair aside, build the new one, then
#
#   scripts/compare-repair.sh OLD/vddb-repair build/bin/vddb-repair [OBJECTS [SEEDS...]]
#
# (default 10,000 objects, seeds 1 to 5, each at damage rates 0.01 and 0.3).
# The stores are generated and dumped with build/bin/vddb. Exits 1 at the
# first difference, with the two dumps kept for a look.
set -euo pipefail
cd "$(dirname "$0")/.."

if [[ $# -lt 2 ]]; then
  sed -n '2,11p' "$0" | sed 's/^# \{0,1\}//'
  exit 2
fi
old=$(realpath "$1")
new=$(realpath "$2")
objects=${3:-10000}
shift $(($# < 3 ? $# : 3))
seeds=("$@")
[[ ${#seeds[@]} -gt 0 ]] || seeds=(1 2 3 4 5)
vddb=build/bin/vddb
work=$(mktemp -d)

cat >"$work/registry.reg" <<'REG'
Windows Registry Editor Version 5.00

[HKEY_LOCAL_MACHINE\SOFTWARE\Varkel\Strenda\CurrentVersion]
"versionMajor"="21"
"versionMinor"="0"
"versionUpdate"="0"
REG
export VARKEL_REGISTRY_FILE="$work/registry.reg"

for seed in "${seeds[@]}"; do
  for damage in 0.01 0.3; do
    "$vddb" generate --objects "$objects" --seed "$seed" --damage "$damage" --force \
      "$work/store.sqlite" >/dev/null
    for build in old new; do
      cp "$work/store.sqlite" "$work/$build.sqlite"
      status=0
      VARKEL_DDB_PATH="$work/$build.sqlite" "${!build}" >"$work/$build.out" || status=$?
      echo "$status" >>"$work/$build.out"
      "$vddb" dump "$work/$build.sqlite" >"$work/$build.json"
    done
    if ! cmp -s "$work/old.out" "$work/new.out" || ! cmp -s "$work/old.json" "$work/new.json"; then
      echo "seed $seed, damage $damage: the builds differ; see $work/{old,new}.{out,json}"
      exit 1
    fi
    echo "seed $seed, damage $damage: same output, exit status and dump"
  done
done
rm -rf "$work"
