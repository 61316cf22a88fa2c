#!/usr/bin/env bash
# Refreshes apt's package indexes for the set-up scripts. A mirror in the
# middle of a sync can serve one index that does not match its Release file;
# apt then keeps the old index (or none) for that one source and exits 100.
# That is tried once more after a pause, and if it persists it is reported and
# let go: the install that follows decides whether what it needs is there,
# and fails clearly if it is not.
set -uo pipefail

sudo=()
if [[ $(id -u) -ne 0 ]]; then sudo=(sudo); fi

log=$(mktemp)
trap 'rm -f "$log"' EXIT
for attempt in 1 2; do
  if "${sudo[@]}" apt-get -q update </dev/null >"$log" 2>&1; then
    exit 0
  fi
  ((attempt < 2)) && sleep 5
done
echo "apt-update: some package indexes did not refresh; going on with those apt has:" >&2
grep -E '^(E|W):' "$log" >&2 || tail -n 5 "$log" >&2
exit 0
