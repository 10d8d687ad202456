#!/usr/bin/env bash
# The Windows build run from a shell under Wine: help, exit codes, line mode answered through a
# pipe. Usage: wine_cli_test.sh <TarvosD.exe> <native tarvos-sample-hive>
set -u
exe=$1
make_hive=$2
export WINEDEBUG=-all
# Wine hands the program its command line converted from the terminal's encoding.
export LC_ALL=C.UTF-8
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
. "$(dirname "$0")/../support/checks.sh"

timeout 120 wine "$exe" /h >"$work/help" 2>/dev/null </dev/null; code=$?
check "/h exits with 2" test "$code" -eq 2
check "/h starts with the banner" grep -q '^Castellan v1\.03, ' "$work/help"
sed -n '/^Usage: TarvosD \[<hive_file>|@<listfile> \[<switches>\]\]/,$p' "$work/help" >"$work/usage"
check "the usage text ends the help, in CR LF lines" \
  test "$(tail -n 1 "$work/usage")" = $'16 usage error\r' -a "$(grep -vc $'\r$' "$work/usage")" -eq 0

timeout 60 wine "$exe" /v >"$work/version" 2>/dev/null </dev/null; code=$?
check "/v prints the version and Windows, and exits with 0" \
  bash -c "test $code -eq 0 && grep -qE '^TarvosD [0-9.]+ \(Windows x86-64\)\r?$' '$work/version'"

for args in "/s:C," "SYSTEM /h"; do
  # shellcheck disable=SC2086
  timeout 60 wine "$exe" $args >/dev/null 2>&1 </dev/null; code=$?
  check "'$args' exits with 2" test "$code" -eq 2
done

"$make_hive" "$work/SAMPLE"
cp "$work/SAMPLE" "$work/original"
hive=$(winpath "$work/SAMPLE")

printf 's' | timeout 60 wine "$exe" /t "$hive" >"$work/out" 2>&1; code=$?
check "stop at the prompt exits with 4: a fault left" test "$code" -eq 4
check "stop cancels the check" grep -q $'^Press key to Fix/fix All/Stop \\[F|A|S\\]:s\r$' "$work/out"
check "stopped hive is unchanged" cmp -s "$work/SAMPLE" "$work/original"

printf 'fc' | timeout 60 wine "$exe" /t /l:"$(winpath "$work/run.tlg")" "$hive" >"$work/out" 2>&1; code=$?
check "fixed hive, the save cancelled, exits with 5" test "$code" -eq 5
check "header checked after the fix" grep -q $'^Header checked\r$' "$work/out"
check "log written with markers" grep -qE $'^# [0-9]{2}-[0-9]{2}-[0-9]{4} [0-9:]{8} - Attempt to fix last error\r$' "$work/run.tlg"

timeout 60 wine "$exe" /t "$hive" </dev/null >"$work/out" 2>&1; code=$?
check "end of input stops the check" grep -q 'Checking process cancelled' "$work/out"

# Check only: nothing written, the faults counted, the report parsed; the usage error and a
# missing hive.
timeout 60 wine "$exe" /t /n /r:"$(winpath "$work/r.jsonl")" "$hive" </dev/null >"$work/out" 2>&1; code=$?
check "/n exits with 4 and changes nothing" test "$code" -eq 4 -a "$(cmp -s "$work/SAMPLE" "$work/original" && ls "$work" | grep -c SAMPLE)" = 1
check "/n ends the hive with its count" grep -q $'^Check only: 1 fault found, nothing written\r$' "$work/out"
check "the report is JSON, the fault repaired in memory" python3 -c '
import json, sys
hive, summary = [json.loads(line) for line in open(sys.argv[1], encoding="utf-8")]
assert hive["faults"][0]["fate"] == "repaired in memory" and hive["outcome"]["reason"] == "check only"
assert summary["exit"] == 4' "$work/r.jsonl"
timeout 60 wine "$exe" /t /n "$(winpath "$work/no-such-hive")" </dev/null >/dev/null 2>&1; code=$?
check "/n over a missing hive exits with 8" test "$code" -eq 8
timeout 60 wine "$exe" /t /n /p:"$(winpath "$work")" "$hive" </dev/null >/dev/null 2>&1; code=$?
check "/n with /p is a usage error, 16" test "$code" -eq 16

