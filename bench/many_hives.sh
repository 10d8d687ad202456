#!/usr/bin/env bash
# Many small hives checked from a script: N copies of a small clean hive (every tenth with a fault
# in its base block), checked only through one @list, then the same set spread over processes with
# xargs -P, one report each, merged with cat. Prints each run's wall time and peak memory (from
# /usr/bin/time -v), and a smaller set first, so that time per hive and memory can be compared.
# Usage: bench/many_hives.sh <TarvosD> <tarvos-sample-hive> [N=10000] [processes=2]
set -u
prog=$(realpath "$1")
make_hive=$2
count=${3:-10000}
jobs=${4:-2}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

"$make_hive" "$work/damaged" >/dev/null
cp "$work/damaged" "$work/clean"
printf 'ffo' | "$prog" /t "$work/clean" >/dev/null 2>&1
mkdir "$work/hives"
for ((i = 0; i < count; i++)); do
  if ((i % 10 == 9)); then cp "$work/damaged" "$work/hives/H$i"; else cp "$work/clean" "$work/hives/H$i"; fi
done
small=$((count / 10))
find "$work/hives" -type f | sort >"$work/all.lst"
head -n "$small" "$work/all.lst" >"$work/small.lst"

measure() {  # measure <label> <hives> <command...>: wall seconds and peak resident memory
  local label=$1 hives=$2
  shift 2
  /usr/bin/time -v -o "$work/time" "$@" >/dev/null 2>&1
  local code=$?
  local wall rss
  wall=$(awk -F': ' '/Elapsed \(wall clock\)/ {n = split($2, p, ":"); s = 0; for (i = 1; i <= n; i++) s = s * 60 + p[i]; print s}' "$work/time")
  rss=$(awk -F': ' '/Maximum resident set size/ {print $2}' "$work/time")
  printf '%-34s %6d hives  exit %2d  %7.2f s  %8.1f us/hive  peak %6d KB\n' "$label" "$hives" "$code" "$wall" \
    "$(echo "$wall * 1000000 / $hives" | bc -l)" "$rss"
}

measure "one @list (a tenth of the set)" "$small" "$prog" /t /n /r:"$work/small.jsonl" "@$work/small.lst"
measure "one @list" "$count" "$prog" /t /n /r:"$work/all.jsonl" "@$work/all.lst"
# One process per hive, each with its own report, merged afterwards. Peak memory is of the
# largest single process.
mkdir "$work/reports"
export TARVOSD=$prog
# shellcheck disable=SC2016
measure "xargs -P $jobs, one process per hive" "$count" \
  xargs -d '\n' -n 1 -P "$jobs" sh -c 'exec "$TARVOSD" /t /n /r:"$(mktemp -p "$0")" "$1" >/dev/null' "$work/reports" \
  <"$work/all.lst"
cat "$work/reports"/* >"$work/merged.jsonl"
echo "reports: $(grep -c '"type":"hive"' "$work/all.jsonl") hives in the @list's, $(grep -c '"type":"hive"' "$work/merged.jsonl") in the merged one"
