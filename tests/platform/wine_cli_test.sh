#!/usr/bin/env bash
# The Windows build run from a shell under Wine: help, exit codes, line mode answered through a
# pipe. Usage: wine_cli_test.sh <TarvosD.exe> <native tarvos-sample-hive>
set -u
exe=$1
make_hive=$2
export WINEDEBUG=-all
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
check() {
  local what=$1; shift
  if "$@"; then echo "ok   $what"; else echo "FAIL $what"; failures=$((failures + 1)); fi
}
winpath() { printf 'Z:%s' "${1//\//\\}"; }

timeout 120 wine "$exe" /h >"$work/help" 2>/dev/null </dev/null; code=$?
check "/h exits with 2" test "$code" -eq 2
check "/h starts with the banner" grep -q '^Castellan v1\.03, ' "$work/help"
tail -c 543 "$work/help" | head -c 53 >"$work/first"
check "usage text is the last 543 bytes" test "$(cat "$work/first")" = "Usage: TarvosD [<hive_file>|@<listfile> [<switches>]]"

for args in "/t" "/s:C," "SYSTEM /h"; do
  # shellcheck disable=SC2086
  timeout 60 wine "$exe" $args >/dev/null 2>&1 </dev/null; code=$?
  check "'$args' exits with 2" test "$code" -eq 2
done

"$make_hive" "$work/SAMPLE"
cp "$work/SAMPLE" "$work/original"
hive=$(winpath "$work/SAMPLE")

printf 's' | timeout 60 wine "$exe" /t "$hive" >"$work/out" 2>&1; code=$?
check "stop at the prompt exits with 0" test "$code" -eq 0
check "stop cancels the check" grep -q $'^Press key to Fix/fix All/Stop \\[F|A|S\\]:s\r$' "$work/out"
check "stopped hive is unchanged" cmp -s "$work/SAMPLE" "$work/original"

printf 'f' | timeout 60 wine "$exe" /t /l:"$(winpath "$work/run.tlg")" "$hive" >"$work/out" 2>&1; code=$?
check "fixed hive exits with 1" test "$code" -eq 1
check "header checked after the fix" grep -q $'^Header checked\r$' "$work/out"
check "log written with markers" grep -qE $'^# [0-9]{2}-[0-9]{2}-[0-9]{4} [0-9:]{8} - Attempt to fix last error\r$' "$work/run.tlg"

timeout 60 wine "$exe" /t "$hive" </dev/null >"$work/out" 2>&1; code=$?
check "end of input stops the check" grep -q 'Checking process cancelled' "$work/out"

printf 'fo' | timeout 60 wine "$exe" /t "$hive" >"$work/out" 2>&1; code=$?
check "fixed and saved over the original" grep -q $'^File saved, size 8192\r$' "$work/out"
check "with the original kept as SAMPLE.BAK" cmp -s "$work/SAMPLE.BAK" "$work/original"
timeout 60 wine "$exe" /t "$hive" </dev/null >"$work/out" 2>&1
check "the saved hive checks clean" grep -q $'^Hive structure checked\r$' "$work/out"

# A dirty hive whose logs have another case than the hive's name.
logs=$(dirname "$0")/../../../shared/hives/logs/transactions_NTUSER
if [ -d "$logs" ]; then
  mkdir "$work/l"
  cp "$logs"/* "$work/l/"
  chmod u+w "$work/l"/*
  printf 'o' | timeout 60 wine "$exe" /t "$(winpath "$work/l/transactions_NTUSER.DAT")" >"$work/out" 2>&1
  check "the logs are found in another case and applied" \
    grep -q $'^Transaction log applied: .*transactions_NTUSER.DAT.log1, 23 entries\r$' "$work/out"
  check "the recovered hive is saved" grep -q $'^File saved, size ' "$work/out"
  timeout 60 wine "$exe" /t "$(winpath "$work/l/transactions_NTUSER.DAT")" </dev/null >"$work/out" 2>&1
  check "and checks clean" test "$(grep -cE 'Error found|Transaction log' "$work/out")" -eq 0
fi

echo "$failures failure(s)"
test "$failures" -eq 0
