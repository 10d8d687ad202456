#!/usr/bin/env bash
# The program as a user runs it from a shell: help, exit codes, line mode answered through a pipe.
# Usage: cli_test.sh <TarvosD> <tarvos-sample-hive>
set -u
prog=$1
make_hive=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
. "$(dirname "$0")/../support/checks.sh"
quiet() { "$@" >/dev/null 2>&1; }

"$prog" /h >"$work/help" 2>"$work/help.err"; code=$?
check "/h exits with 2" test "$code" -eq 2
check "/h starts with the banner" grep -q '^Castellan v1\.03, ' "$work/help"
sed -n '/^Usage: TarvosD /,$p' "$work/help" >"$work/usage"
check "the usage text ends the help, its last line the exit codes" test "$(tail -n 1 "$work/usage")" = $'16 usage error\r'
check "usage lines end with CR LF" test "$(grep -vc $'\r$' "$work/usage")" -eq 0
check "help goes to standard output only" test ! -s "$work/help.err"
# The version is the build's own, set once in CMakeLists.txt, and the banner shows the same.
version=$(sed -n 's/^project(TarvosD VERSION \([0-9.]*\) .*/\1/p' "$(dirname "$0")/../../CMakeLists.txt")
for args in "--version" "/v" "-V"; do
  "$prog" $args >"$work/version" 2>&1; code=$?
  check "'$args' prints the version and the platform, and exits with 0" \
    test "$code" -eq 0 -a "$(cat "$work/version")" = "TarvosD $version (Linux x86-64)"
done
check "the banner names the same version" grep -q "^Castellan v$version, " "$work/help"

for args in "/s:C," "SYSTEM /h" "-?"; do
  # shellcheck disable=SC2086
  "$prog" $args >/dev/null 2>&1 </dev/null; code=$?
  check "'$args' exits with 2" test "$code" -eq 2
done

# Command lines that cannot be followed: one line on standard error says what is wrong (then the
# usage, for what help answers; nothing more for a usage error), and the usage never goes into a
# report written to standard output.
"$make_hive" "$work/ONE"
"$make_hive" "$work/TWO"
printf '%s\n' "$work/ONE" "$work/TWO" >"$work/two.list"
while IFS='|' read -r args exit says; do
  # shellcheck disable=SC2086
  "$prog" $args </dev/null >"$work/out" 2>"$work/err"; code=$?
  check "'$args': exit $exit and \"$says\" on standard error" \
    bash -c "test $code -eq $exit && head -n 1 '$work/err' | grep -qF -- 'TarvosD: $says'"
done <<MISTAKES
/t $work/ONE $work/TWO|2|two hive names: $work/ONE and $work/TWO
/t /o:$work/out.hive @$work/two.list|2|/o: writes one file: it takes one hive, not several
/bogus $work/ONE|16|unknown switch: /bogus
/t /y /n $work/ONE|16|/y repairs and saves without asking: it does not go with /n (check only)
-y $work/ONE|16|/y answers the questions of line mode: it needs /t
/f $work/ONE|16|/f lists the hives found and checks none
MISTAKES
"$prog" /t /r:- "$work/ONE" "$work/TWO" </dev/null >"$work/out" 2>"$work/err"; code=$?
check "help with /r:- leaves standard output to the report: the usage on standard error" \
  bash -c "test $code -eq 2 && test ! -s '$work/out' && grep -q '^Usage: TarvosD' '$work/err'"

"$make_hive" "$work/SAMPLE"
cp "$work/SAMPLE" "$work/original"

printf 's' | timeout 20 "$prog" /t "$work/SAMPLE" >"$work/out" 2>&1; code=$?
check "stop at the prompt exits with 4: a fault left" test "$code" -eq 4
check "stop cancels the check" grep -q $'^Press key to Fix/fix All/Stop \\[F|A|S\\]:s\r$' "$work/out"
check "stop is logged" grep -q $'^Checking process cancelled\r$' "$work/out"
check "stopped hive is unchanged" cmp -s "$work/SAMPLE" "$work/original"

printf 'ff' | timeout 20 "$prog" /t /l:"$work/run.tlg" "$work/SAMPLE" >"$work/out" 2>&1; code=$?
check "fixed hive, the input ended at the save question: exits with 4, faults left on disk" test "$code" -eq 4
check "header checked after the fix" grep -q $'^Header checked\r$' "$work/out"
check "log has markers and time stamps" grep -qE $'^\\* [0-9]{2}-[0-9]{2}-[0-9]{4} [0-9:]{8} - Header checked\r$' "$work/run.tlg"
check "fixed hive is not saved yet" cmp -s "$work/SAMPLE" "$work/original"

