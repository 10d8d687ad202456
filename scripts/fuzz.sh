#!/usr/bin/env bash
# Runs both fuzz targets (AddressSanitizer and UndefinedBehaviorSanitizer on) side by side, one
# process each, for HOURS (a decimal, e.g. 0.5), from the corpus in tests/fuzz/corpus; then merges
# the inputs that found new coverage into that corpus (libFuzzer -merge=1) and prints a summary.
# A target that crashes or breaks an invariant of the harness is started again for the time left;
# the inputs that did so are kept in build-fuzz/findings/.
# Usage: scripts/fuzz.sh HOURS, or scripts/fuzz.sh --merge RUN_FOLDER to merge an earlier run again.
set -uo pipefail
cd "$(dirname "$0")/.."
again=
if [ "${1:-}" = --merge ]; then again=${2:?usage: scripts/fuzz.sh --merge build-fuzz/fuzz-DATE}; set -- 0.001; fi
hours=${1:?usage: scripts/fuzz.sh HOURS}
seconds=$(awk -v h="$hours" 'BEGIN { printf "%d", h * 3600 }')
[ "$seconds" -gt 0 ] || { echo "HOURS must be more than nothing" >&2; exit 2; }

build=build-fuzz
# A build folder made with another compiler is configured afresh (CMake keeps no options then).
grep -qs "CMAKE_CXX_COMPILER:.*=clang++-19" "$build/CMakeCache.txt" || rm -f "$build/CMakeCache.txt"
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTARVOS_FUZZ=ON -DTARVOS_SANITIZE=ON \
  -DCMAKE_CXX_COMPILER=clang++-19 >/dev/null &&
  cmake --build "$build" -j 2 --target tarvos_fuzz tarvos_logs_fuzz || exit 1

run=${again:-$build/fuzz-$(date +%Y%m%d-%H%M%S)}
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

if [ -z "$again" ]; then
  fuzz_one tarvos_fuzz check 65536 0 &
  fuzz_one tarvos_logs_fuzz logs 131072 1 &
  wait
fi

# The committed corpus takes, of the inputs that add coverage (a greedy set cover over the seeds
# and the run's finds), the smallest first while it stays within its share of a few megabytes.
budget_kb=${TARVOS_CORPUS_KB:-3072}
echo "== merging new inputs into tests/fuzz/corpus (at most $budget_kb KB in all)"
declare -A added
for pair in tarvos_fuzz:check:65536:2 tarvos_logs_fuzz:logs:131072:1; do
  IFS=: read -r target name maxlen share <<<"$pair"
  merged=$run/merged-$name
  rm -rf "$merged" && cp -r "tests/fuzz/corpus/$name" "$merged"
  "$build/$target" -set_cover_merge=1 -max_len="$maxlen" -timeout=10 -rss_limit_mb=2048 "$merged" \
    "$run/$name" >"$run/$name-merge.log" 2>&1 || echo "merge of $name failed: see $run/$name-merge.log"
  room=$((budget_kb * 1024 * share / 3 - $(du -sb "tests/fuzz/corpus/$name" | cut -f1)))
  added[$name]=0
  while read -r size file; do
    [ -e "tests/fuzz/corpus/$name/$(basename "$file")" ] && continue
    [ "$size" -le "$room" ] || break
    cp "$file" "tests/fuzz/corpus/$name/" && room=$((room - size)) && added[$name]=$((added[$name] + 1))
  done < <(find "$merged" -type f -printf '%s %p\n' | sort -n)
  echo "$name: $(ls "$merged" | wc -l) inputs cover what the run found; $((added[$name])) new ones committed-to-be"
done

echo "== summary ($hours h, logs in $run)"
for name in check logs; do
  log=$run/$name.log
  runs=$(grep -E '^stat::number_of_executed_units:' "$log" | awk '{ s += $2 } END { print s + 0 }')
  speed=$(grep -E '^stat::average_exec_per_sec:' "$log" | awk '{ print $2 }' | paste -sd/ -)
  first=$(grep -m1 -E 'INITED' "$log" | grep -oE 'cov: [0-9]+ ft: [0-9]+')
  last=$(grep -E '^#[0-9]+' "$log" | tail -1 | grep -oE 'cov: [0-9]+ ft: [0-9]+')
  crashes=$(grep -c 'Test unit written to' "$log")
  echo "$name: $runs inputs at ${speed:-?} exec/s (each start of the target); start ${first:-?}, end ${last:-?}; ${added[$name]} inputs merged; $crashes findings"
done
found=$(ls "$findings" 2>/dev/null | wc -l)
echo "findings kept in $findings: $found"
ls -l "$findings" 2>/dev/null | tail -n +2
du -sh tests/fuzz/corpus
