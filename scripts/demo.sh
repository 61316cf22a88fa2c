#!/usr/bin/env bash
# Builds the default preset and runs vddb-repair on the bundled example
# store: load it into a temporary store, preview the repair with
# `vddb check`, repair it, and show the difference of the dumps. Without the vddb tool or the example store it
# runs vddb-repair against a missing store for 10 seconds instead, to show
# how it waits for the database.
set -euo pipefail
cd "$(dirname "$0")/.."

cmake --preset default
cmake --build --preset default

repair=build/bin/vddb-repair
vddb=build/bin/vddb
example=examples/damaged-store.json
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# The installed driver version, as the repair tool reads it from the registry.
cat >"$work/registry.reg" <<'REG'
Windows Registry Editor Version 5.00

[HKEY_LOCAL_MACHINE\SOFTWARE\Varkel\Strenda\CurrentVersion]
"versionMajor"="21"
"versionMinor"="0"
"versionUpdate"="0"
REG
export VARKEL_REGISTRY_FILE="$work/registry.reg"

if [[ -x $vddb && -f $example ]]; then
  store="$work/ddb.sqlite"
  "$vddb" load "$example" "$store"
  "$vddb" dump "$store" >"$work/before.json"
  echo "== vddb check: what the repair will change (the store is left as it is)"
  "$vddb" check "$store" || true
  echo "== vddb-repair on $example"
  status=0
  VARKEL_DDB_PATH="$store" "$repair" || status=$?
  echo "== exit code $status"
  "$vddb" dump "$store" >"$work/after.json"
  echo "== changes made by the repair (diff of the dumps)"
  diff -u "$work/before.json" "$work/after.json" || true
else
  echo "== vddb-repair against a missing store (stopped after 10 s)"
  status=0
  VARKEL_DDB_PATH="$work/missing.sqlite" timeout 10 "$repair" || status=$?
  if ((status == 124)); then echo "== still waiting after 10 s; stopped"; fi
fi