timeout 20 "$prog" /t "$work/SAMPLE" </dev/null >"$work/out" 2>&1; code=$?
check "end of input answers the prompt as Esc: a fault left, 4" test "$code" -eq 4
check "end of input stops the check" grep -q 'Checking process cancelled' "$work/out"
yes a | timeout 20 "$prog" /t "$work/SAMPLE" >"$work/out" 2>"$work/err"; code=$?
check "an answer the save question never takes, piped for ever, counts as the end of input: 4" \
  bash -c "test $code -eq 4 && grep -q 'keys in a row that no question takes' '$work/err'"

# /o onto a read-only file: it is replaced, and what stands there can be written again.
printf 'old' >"$work/repaired"
chmod a-w "$work/repaired"
printf 'ffo' | timeout 20 "$prog" /t /o:"$work/repaired" "$work/SAMPLE" >/dev/null 2>&1
check "/o replaces a read-only file and leaves it writable" test -n "$(find "$work/repaired" -size 8192c -perm -u+w)"
# The hive deleted, or replaced by another file, while the save question waits: no backup of the
# hive as it was loaded can be made, so the box says so and disk mode writes the repaired hive.
# Under the hive's name stays what was there (nothing, or the other file), and no backup.
printf 'x' | cat "$work/original" - >"$work/other"
mkdir "$work/drive"
for change in deleted replaced; do
  cp "$work/original" "$work/SAMPLE"
  rm -f "$work/out" "$work/drive/SAMPLE"
  (printf 'ff'
    for ((t = 0; t < 1000; t++)); do grep -q 'Do You want to save it' "$work/out" 2>/dev/null && break; sleep 0.01; done
    if [ "$change" = deleted ]; then rm "$work/SAMPLE"; else cp "$work/other" "$work/new" && mv "$work/new" "$work/SAMPLE"; fi
    printf 'o\rd') | TARVOS_DRIVES="D=$work/drive,fixed,100000000" timeout 20 "$prog" /t "$work/SAMPLE" >"$work/out" 2>&1
  check "$change hive: the backup fails and the box says so" test "$(grep -c -e $'^Backup failed\r$' \
    -e '^Impossible to backup original hive file. Press Enter' "$work/out")" -eq 2
  check "$change hive: disk mode writes the repaired hive" cmp -s "$work/drive/SAMPLE" "$work/repaired"
  left=$(cd "$work" && ls SAMPLE* 2>/dev/null; cmp -s SAMPLE other && echo other)
  check "$change hive: what was there stays" test "$left" = "$([ "$change" = replaced ] && printf 'SAMPLE\nother')"
done
cp "$work/original" "$work/SAMPLE"

if command -v setsid >/dev/null; then
  timeout 20 setsid -w "$prog" "$work/SAMPLE" </dev/null >"$work/out" 2>"$work/err"; code=$?
  check "without a terminal the full-screen run ends with 8: nothing checked" test "$code" -eq 8
  check "and says why on standard error" test "$(wc -l <"$work/err")" -eq 1
  check "and processes nothing" test ! -s "$work/out"
fi

# Files the user cannot read: tried as an unprivileged user, since a run as root reads anything.
if [ "$(id -u)" -eq 0 ] && command -v setpriv >/dev/null; then
  pub=$(mktemp -d)
  chmod 755 "$pub"
  cp "$prog" "$pub/TarvosD"
  "$make_hive" "$pub/LOCKED"
  echo "$pub/LOCKED" >"$pub/locked.lst"
  chmod 000 "$pub/LOCKED" "$pub/locked.lst"
  as_nobody() { setpriv --reuid=65534 --regid=65534 --clear-groups -- "$@"; }
  as_nobody "$pub/TarvosD" /t "$pub/LOCKED" </dev/null >"$work/out" 2>"$work/err"; code=$?
  check "an unreadable hive is an input open error" grep -q $'^Error found: <Input file open error>\r$' "$work/out"
  check "with its reason" grep -q $'^Reason: permission denied\r$' "$work/out"
  check "and the run ends with 8: not checked" test "$code" -eq 8
  as_nobody "$pub/TarvosD" /t /n /r:- "$pub/LOCKED" </dev/null >"$work/report" 2>/dev/null
  check "the report of an unreadable hive says it was not checked, and why" python3 - "$work/report" <<'PY'
