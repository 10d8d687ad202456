#!/usr/bin/env bash
# Runs both fuzz targets (AddressSanitizer and UndefinedBehaviorSanitizer on) side by side, one
# process each, for HOURS (a decimal, e.g. 0.5), from the corpus in tests/fuzz/corpus; then merges
# the inputs that found new coverage into that corpus (libFuzzer -merge=1) and prints a summary.
# A target that crashes or breaks an invariant of the harness is started again for the time left;
# the inputs that did so are kept in build-fuzz/findings/.
# Usage: scripts/fuzz.sh HOURS
set -uo pipefail
cd "$(dirname "$0")/.."
hours=${1:?usage: scripts/fuzz.sh HOURS}
seconds=$(awk -v h="$hours" 'BEGIN { printf "%d", h * 3600 }')
[ "$seconds" -gt 0 ] || { echo "HOURS must be more than nothing" >&2; exit 2; }

build=build-fuzz
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTARVOS_FUZZ=ON -DTARVOS_SANITIZE=ON \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ >/dev/null &&
  cmake --build "$build" -j 2 --target tarvos_fuzz tarvos_logs_fuzz || exit 1

run=$build/fuzz-$(date +%Y%m%d-%H%M%S)
findings=$build/findings
mkdir -p "$run" "$findings"

# fuzz_one <target> <corpus name> <max_len> <core>: runs until the time is up, again after a finding.
fuzz_one() {
  local target=$1 name=$2 maxlen=$3 core=$4
  local log=$run/$name.log end=$((SECONDS + seconds)) starts=0
  local pin=()
  command -v taskset >/dev/null && pin=(taskset -c "$core")
  mkdir -p "$run/$name"
  while [ $((end - SECONDS)) -gt 5 ] && [ $starts -lt 50 ]; do
    starts=$((starts + 1))
    # New inputs go to the first folder; the committed corpus is read only.
    "${pin[@]}" "$build/$target" "$run/$name" "tests/fuzz/corpus/$name" -max_len="$maxlen" \
      -max_total_time=$((end - SECONDS)) -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
      -artifact_prefix="$findings/$name-" >>"$log" 2>&1 && break
  done
}

fuzz_one tarvos_fuzz check 65536 0 &
fuzz_one tarvos_logs_fuzz logs 131072 1 &
wait

echo "== merging new inputs into tests/fuzz/corpus"
declare -A added
for pair in tarvos_fuzz:check:65536 tarvos_logs_fuzz:logs:131072; do
  IFS=: read -r target name maxlen <<<"$pair"
  before=$(ls "tests/fuzz/corpus/$name" | wc -l)
  "$build/$target" -merge=1 -max_len="$maxlen" -timeout=10 -rss_limit_mb=2048 "tests/fuzz/corpus/$name" \
    "$run/$name" >"$run/$name-merge.log" 2>&1 || echo "merge of $name failed: see $run/$name-merge.log"
  added[$name]=$(($(ls "tests/fuzz/corpus/$name" | wc -l) - before))
done

echo "== summary ($hours h, logs in $run)"
for name in check logs; do
  log=$run/$name.log
  runs=$(grep -oE '^stat::number_of_executed_units: [0-9]+' "$log" | awk '{ s += $2 } END { print s + 0 }')
  speed=$(grep -oE '^stat::average_exec_per_sec: [0-9]+' "$log" | awk '{ print $2 }' | paste -sd/ -)
  first=$(grep -m1 -E 'INITED' "$log" | grep -oE 'cov: [0-9]+ ft: [0-9]+')
  last=$(grep -E '^#[0-9]+' "$log" | tail -1 | grep -oE 'cov: [0-9]+ ft: [0-9]+')
  crashes=$(grep -cE '^==[0-9]+==ERROR|^fuzz invariant broken|deadly signal' "$log")
  echo "$name: $runs inputs at ${speed:-?} exec/s; start ${first:-?}, end ${last:-?}; ${added[$name]} inputs merged; $crashes findings"
done
found=$(ls "$findings" 2>/dev/null | wc -l)
echo "findings kept in $findings: $found"
ls -l "$findings" 2>/dev/null | tail -n +2
du -sh tests/fuzz/corpus
