#!/usr/bin/env bash
# Seeds for the fuzz targets from the dirty hives with logs in ../shared/hives/logs. Each input is
# the hive's length (4 bytes, little-endian), the hive, then one of its logs; with "two", the
# hive's length, the first log's length, the hive, its first log and its second. Seeds are named
# after the hive's folder as well, for several folders hold a hive of the same name. The committed
# corpus (tests/fuzz/corpus, by make_corpus.py) holds these cut to size; this gives them whole.
# Usage: seed_logs.sh <folder for the seeds> [two]
set -eu
out=$1
two=${2:-}
logs=$(dirname "$0")/../../../shared/hives/logs
mkdir -p "$out"
le32() { printf "$(printf '\\x%02x\\x%02x\\x%02x\\x%02x' $(($1 & 255)) $(($1 >> 8 & 255)) $(($1 >> 16 & 255)) $(($1 >> 24 & 255)))"; }
for folder in "$logs"/*/; do
  place=$(basename "$folder")
  for hive in "$folder"*; do
    case "$hive" in *.[Ll][Oo][Gg]*) continue ;; esac
    found=("$hive".[Ll][Oo][Gg]*)
    if [ -n "$two" ]; then
      first=${found[0]:-/dev/null}
      second=${found[1]:-/dev/null}
      [ -e "$first" ] || continue
      { le32 "$(stat -c %s "$hive")"; le32 "$(stat -L -c %s "$first")"; cat "$hive" "$first" "$second"; } \
        >"$out/$place-$(basename "$hive")"
      continue
    fi
    for log in "${found[@]}"; do
      [ -s "$log" ] || continue
      { le32 "$(stat -c %s "$hive")"; cat "$hive" "$log"; } >"$out/$place-$(basename "$log")"
    done
  done
done