import json, sys
hive, summary = [json.loads(line) for line in open(sys.argv[1], encoding="utf-8")]
assert summary["run_stopped"] is False and summary["stopped"] == 0
assert hive["outcome"]["status"] == "not checked" and hive["outcome"]["reason"] == "Input file open error", hive
assert [f["code"] for f in hive["faults"]] == [1] and hive["exit"] == 8 and hive["size"] == 8192, hive
assert hive["format"] is None and hive["keys"] is None and summary["not_checked"] == 1 and summary["exit"] == 8
PY
  as_nobody "$pub/TarvosD" /t "@$pub/locked.lst" </dev/null >"$work/out" 2>"$work/err"
  check "an unreadable list file is named on standard error" \
    test "$(cat "$work/err")" = "TarvosD: $pub/locked.lst: cannot read list file"
  rm -rf "$pub"
fi

# The report checked against the log of the same run: one object per hive, then the summary;
# every fault of the log (message and offset) in the report, in order. Extra Python conditions on
# the hive objects (h) and the summary (s) may follow.
cat >"$work/report.py" <<'PY'
import json, os, re, sys
report, log = sys.argv[1], sys.argv[2]
def unique(pairs):
    keys = [k for k, _ in pairs]
    assert len(keys) == len(set(keys)), keys
    return dict(pairs)
objects = [json.loads(line, object_pairs_hook=unique) for line in open(report, encoding="utf-8")]
hives, s = objects[:-1], objects[-1]
assert s["type"] == "summary" and s["version"] == 1 and s["hives"] == len(hives), s
assert all(h["type"] == "hive" and h["version"] == 1 for h in hives)
text = open(log, encoding="latin-1", newline="").read() if log != "-" else ""
logged = [(m, int(o, 16) if o else None)
          for m, o in re.findall(r"Error found: <([^>]*)>(?: - 0x([0-9A-F]{8}))?", text)]
reported = [(f["message"], f["offset"]) for h in hives for f in h["faults"]]
assert log == "-" or logged == reported, (logged, reported)
assert s["faults"] == len(reported)
for condition in sys.argv[3:]:
    for h in hives or [None]:  # and at least one hive
        assert eval(condition), (condition, h if "h" in condition else s)
PY
report_ok() { python3 "$work/report.py" "$@"; }

# Check only from a shell: nothing asked, nothing written, and the exit code says what was found.
cp "$work/original" "$work/SAMPLE"
rm -f "$work/n.tlg"
"$make_hive" "$work/CLEAN"
printf 'ffo' | timeout 20 "$prog" /t "$work/CLEAN" >/dev/null 2>&1
rm -f "$work/CLEAN.BAK"
timeout 20 "$prog" /t /n /r:"$work/r.jsonl" /l:"$work/n.tlg" "$work/SAMPLE" </dev/null >"$work/out" 2>&1; code=$?
check "/n over a damaged hive exits with 4" test "$code" -eq 4
check "and ends with its count" grep -q $'^Check only: 1 fault found, nothing written\r$' "$work/out"
check "and leaves the hive as it was" cmp -s "$work/SAMPLE" "$work/original"
check "its report: the fault repaired in memory, the hive not saved" report_ok "$work/r.jsonl" "$work/n.tlg" \
  'h["outcome"] == {"status": "not saved", "reason": "check only", "saved_to": [], "backup": None}' \
  'h["faults"][0]["fate"] == "repaired in memory" and h["exit"] == 4 and h["check_only"]' 's["exit"] == 4'
timeout 20 "$prog" /t /n /r:"$work/r.jsonl" "$work/CLEAN" </dev/null >"$work/out" 2>&1; code=$?
check "/n over a healthy hive exits with 0" test "$code" -eq 0
check "and says so" grep -q $'^Check only: no fault found, nothing written\r$' "$work/out"
check "its report: clean, the keys and values counted" report_ok "$work/r.jsonl" - \
  'h["outcome"]["status"] == "clean" and h["faults"] == [] and h["keys"] == 4 and h["values"] == 2' \
  'h["format"] == {"major": 1, "minor": 5} and h["sequence"]["primary"] == h["sequence"]["secondary"]'
