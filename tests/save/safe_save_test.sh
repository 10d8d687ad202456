#!/usr/bin/env bash
# Saves under fire: runs that save a 100,000-key hive in place are killed at random moments, two
# runs save the same hive at once, and SIGTERM or SIGHUP at a prompt must give the terminal back.
# Usage: safe_save_test.sh <TarvosD> <tarvos-sample-hive> [SIGKILL runs] [SIGTERM runs] [races]
set -u
prog=$1
make_hive=$2
kills=${3:-200}
terms=${4:-50}
races=${5:-10}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
. "$(dirname "$0")/../support/checks.sh"
same() { cmp -s "$1" "$2"; }
temporaries() { find "$1" -name '*tarvos-*' | wc -l; }
restored() {  # the terminal mode that stty -a printed has line editing and echo on
  grep -qE '(^| )icanon( |;|$)' "$1" && grep -qE '(^| )echo( |;|$)' "$1" && ! grep -qE -- '-(icanon|echo)( |;|$)' "$1"
}

# The hive, and what one whole run makes of it: the repaired hive and its backup.
"$make_hive" "$work/original" 100000
mkdir "$work/full"
cp "$work/original" "$work/full/BIG"
printf 'ffo' | "$prog" /t "$work/full/BIG" >"$work/full.out" 2>&1
cp "$work/full/BIG" "$work/repaired"
check "a whole run repairs and saves the hive" grep -q $'^File saved, size ' "$work/full.out"
check "and keeps the original as BIG.BAK" same "$work/full/BIG.BAK" "$work/original"

# Killed at a random moment of a run that saves: the hive's name holds the untouched original or
# the complete repaired hive, a backup is absent or complete, and after SIGTERM nothing is left
# half-written beside them.
declare -A seen=()
bad=0
left=0
for signal in KILL TERM; do
  runs=$kills
  [ "$signal" = TERM ] && runs=$terms
  for ((i = 0; i < runs; i++)); do
    d="$work/k"
    rm -rf "$d"
    mkdir "$d"
    cp "$work/original" "$d/BIG"
    printf 'ffo' | "$prog" /t "$d/BIG" >/dev/null 2>&1 &  # its input ends: it cannot wait for ever
    pid=$!
    sleep "0.$(printf '%03d' $((RANDOM % 160)))"
    kill -s "$signal" "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null
    if same "$d/BIG" "$work/original"; then hive=original; elif same "$d/BIG" "$work/repaired"; then hive=repaired; else hive=broken; fi
    if [ ! -e "$d/BIG.BAK" ]; then backup=absent; elif same "$d/BIG.BAK" "$work/original"; then backup=complete; else backup=broken; fi
    temps=$(temporaries "$d")
    seen["$signal $hive, backup $backup"]=$((${seen["$signal $hive, backup $backup"]:-0} + 1))
    if [ "$hive" = broken ] || [ "$backup" = broken ] || { [ "$signal" = TERM ] && [ "$temps" -ne 0 ]; }; then
      bad=$((bad + 1))
      echo "run $i ($signal): hive $hive, backup $backup, $temps temporary file(s)"
    fi
    [ "$temps" -ne 0 ] && left=$((left + 1))
  done
done
for outcome in "${!seen[@]}"; do echo "     $outcome: ${seen[$outcome]} run(s)"; done
echo "     runs that left a temporary file (SIGKILL only): $left"
check "$kills runs killed with SIGKILL and $terms with SIGTERM leave nothing broken" test "$bad" -eq 0

# Two runs that save the same hive at the same moment: both wait at the save question, then both
# answer it at once. One saves; the other cannot back up the hive it loaded, which the first holds
# or has replaced, and leaves it to disk mode; the hive is the repaired one.
# Every wait here has a deadline: a run whose answers are held gets them, or the end of its input,
# within a minute, and no run lasts longer than two, so a test that cannot finish fails instead.
# gated <folder>: the answers "ff", then "o" once <folder>/go exists.
gated() { printf 'ff'; for ((t = 0; t < 6000; t++)); do [ -e "$1/go" ] && break; sleep 0.01; done; printf 'o'; }
mixed=0
for ((i = 0; i < races; i++)); do
  d="$work/r"
  rm -rf "$d"
  mkdir "$d"
  cp "$work/original" "$d/BIG"
  for who in a b; do
    gated "$d" | timeout 120 "$prog" /t "$d/BIG" >"$d/$who.out" 2>&1 &
  done
  for ((t = 0; t < 1000; t++)); do
    [ "$(cat "$d"/a.out "$d"/b.out | grep -c 'Do You want to save it')" -eq 2 ] && break
    sleep 0.01
  done
  touch "$d/go"
  wait
  saved=$(cat "$d"/a.out "$d"/b.out | grep -c $'^File saved, size ')
  failed=$(cat "$d"/a.out "$d"/b.out | grep -c $'^Backup failed\r$')
  if [ "$saved" -ne 1 ] || [ "$failed" -ne 1 ] || ! same "$d/BIG" "$work/repaired" || ! same "$d/BIG.BAK" "$work/original" ||
    [ "$(temporaries "$d")" -ne 0 ]; then
    mixed=$((mixed + 1))
    echo "race $i: $saved saved, $failed failed"
  fi
