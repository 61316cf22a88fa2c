#!/usr/bin/env bash
# Builds the fuzz preset (clang, libFuzzer, AddressSanitizer and
# UndefinedBehaviorSanitizer) and runs each fuzz target for SECONDS seconds
# (default 60). Installs clang and its libFuzzer runtime first when missing.
# Exits non-zero when a target finds a crash, a leak, a sanitizer report or a
# broken property, naming the input that shows it; see docs/fuzzing.md.
#
#   scripts/fuzz.sh [SECONDS]
#
# VDDB_FUZZ_JOBS limits the build's parallel jobs (default: ninja's).
# The corpora grow in build-fuzz/corpus/ from run to run; crashing inputs are
# kept in build-fuzz/artifacts/TARGET/.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-60}
if ! [[ $seconds =~ ^[0-9]+$ ]] || ((seconds == 0)); then
  echo "usage: scripts/fuzz.sh [SECONDS]" >&2
  exit 2
fi

# Only the fuzz build needs clang, so scripts/setup.sh (the README's build)
# does not install it; this checks the same way.
packages=(clang libclang-rt-14-dev)
missing=()
for package in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$package")
  fi
done
if ((${#missing[@]} > 0)); then
  sudo=()
  if [[ $(id -u) -ne 0 ]]; then sudo=(sudo); fi
  echo "fuzz: installing ${missing[*]}"
  bash scripts/apt-update.sh
  DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y --no-install-recommends \
    "${missing[@]}" </dev/null
fi

jobs=()
if [[ -n ${VDDB_FUZZ_JOBS:-} ]]; then jobs=(-j "$VDDB_FUZZ_JOBS"); fi
cmake --preset fuzz </dev/null
cmake --build --preset fuzz "${jobs[@]}" </dev/null

build=build-fuzz
bin=$build/bin

# Seeds, made afresh each run from what the repository has.
seeds=$build/seeds
rm -rf "$seeds"
mkdir -p "$seeds/json" "$seeds/reg"
json_inputs=(examples/*.json tests/e2e/cases/*/input.json fuzz/seeds/json/*.json)
"$bin/fuzz_make_seeds" "$seeds" "${json_inputs[@]}"
for input in "${json_inputs[@]}"; do
  cp "$input" "$seeds/json/$(basename "$(dirname "$input")")-$(basename "$input" .json)-raw.json"
done
for file in fuzz/seeds/reg/*.reg; do
  name=$(basename "$file" .reg)
  cp "$file" "$seeds/reg/$name-lf.reg"
  sed 's/$/\r/' "$file" >"$seeds/reg/$name-crlf.reg"
  { printf '\xEF\xBB\xBF'; cat "$file"; } >"$seeds/reg/$name-bom.reg"
  # As reg export writes it: UTF-16LE with its byte-order mark, CRLF.
  { printf '\xFF\xFE'; sed 's/$/\r/' "$file" | iconv -f UTF-8 -t UTF-16LE; } \
    >"$seeds/reg/$name-utf16.reg"
done

# A journal entry's JSON texts: those of the repair reports, objects and
# values of the end-to-end cases' expected results, whatever they hold.
mkdir -p "$seeds/stored"
for file in tests/e2e/cases/*/expected*.json fuzz/seeds/stored/*.json; do
  [[ -f $file ]] && cp "$file" "$seeds/stored/$(basename "$(dirname "$file")")-$(basename "$file")"
done

declare -A seed_dir=([fuzz_json_load]=json [fuzz_store_bytes]=store [fuzz_reg_file]=reg
                     [fuzz_stored_json]=stored)
declare -A dict=([fuzz_json_load]=fuzz/json.dict [fuzz_reg_file]=fuzz/reg.dict
                 [fuzz_stored_json]=fuzz/json.dict)

# The targets run side by side: each gets its seconds of wall time, and a
# CI run waits for the longest, not for their sum.
targets=(fuzz_json_load fuzz_store_bytes fuzz_reg_file fuzz_stored_json)
declare -A pid before
for target in "${targets[@]}"; do
  corpus=$build/corpus/$target
  artifacts=$build/artifacts/$target
  log=$build/logs/$target.log
  mkdir -p "$corpus" "$artifacts" "$(dirname "$log")"
  options=(-max_total_time="$seconds" -max_len=65536 -timeout=10 -rss_limit_mb=2048
           -print_final_stats=1 -artifact_prefix="$artifacts/")
  if [[ -n ${dict[$target]:-} ]]; then options+=(-dict="${dict[$target]}"); fi
  echo "fuzz: $target for $seconds s (log $log)"
  before[$target]=$(ls "$artifacts" | wc -l)
  "$bin/$target" "${options[@]}" "$corpus" "$seeds/${seed_dir[$target]}" >"$log" 2>&1 \
    </dev/null &
  pid[$target]=$!
done

failed=()
for target in "${targets[@]}"; do
  corpus=$build/corpus/$target
  artifacts=$build/artifacts/$target
  log=$build/logs/$target.log
  status=0
  wait "${pid[$target]}" || status=$?
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
  echo "fuzz: $target: ${runs:-?} runs, corpus $(ls "$corpus" | wc -l) inputs, exit $status"
  if ((status != 0)); then
    failed+=("$target")
    # A broken property's message can run to a whole dump; its first lines
    # say what broke, the tail says where.
    grep -m 1 -A 4 -e 'fuzz property broken' -e 'ERROR: ' -e 'runtime error' "$log" || true
    echo "fuzz: ..."
    tail -n 60 "$log"
    for found in $(ls -t "$artifacts" | head -n $(($(ls "$artifacts" | wc -l) - ${before[$target]}))); do
      echo "fuzz: $target: crashing input $artifacts/$found"
      echo "fuzz: reproduce with $bin/$target $artifacts/$found"
    done
  fi
done

if ((${#failed[@]} > 0)); then
  echo "fuzz: FAILED: ${failed[*]}"
  exit 1
fi
echo "fuzz: no findings"