timeout 20 "$prog" /t /n "$work/no-such-hive" </dev/null >/dev/null 2>&1; code=$?
check "/n over a missing file exits with 8" test "$code" -eq 8
timeout 20 "$prog" /t /n /o:"$work/out.dat" "$work/SAMPLE" </dev/null >/dev/null 2>"$work/err"; code=$?
check "/n with /o is a usage error: 16, and a line on standard error" test "$code" -eq 16 -a "$(wc -l <"$work/err")" -eq 1
printf '%s\n%s\n%s\n' "$work/SAMPLE" "$work/CLEAN" "$work/no-such-hive" >"$work/three.lst"
timeout 20 "$prog" /t /n /r:- "@$work/three.lst" </dev/null >"$work/r.jsonl" 2>"$work/out"; code=$?
check "/n over a list: a fault left and a hive not checked, 4 + 8" test "$code" -eq 12
check "/r:- leaves standard output to the report" report_ok "$work/r.jsonl" "$work/out" \
  's["hives"] == 3 and s["not_saved"] == 1 and s["clean"] == 1 and s["not_checked"] == 1 and s["exit"] == 12'
# A name whose bytes are not UTF-8: valid JSON, and the bytes given back exactly in hex.
odd=$(printf 'odd-\xe9\xff-name')
cp "$work/CLEAN" "$work/$odd"
timeout 20 "$prog" /t /n /r:- "$work/$odd" </dev/null >"$work/r.jsonl" 2>/dev/null
check "a name that is not UTF-8: its bytes in path_hex, its characters in path" report_ok "$work/r.jsonl" - \
  "bytes.fromhex(h['path_hex']) == b'$work/odd-\\xe9\\xff-name' and h['path'].endswith('odd-\\xe9\\xff-name')"
rm -f "$work/$odd"

# No hive named, in line mode: each hive /f prints (known places, or a search), once, in its order,
# with where it belongs. A disk with two Windows installations and a profile, one hive damaged.
disk=$work/disk
for hive in Windows/System32/config/SYSTEM Windows.old/Windows/System32/config/SYSTEM Users/ann/NTUSER.DAT; do
  mkdir -p "$(dirname "$disk/$hive")" && cp "$work/CLEAN" "$disk/$hive"
done
cp "$work/original" "$disk/Windows/System32/config/SOFTWARE"
for search in "" /s:C; do
  TARVOS_DRIVES="C=$disk,fixed,1000000" timeout 60 "$prog" /f $search </dev/null >"$work/found" 2>&1; code=$?
  check "/f $search: each hive of the disk once, a path a line, exit 0" \
    test "$code" -eq 0 -a "$(sort "$work/found")" = "$(find "$disk" -type f | sort)"
  TARVOS_DRIVES="C=$disk,fixed,1000000" timeout 60 "$prog" $search /t /n /r:"$work/s.jsonl" </dev/null >"$work/out" 2>&1
  check "$search /t /n: checks what /f lists in its order, each hive's installation reported" \
    report_ok "$work/s.jsonl" "$work/out" 's["exit"] == 4 and [h["path"] for h in hives] == open("'"$work/found"'").read().split()' \
    'h["installation"] == (h["path"].split("/System32/")[0] if "/System32/" in h["path"] else os.path.dirname(h["path"]))'
done
TARVOS_DRIVES="C=$work/nothing,fixed,1000000" timeout 60 "$prog" /f </dev/null >"$work/out" 2>"$work/err"; code=$?
check "/f that finds nothing: exit 8, and says so" test "$code $(cat "$work/err")" = "8 TarvosD: no hive found"

hives=${TARVOS_HIVES:-$(dirname "$0")/../../../shared/hives}
if [ -f "$hives/windows/SYSTEM" ]; then
  cp "$hives/windows/SYSTEM" "$work/SYSTEM"
  chmod u+w "$work/SYSTEM"
  first=$(od -An -tu4 -j $((4096 + 8)) -N4 "$work/SYSTEM" | tr -d ' ')
  second=$((4096 + first))
  printf 'XXXX' | dd of="$work/SYSTEM" bs=1 seek="$second" conv=notrunc status=none
  printf 'f' | timeout 60 "$prog" /t "$work/SYSTEM" >"$work/out" 2>&1
  expected=$(printf 'Error found: <Invalid frame signature> - 0x%08X' "$second")
  check "a broken frame signature of a real hive is found at its offset" grep -q "^$expected" "$work/out"
  check "and after the fix the frame pass goes on" grep -q $'^Frame structure checked\r$' "$work/out"
fi

