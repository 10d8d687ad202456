#!/usr/bin/env bash
# Seeds for the fuzz target from the dirty hives with logs in ../shared/hives/logs: each input is
# the hive's length (4 bytes, little-endian), the hive, then one of its logs.
# Usage: seed_logs.sh <folder for the seeds>
set -eu
out=$1
logs=$(dirname "$0")/../../../shared/hives/logs
mkdir -p "$out"
for folder in "$logs"/*/; do
  for hive in "$folder"*; do
    case "$hive" in *.[Ll][Oo][Gg]*) continue ;; esac
    for log in "$hive".[Ll][Oo][Gg]*; do
      [ -s "$log" ] || continue
      size=$(stat -c %s "$hive")
      { printf "$(printf '\\x%02x\\x%02x\\x%02x\\x%02x' $((size & 255)) $((size >> 8 & 255)) $((size >> 16 & 255)) $((size >> 24 & 255)))"
        cat "$hive" "$log"; } >"$out/$(basename "$log")"
    done
  done
done