done
check "$races pairs of runs saving one hive at once: one saves, the other cannot back it up, nothing is mixed" \
  test "$mixed" -eq 0

# Another file moved over the hive after the run loaded it: at the save question the check before
# the backup sees it; while the repaired hive is written beside it (a slow disk makes that last),
# the check just before the rename does. Either way nothing is saved and the other file stays.
"$make_hive" "$work/small" 20000
printf 'another program wrote this\n' >"$work/other"
waitfor() { for ((t = 0; t < 1000; t++)); do grep -q "$1" "$2" 2>/dev/null && return; sleep 0.01; done; }
unsaved() { ! grep -q '^File saved' "$1"; }
replaced() {  # replaced <question|write> [environment of the run]
  local when=$1 d="$work/replaced-$1" what="at the save question"
  shift
  [ "$when" = write ] && what="while the new one is written"
  mkdir "$d"
  cp "$work/small" "$d/BIG"
  gated "$d" | env "$@" timeout 120 "$prog" /t "$d/BIG" >"$d/out" 2>&1 &
  waitfor 'Do You want to save it' "$d/out"
  [ "$when" = write ] && touch "$d/go" && waitfor '^Saving file ' "$d/out"
  cp "$work/other" "$d/NEW" && mv "$d/NEW" "$d/BIG"
  touch "$d/go"
  wait
  check "a hive replaced $what: nothing is saved" unsaved "$d/out"
  check "a hive replaced $what: the other file stays" same "$d/BIG" "$work/other"
  check "a hive replaced $what: nothing is left beside it" test "$(temporaries "$d")" -eq 0
}
replaced question
check "a hive replaced at the save question cannot be backed up" grep -q $'^Backup failed\r$' "$work/replaced-question/out"
if command -v cc >/dev/null && cc -shared -fPIC -o "$work/slow.so" "$(dirname "$0")/../console/slow_disk.c" -ldl; then
  replaced write TARVOS_SLOW_MS=100 LD_PRELOAD="$work/slow.so"
  check "a hive replaced while the new one is written: the last check before the rename sees it" \
    grep -q $'^Reason: the hive file changed after it was loaded\r$' "$work/replaced-write/out"
  check "a hive replaced while the new one is written: it was backed up as loaded" \
    same "$work/replaced-write/BIG.BAK" "$work/small"
else
  echo "skip a hive replaced while the new one is written: no C compiler for the slow disk"
fi

# SIGTERM or SIGHUP while a prompt waits in the terminal: the terminal gets its echo and line
# editing back, and the run ends as the signal asks.
if command -v script >/dev/null; then
  "$make_hive" "$work/SAMPLE"
  for signal in TERM HUP; do
    rm -f "$work/mode" "$work/status" "$work/pid"
    timeout 120 script -qec "sh -c 'stty rows 25 cols 80; \"$prog\" \"$work/SAMPLE\" & echo \$! >\"$work/pid\"; wait \$!; echo \$? >\"$work/status\"; stty -a >\"$work/mode\"'" \
      /dev/null >"$work/screen" 2>&1 &
    runner=$!
    for ((t = 0; t < 500; t++)); do
      grep -q 'Press key to Fix' "$work/screen" 2>/dev/null && break
      sleep 0.01
    done
    kill -s "$signal" "$(cat "$work/pid" 2>/dev/null)" 2>/dev/null
    wait "$runner"
    code=$(cat "$work/status" 2>/dev/null)
    expected=$((128 + $(kill -l "$signal")))
    check "SIG$signal at a prompt ends the run with status $expected" test "$code" = "$expected"
    check "SIG$signal at a prompt gives back echo and line editing" restored "$work/mode"
  done
fi

echo "$failures failure(s)"
test "$failures" -eq 0