# Check only over every damaged hive: each file as it was, times included, nothing else in its
# folder, the faults a Fix All run finds, exit code 4; the report lists what the log lists.
if [ -d "$hives/damaged" ]; then
  for hive in "$hives"/damaged/*; do
    name=$(basename "$hive")
    rm -rf "$work/d" "$work/f"
    mkdir -p "$work/d" "$work/f"
    cp -p "$hive" "$work/d/$name"
    touch -a -d '2001-02-03 04:05:06' "$work/d/$name"
    stamps=$(stat -c '%X %Y %Z %s' "$work/d/$name")
    rm -f "$work/n.tlg"
    timeout 60 "$prog" /t /n /r:"$work/r.jsonl" /l:"$work/n.tlg" "$work/d/$name" </dev/null >"$work/out" 2>&1; code=$?
    check "$name: /n exits with 4" test "$code" -eq 4
    # Its times first: a comparison reads the file, and that alone may set its access time.
    check "$name: /n leaves the file's times as they were" test "$(stat -c '%X %Y %Z %s' "$work/d/$name")" = "$stamps"
    check "$name: and the file byte for byte" cmp -s "$hive" "$work/d/$name"
    check "$name: /n writes nothing beside it" test "$(ls -A "$work/d")" = "$name"
    cp "$hive" "$work/f/$name"
    chmod u+w "$work/f/$name"
    yes a | head -n 200 | tr -d '\n' | sed 's/$/c/' | timeout 60 "$prog" /t "$work/f/$name" >"$work/fixall" 2>&1
    check "$name: /n finds the faults a Fix All run finds" \
      test "$(grep 'Error found' "$work/out")" = "$(grep 'Error found' "$work/fixall")" -a -n "$(grep 'Error found' "$work/out")"
    check "$name: the report lists the log's faults, repaired in memory" report_ok "$work/r.jsonl" "$work/n.tlg" \
      'h["fault_count"] == len(h["faults"]) > 0 and all(f["fate"] == "repaired in memory" for f in h["faults"])' \
      'h["outcome"]["reason"] == "check only" and h["exit"] == 4 and h["size"] == '"$(stat -c %s "$hive")"
    timeout 60 "$prog" /t /y "$work/f/$name" </dev/null >/dev/null 2>&1; code=$?
    timeout 60 "$prog" /t /n "$work/f/$name" </dev/null >/dev/null 2>&1; again=$?
    check "$name: /y with no input repairs and saves with a backup (1), and the result checks clean" \
      bash -c "test '$code $again' = '1 0' && cmp -s '$hive' '$work/f/$name.bak'"
  done
  rm -rf "$work/d" "$work/f"
fi

if [ -d "$hives/damaged" ] && command -v hivexml >/dev/null && command -v regfexport >/dev/null; then
  for hive in "$hives"/damaged/*; do
    name=$(basename "$hive")
    mkdir -p "$work/d"
    cp "$hive" "$work/d/$name"
    chmod u+w "$work/d/$name"
    yes a | head -n 200 | tr -d '\n' | sed 's/$/o/' | timeout 60 "$prog" /t /r:"$work/r.jsonl" /l:"$work/a.tlg" "$work/d/$name" >"$work/out" 2>&1
    check "$name: fixed and saved over the original" grep -q $'^File saved, size ' "$work/out"
    check "$name: the report says where it was saved and what became its backup" report_ok "$work/r.jsonl" "$work/a.tlg" \
      "h['outcome'] == {'status': 'saved', 'reason': None, 'saved_to': ['$work/d/$name'], 'backup': '$work/d/$name.bak'}" \
      'all(f["fate"] == "repaired" for f in h["faults"]) and h["exit"] == 1 and not h["check_only"]'
    rm -f "$work/a.tlg"
    check "$name: the backup holds the original bytes" cmp -s "$hive" "$work/d/$name.bak"
    timeout 60 "$prog" /t "$work/d/$name" </dev/null >"$work/out2" 2>&1; code=$?
    check "$name: a second check finds nothing" test "$code" -eq 0 -a "$(grep -c 'Error found' "$work/out2")" -eq 0
    check "$name: hivexml opens the saved hive" quiet hivexml "$work/d/$name"
    check "$name: regfexport opens the saved hive" quiet regfexport "$work/d/$name"
    rm -rf "$work/d"
  done
  cp "$hives/damaged/BadListHive" "$work/BadListHive"
  chmod u+w "$work/BadListHive"
  printf 'aaaaaaaao' | timeout 60 "$prog" /t /o:"$work/out.dat" "$work/BadListHive" >/dev/null 2>&1; code=$?
  check "/o writes the output and leaves the original" cmp -s "$hives/damaged/BadListHive" "$work/BadListHive"
  check "/o output opens in hivexml" quiet hivexml "$work/out.dat"
  check "/o makes no backup" test ! -e "$work/BadListHive.bak"
  check "a fixed hive exits with 1" test "$code" -eq 1
  printf 'aaaaaaaao' | timeout 60 "$prog" /t /r:"$work/hex.jsonl" /o:"$work/out"$'\xff'".dat" "$work/BadListHive" >/dev/null 2>&1
  check "a saved name that is not UTF-8 is in the report in hex too" grep -q '"saved_to_hex":\["[0-9a-f]*ff2e646174"\]' "$work/hex.jsonl"
  printf 'aaaaaaaao' | timeout 60 "$prog" /t /p:"$work/fixed" "$work/BadListHive" >/dev/null 2>&1
  check "/p creates the folder and saves into it" quiet regfexport "$work/fixed/BadListHive"
  check "/p leaves the original" cmp -s "$hives/damaged/BadListHive" "$work/BadListHive"
  printf 'aaaaaaaac' | timeout 60 "$prog" /t "$work/BadListHive" >/dev/null 2>&1; code=$?
  check "cancel at the save question changes nothing" cmp -s "$hives/damaged/BadListHive" "$work/BadListHive"
  check "and the exit code still says a fix was applied, and that it was left unsaved" test "$code" -eq 5
  printf 'aaaaaaaa' | timeout 60 "$prog" /t "$work/BadListHive" >/dev/null 2>&1; code=$?
  check "input that ends before the save question: nothing saved, and the exit code says only that faults stay" \
    test "$code" -eq 4
fi

# Dirty hives with their logs: recovered, saved with a backup, clean the second time, and what other
# readers list of them is what the logs hold.
if [ -d "$hives/logs" ]; then
  while read -r folder hive backup keys values; do
    mkdir -p "$work/l"
    cp "$hives/logs/$folder/"* "$work/l/"
    chmod u+w "$work/l/"*
    timeout 60 "$prog" /t /n /r:"$work/r.jsonl" "$work/l/$hive" </dev/null >"$work/out" 2>&1; code=$?
    check "$folder: /n applies the logs in memory and finds no fault: exit 0" test "$code" -eq 0
    check "$folder: and writes nothing" diff -r "$hives/logs/$folder" "$work/l"
    check "$folder: its report names the logs applied and refused and counts the keys and values other readers list" \
      report_ok "$work/r.jsonl" "$work/out" 'h["logs"]["recovered"] and h["outcome"]["status"] == "clean"' \
      "(h['keys'], h['values']) == ($keys, $values)" \
      '[(a["name"], a["count"], a["unit"]) for a in h["logs"]["applied"]] == [(n, int(c), u) for n, c, u in re.findall(r"Transaction log applied: (.*), (\d+) (\w+)\r", text)] != []' \
      '[(r["name"], r["reason"]) for r in h["logs"]["refused"]] == re.findall(r"Transaction log refused: (.*) \((.*)\)\r", text)'
    printf 'o' | timeout 60 "$prog" /t "$work/l/$hive" >"$work/out" 2>&1
    check "$folder: recovered from its logs" grep -q $'^Hive recovered from transaction logs\r$' "$work/out"
    check "$folder: saved with the original as backup" cmp -s "$hives/logs/$folder/$hive" "$work/l/$backup"
    timeout 60 "$prog" /t "$work/l/$hive" </dev/null >"$work/out2" 2>&1
    check "$folder: a second check finds nothing and applies no log" \
      test "$(grep -cE 'Error found|Transaction log' "$work/out2")" -eq 0
    if command -v hivexml >/dev/null; then
      hivexml "$work/l/$hive" >"$work/xml" 2>/dev/null
      check "$folder: hivexml lists $keys keys and $values values" \
        test "$(grep -o '<node' "$work/xml" | wc -l) $(grep -o '<value' "$work/xml" | wc -l)" = "$keys $values"
    fi
    if command -v regfexport >/dev/null; then
      check "$folder: regfexport opens it" quiet regfexport "$work/l/$hive"
    fi
    for log in "$hives/logs/$folder/"*.[Ll][Oo][Gg]*; do
      check "$folder: $(basename "$log") is unchanged" cmp -s "$log" "$work/l/$(basename "$log")"
    done
    rm -rf "$work/l"
  done <<'ROWS'
NewDirtyHive2 NewDirtyHive NewDirtyHive.bak 5 1
BadBaseBlockHive BadBaseBlockHive BadBaseBlockHive.bak 5003 1
UsrClass UsrClass.dat UsrClass.bak 6238 12531
transactions_NTUSER transactions_NTUSER.DAT transactions_NTUSER.bak 3105 4695
ROWS
  mkdir -p "$work/c"
  cp "$hives/logs/UsrClass/"* "$work/c/"
  head -c 8192 /dev/zero >"$work/c/UsrClass.dat.LOG"  # a log whose first sector is blank
  cp "$work/c/UsrClass.dat.LOG" "$work/blank"
  timeout 60 "$prog" /t "$work/c/*" </dev/null >"$work/out" 2>&1
  check "a wildcard over a registry folder skips the logs it names, a blank one too" \
    test "$(grep -c '^Transaction log skipped: ' "$work/out")" -eq 3
  check "and leaves the blank log as it was" cmp -s "$work/blank" "$work/c/UsrClass.dat.LOG"
  ln -s "$work/c/UsrClass.dat" "$work/link.dat"
  timeout 60 "$prog" /t "$work/link.dat" </dev/null >"$work/out" 2>&1
  check "a hive named through a link takes the logs beside the file it leads to" \
    grep -q "^Transaction log applied: $(realpath "$work/c")/UsrClass.dat.LOG1, 4 entries" "$work/out"
  rm -f "$work/link.dat"
  case "$prog" in
    *asan*) ;;  # the sanitizers reserve more address space than the limit below
    *)
      mkdir -p "$work/m"
      cp "$hives/logs/NewDirtyHive2/NewDirtyHive" "$work/m/HIVE"
      for suffix in LOG LOG1 LOG2; do truncate -s $((2 * 1024 * 1024 * 1024 - 4096)) "$work/m/HIVE.$suffix"; done
      (ulimit -v 300000; timeout 30 "$prog" /t "$work/m/HIVE" </dev/null >"$work/out" 2>&1; echo "exit $?" >>"$work/out")
      check "three logs of 2 GiB that hold nothing are refused by their first sector, under a memory limit" \
        test "$(grep -c ' (no base block)' "$work/out")" -eq 3
      check "and the run ends as it should" grep -qE '^exit [0-9]$' "$work/out"
      rm -rf "$work/m"
      ;;
  esac
  if [ "$(id -u)" -eq 0 ] && command -v setpriv >/dev/null; then
    chmod 755 "$work" "$work/c"
    chmod 000 "$work/c/UsrClass.dat.LOG1"
    setpriv --reuid=65534 --regid=65534 --clear-groups -- "$prog" /t "$work/c/UsrClass.dat" </dev/null >"$work/out" 2>&1
    check "an unreadable log is refused with its reason" \
      grep -q "^Transaction log refused: $work/c/UsrClass.dat.LOG1 (cannot be read: permission denied)" "$work/out"
    check "and the other log is applied alone, as Windows would" \
      grep -q "^Transaction log applied: $work/c/UsrClass.dat.LOG2, 10 entries" "$work/out"
    chmod 700 "$work"
  fi
  rm -rf "$work/c"
fi

# Files that are no hive (a program, zeros, a page of text): said so with what the file starts
# with, nothing asked, nothing written, exit bit 8; a hive after one in a list is checked as ever.
cp "$prog" "$work/program"
head -c 262144 /dev/zero >"$work/zeros"
yes 'a line of text' | head -c 8192 >"$work/text"
for name in program zeros text; do
  cp "$work/$name" "$work/$name.before"
  yes a | head -n 50 | tr -d '\n' | sed 's/$/o/' | timeout 60 "$prog" /t "$work/$name" >"$work/out" 2>&1; code=$?
  check "$name: \"Not a hive file\" with what it starts with, nothing asked" \
    bash -c "grep -q '^Not a hive file: $work/$name' '$work/out' && grep -q '^Reason: it \(starts with\|holds only zeros\)' '$work/out' && ! grep -q 'Press key' '$work/out'"
  check "$name: nothing written, no backup, exit 8" \
    bash -c "cmp -s '$work/$name' '$work/$name.before' && ! ls '$work/$name'.[bB][aA][kK] 2>/dev/null && test $code -eq 8"
done
printf '%s\n' "$work/program" "$work/SAMPLE" >"$work/mixed.list"
timeout 60 "$prog" @"$work/mixed.list" /t /n </dev/null >"$work/out" 2>&1; code=$?
check "a hive after a file that is no hive is checked, and the exit code has both bits" \
  bash -c "test $code -eq 12 && grep -q '^Processing frame structure' '$work/out'"

# A save that fails says the system's reason, on the screen, in the log and in the report, which
# keeps it when the question that comes back is cancelled; the line before that question says
# what "Overwrite" now means. (A file size limit makes the write fail; its signal is ignored.)
"$make_hive" "$work/LIMITED"
(trap '' XFSZ; ulimit -f 4; printf 'ao' | timeout 60 "$prog" /t /o:"$work/limited.out" /r:- "$work/LIMITED" \
  >"$work/limited.jsonl" 2>"$work/limited.err"); code=$?
check "a save that fails says the system's reason" grep -q $'^Reason: File too large\r$' "$work/limited.err"
check "and that /o is now ignored and the hive itself would be overwritten" \
  grep -q '^Command line switch /o ignored: the hive file itself will be overwritten after a backup' "$work/limited.err"
check "the report's outcome keeps the failure, and the exit code says the faults stay on disk" \
  bash -c "grep -q '\"reason\":\"saving failed: $work/limited.out (File too large)\"' '$work/limited.jsonl' && test $code -eq 4"
cp "$work/LIMITED" "$work/limited.before"
(trap '' XFSZ; ulimit -f 4; timeout 60 "$prog" /t /y /o:"$work/limited.out" "$work/LIMITED" </dev/null >"$work/out" 2>&1); code=$?
check "/y with /o: that fails: the question that comes back is cancelled; 5, a change left unsaved" \
  bash -c "test $code -eq 5 && cmp -s '$work/LIMITED' '$work/limited.before' && test \"\$(grep -o 'Cancel \[O|D|C\]:.' '$work/out')\" = \$'Cancel [O|D|C]:o\nCancel [O|D|C]:c'"

# Targets that cannot take a hive end the run with a usage error before any hive is touched: a
# folder for /o:, a file for /p:, a folder that is not there, a place where nothing can be written.
"$make_hive" "$work/TARGETS"
cp "$work/TARGETS" "$work/targets.before"
mkdir -p "$work/readonly"
chmod 555 "$work/readonly"
while IFS='|' read -r switch says; do
  timeout 20 "$prog" /t "$switch" "$work/TARGETS" </dev/null >"$work/out" 2>"$work/err"; code=$?
  check "$switch: a usage error that says why, and the hive untouched" \
    bash -c "test $code -eq 16 && grep -qF -- '$says' '$work/err' && cmp -s '$work/TARGETS' '$work/targets.before' && ! grep -q 'Processing file' '$work/out'"
done <<TARGETS
/o:$work|/o: names a folder, not a file: $work
/o:$work/missing/x.hive|/o: $work/missing/x.hive cannot be written (no such folder)
/p:$work/TARGETS|/p: names a file, not a folder: $work/TARGETS
/p:$work/missing/deeper|/p: $work/missing/deeper cannot be written (no such folder)
TARGETS
if [ "$(id -u)" -eq 0 ] && command -v setpriv >/dev/null; then  # root writes anywhere: a user who may not
  chmod 755 "$work"
  setpriv --reuid=65534 --regid=65534 --clear-groups "$prog" /t /o:"$work/readonly/x.hive" "$work/TARGETS" \
    </dev/null >/dev/null 2>"$work/err"; code=$?
  check "/o: in a folder where nothing can be written: a usage error that says so" \
    bash -c "test $code -eq 16 && grep -qF '(permission denied)' '$work/err'"
fi

# Memory that runs out: the hive that needs more than the run may have is not checked (code 13,
# exit bit 8), and the next hive of the list is. The limit is a little above what the program needs
# to start, found here; a build whose sanitizer reserves more address space than any limit skips.
"$make_hive" "$work/MANY" 100000
"$make_hive" "$work/FEW"
printf '%s\n' "$work/MANY" "$work/FEW" >"$work/memory.list"
limit=
for kb in 8000 12000 16000 24000 32000; do
  if (ulimit -v "$kb" && "$prog" /v) >/dev/null 2>&1; then limit=$((kb + 8000)); break; fi
done
if [ -n "$limit" ]; then
  (ulimit -v "$limit" && timeout 60 "$prog" @"$work/memory.list" /t /n) >"$work/memory" 2>&1; code=$?
  check "a hive too big for the memory left is not checked: code 13 and exit bit 8" \
    test $((code & 8)) -eq 8 -a "$(grep -c '^Error found: <Memory allocation error>' "$work/memory")" -eq 1
  check "and the next hive of the list is checked" grep -q "^Processing file: $work/FEW" "$work/memory"
  check "and the run's last line is the next hive's verdict" test "$(grep -c '^Check only: ' "$work/memory")" -eq 2
else
  echo "skip memory limits: the program does not start within 32 MB of address space"
fi

echo "$failures failure(s)"
test "$failures" -eq 0