# An answer no prompt takes, piped for ever, ends the run; /f lists the hives of a disk whose root
# is a Windows path.
yes a | timeout 60 wine "$exe" /t "$hive" >/dev/null 2>&1; code=$?
check "a piped answer the save question never takes ends the run: 4" test "$code" -eq 4
mkdir -p "$work/disk/Windows/System32/config" "$work/disk/Users/ann"
cp "$work/original" "$work/disk/Windows/System32/config/SYSTEM"
cp "$work/original" "$work/disk/Users/ann/NTUSER.DAT"
TARVOS_DRIVES="C=$(winpath "$work/disk"),fixed,1000000" timeout 60 wine "$exe" /f </dev/null 2>/dev/null >"$work/found"
check "/f: the hives of the disk, as Windows paths" test "$(tr -d '\r' <"$work/found")" = \
  "$(winpath "$work/disk/Users/ann/NTUSER.DAT")"$'\n'"$(winpath "$work/disk/Windows/System32/config/SYSTEM")"

# Saved over the original both ways a hive is loaded: mapped, where the view goes before the
# original is replaced, and read (TARVOS_READ_HIVES).
for way in mapped read; do
  reading=$([ "$way" = read ] && echo 1)
  cp "$work/original" "$work/SAMPLE"
  rm -f "$work/SAMPLE.BAK"
  printf 'fo' | TARVOS_READ_HIVES=$reading timeout 60 wine "$exe" /t "$hive" >"$work/out" 2>&1
  check "$way: fixed and saved over the original" grep -q $'^File saved, size 8192\r$' "$work/out"
  check "$way: with the original kept as SAMPLE.BAK" cmp -s "$work/SAMPLE.BAK" "$work/original"
  TARVOS_READ_HIVES=$reading timeout 60 wine "$exe" /t "$hive" </dev/null >"$work/out" 2>&1
  check "$way: the saved hive checks clean" grep -q $'^Hive structure checked\r$' "$work/out"
done

# A mapped hive cut short by a process of the host while the run waits at its first question:
# the pages lost are the read error, nothing is saved, the file stays as it was cut, and the next
# hive named is checked. The run ends with 8: a hive could not be checked.
"$make_hive" "$work/CUT" 20000
printf '%s\r\n%s\r\n' "$(winpath "$work/CUT")" "$hive" >"$work/cut.lst"
mkfifo "$work/keys"
timeout 120 wine "$exe" /t "@$(winpath "$work/cut.lst")" <"$work/keys" >"$work/out" 2>&1 &
run=$!
exec 3<>"$work/keys"  # read too, so that a run ended early never leaves the keys without a reader
for ((i = 0; i < 600; i++)); do grep -q 'Press key' "$work/out" && break; sleep 0.1; done
truncate -s 8192 "$work/CUT"
printf 'a' >&3
exec 3>&-
wait "$run"; code=$?
check "cut short at the question: the read error" grep -q $'^Error found: <File read error> - 0x0000' "$work/out"
check "and the run ends with 8" test "$code" -eq 8
check "nothing is saved: the file stays as it was cut, without a backup" \
  test "$(stat -c %s "$work/CUT")" = 8192 -a ! -e "$work/CUT.BAK" -a "$(grep -c 'Saving file' "$work/out")" = 0
next_checked() { grep -F -A 30 "Processing file: $hive..." "$work/out" | grep -q $'^Hive structure checked\r$'; }
check "the next hive named is checked" next_checked

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

# Names in any script: profiles "Юлия" and "日本" named on the command line, in list files saved
# as UTF-8 and UTF-16, through /o, /p and /l, and a hive behind a path past 260 characters. Output
# to a file is UTF-8.
mkdir -p "$work/Users/Юлия" "$work/Users/日本" "$work/выход"
for profile in Юлия 日本; do
  "$make_hive" "$work/Users/$profile/NTUSER.DAT"
  cp "$work/Users/$profile/NTUSER.DAT" "$work/original-$profile"
done
julia=$(winpath "$work/Users/Юлия/NTUSER.DAT")
japan=$(winpath "$work/Users/日本/NTUSER.DAT")
printf 'fo' | timeout 60 wine "$exe" /t /l:"$(winpath "$work/журнал.tlg")" "$julia" >"$work/out" 2>&1
check "a hive named in Cyrillic on the command line is checked under its name" grep -qF "Hive file loaded: $julia, size: 8192" "$work/out"
check "fixed and saved over the original" grep -q $'^File saved, size 8192\r$' "$work/out"
check "with the original kept as NTUSER.BAK beside it" cmp -s "$work/Users/Юлия/NTUSER.BAK" "$work/original-Юлия"
check "the log named in Cyrillic holds the hive's name" grep -qF "File opened: $julia" "$work/журнал.tlg"
timeout 60 wine "$exe" /t /n /r:- "$julia" </dev/null >"$work/r.jsonl" 2>/dev/null
check "the report names the hive in Cyrillic as UTF-8" python3 -c '
import json, sys
hive = json.loads(open(sys.argv[1], encoding="utf-8").readline())
assert hive["path"] == sys.argv[2] and "path_hex" not in hive and hive["outcome"]["status"] == "clean", hive' \
  "$work/r.jsonl" "$julia"
timeout 60 wine "$exe" /t "$julia" </dev/null >"$work/out" 2>&1
check "the saved hive checks clean" grep -q $'^Hive structure checked\r$' "$work/out"

printf 'fo' | timeout 60 wine "$exe" /t "$japan" /o:"$(winpath "$work/выход/日本.DAT")" >"$work/out" 2>&1
check "/o: a CJK hive saved under a CJK name in a Cyrillic folder" grep -qF "Saving file $(winpath "$work/выход/日本.DAT")..." "$work/out"
printf 'fo' | timeout 60 wine "$exe" /t "$japan" /p:"$(winpath "$work/выход")" >"$work/out" 2>&1
check "/p: saved into the Cyrillic folder" grep -q $'^File saved, size 8192\r$' "$work/out"
check "both results are there, the original untouched" bash -c 'test -f "$1/выход/日本.DAT" && test -f "$1/выход/NTUSER.DAT" &&
  cmp -s "$1/Users/日本/NTUSER.DAT" "$1/original-日本"' _ "$work"
timeout 60 wine "$exe" /t "$(winpath "$work/выход/日本.DAT")" </dev/null >"$work/out" 2>&1
check "and the result checks clean" grep -q $'^Hive structure checked\r$' "$work/out"

printf '%s\r\n%s\r\n' "$julia" "$japan" >"$work/utf8.lst"
{ printf '\xff\xfe'; iconv -f UTF-8 -t UTF-16LE "$work/utf8.lst"; } >"$work/utf16le.lst"
{ printf '\xfe\xff'; iconv -f UTF-8 -t UTF-16BE "$work/utf8.lst"; } >"$work/utf16be.lst"
for form in utf8 utf16le utf16be; do
  timeout 60 wine "$exe" /t "@$(winpath "$work/$form.lst")" </dev/null >"$work/out" 2>&1
  check "a $form list file names both profiles' hives" bash -c 'grep -qF "Processing file: $2..." "$1" && grep -qF "Processing file: $3..." "$1"' _ \
    "$work/out" "$julia" "$japan"
done

long="$work/long"
for i in 1 2 3 4 5 6; do long="$long/папкапапкапапкапапкапапкапапкапапкапапка$i"; done
mkdir -p "$long"
"$make_hive" "$long/日本語.DAT"
cp "$long/日本語.DAT" "$work/original-long"
longname=$(winpath "$long/日本語.DAT")
printf 'fo' | timeout 60 wine "$exe" /t "$longname" >"$work/out" 2>&1
check "a path of ${#longname} characters is checked and saved" bash -c 'test "${#2}" -gt 260 && grep -qF "Hive file loaded: $2, size: 8192" "$1" &&
  grep -q $'"'"'^File saved, size 8192\r$'"'"' "$1"' _ "$work/out" "$longname"
check "with its backup beside it" cmp -s "$long/日本語.bak" "$work/original-long"

echo "$failures failure(s)"
test "$failures" -eq 0
