#!/usr/bin/env bash
# The interactive run in a real terminal (a private tmux server at 80 x 25): the progress window,
# the error window answered by keys and a click, the save question, Pause, Resume and Exit during
# a long stage, and the terminal as it was afterwards. With a third argument, the Windows build
# under Wine with keys. The error window of ../shared/hives/damaged/BadListHive is compared with
# its expected capture when that folder exists.
# Usage: run_tmux_test.sh <TarvosD> <tarvos-sample-hive> [<TarvosD.exe>]
set -u
prog=$1
make_hive=$2
exe=${3:-}
here=$(cd "$(dirname "$0")" && pwd)
. "$(dirname "$0")/tmux_common.sh"
click() {  # click <text on the screen>: the middle of its first appearance
  local at
  at=$(pane | python3 -c "
import sys
for y, line in enumerate(sys.stdin.read().split('\n')):
    x = line.find('''$1''')
    if x >= 0:
        print(x + len('''$1''') // 2 + 1, y + 1)
        break")
  [ -n "$at" ] || return 1
  set -- $at
  tmux -L "$server" send-keys -l $'\e[<0;'"$1;$2"'M'$'\e[<0;'"$1;$2"'m'
}

# A small hive with faults of four kinds, answered F, a click on Fix All, A, then Stop.
"$make_hive" --several "$work/SAMPLE"
cp "$work/SAMPLE" "$work/original"
start 80 25 "$prog $work/SAMPLE"
check "the error window opens on the progress window" wait_for "Error on offset: 0x????????"
check "the title band and the gauge are drawn" bash -c "tmux -L $server capture-pane -p | sed -n 3p | grep -q '^  Castellan' && tmux -L $server capture-pane -p | grep -q 'Complete:'"
keys f
check "F fixes; the next fault shows its offset in the caption" wait_for "Error on offset: 0x0000002C"
click " Fix All "
check "a click on Fix All answers it" wait_for "Error on offset: 0x00000208"
keys a
check "A answers the next" wait_for "Error on offset: 0x000000C0"
keys s
check "S stops; the fixes made are offered for saving" wait_for "File Save"
keys M-o  # Alt+O: the terminal sends Esc and "o" at once
check "Alt+O saves; the screen is given back, then the fault left is printed" wait_for "Press Enter to exit..."
keys Enter
check "the run ends with 5: the hive was changed and saved (1), a fault left (4)" wait_for "EXIT=5"
check "the backup holds the original" cmp -s "$work/SAMPLE.BAK" "$work/original"
check "the hive was saved repaired" bash -c "! cmp -s $work/SAMPLE $work/original"
check "the main screen is back" wait_for "BEFORE-THE-RUN"
sleep 0.3
check "the terminal's modes are as they were" cmp -s "$work/before" "$work/after"

# 80 x 24 (the size most terminals open at), 80 x 25 and 132 x 43, under two terminal types: the
# error window in its place, the gauge on the screen's third row from the bottom, every frame
# upright; a smaller screen says what it needs.
layout_ok() {  # layout_ok <columns> <rows>
  pane | sed -n 5p | grep -q '^    ╔' && pane | sed -n "$(($2 - 2))p" | grep -q '^  Complete:' && frames_in_place "$1"
}
for size in "80 24" "80 25" "132 43"; do
  for term in xterm-256color linux; do
    read -r cols rows <<<"$size"
    cp "$work/original" "$work/S24"
    start "$cols" "$rows" "TERM=$term $prog $work/S24"
    wait_for "Error on offset: 0x????????" >/dev/null
    check "$cols x $rows, TERM=$term: the error window and the gauge in their places, every frame upright" layout_ok "$cols" "$rows"
    keys s
    wait_for "Press Enter to exit..." >/dev/null
    keys Enter
    check "$cols x $rows, TERM=$term: S stops, and the run ends with 4: a fault left" wait_for "EXIT=4"
  done
done
# Resized during the run: laid out and drawn whole at each size (the frame closed at the new edge,
# one window and one gauge, nothing of the picture before); below the smallest size one line
# says so, and the screen comes back when the terminal grows. Then Ctrl+C: the exit confirmation.
settles() { local i; for ((i = 0; i < 30; i++)); do "$@" && return 0; sleep 0.1; done; return 1; }
whole_at() {  # whole_at <columns> <rows>
  layout_ok "$1" "$2" && pane | sed -n 5p | python3 -c "
import sys; row = sys.stdin.read().rstrip('\n'); sys.exit(not (row.startswith('    ╔') and row.endswith('╗') and len(row) == $1 - 4))" &&
    test "$(pane | grep -c '╔')" -eq 1 -a "$(pane | grep -c 'Complete:')" -eq 1
}
cp "$work/original" "$work/RESIZED"
start 80 24 "$prog $work/RESIZED"
wait_for "Error on offset: 0x????????" >/dev/null
for size in "132 43" "80 24" "60 20" "80 24"; do
  read -r cols rows <<<"$size"
  tmux -L "$server" resize-window -x "$cols" -y "$rows"
  if [ "$cols" -lt 66 ]; then
    check "resized to $cols x $rows: one line says the terminal is too small" wait_for "Terminal too small: 66 x 24 needed, $cols x $rows found" 3
  else
    check "resized to $cols x $rows: laid out and drawn whole for it" settles whole_at "$cols" "$rows"
  fi
done
keys C-c
check "Ctrl+C asks the exit confirmation" wait_for "Terminate program?" 3
keys Escape
check "Cancel goes on: the error window waits" settles bash -c "! tmux -L $server capture-pane -p | grep -q 'Terminate program?' &&
  tmux -L $server capture-pane -p | grep -q 'Error on offset'"
keys C-c
wait_for "Terminate program?" 3 >/dev/null
keys Enter
check "Ok ends the run, stopped (4)" wait_for "EXIT=4"

# Without colours (TERM of a monochrome terminal): not one colour sequence, the focus in reverse.
no_colours() {
  tmux -L "$server" capture-pane -p -e | python3 -c '
import re, sys
params = [int(p) for seq in re.findall(r"\x1b\[([0-9;]*)m", sys.stdin.read()) for p in seq.split(";") if p]
sys.exit(any(30 <= p <= 38 or 40 <= p <= 48 or 90 <= p <= 97 or 100 <= p <= 107 for p in params))'
}
for term in vt100 xterm-mono; do
  cp "$work/original" "$work/MONO"
  start 80 25 "TERM=$term $prog $work/MONO"
  wait_for "Error on offset: 0x????????" >/dev/null
  check "TERM=$term: no colour sequence on the screen" no_colours
  check "TERM=$term: the focused button in reverse video" bash -c "tmux -L $server capture-pane -p -e | grep -q $'\e\\[7m Fix '"
  keys s
  wait_for "Press Enter to exit..." >/dev/null
  keys Enter
  wait_for "EXIT=" >/dev/null
done

start 60 20 "$prog $work/S24"
wait_for "EXIT=" >/dev/null
check "60 x 20: too small, with the size needed and the size found" bash -c "tmux -L $server capture-pane -pJ |
  grep -qF 'TarvosD: the console screen is too small: 66 x 24 needed, 60 x 20 found; /t runs in line mode'"

# Check only on the full screen: no fault window (nor the signature's confirmation: the hive's
# "regf" is damaged too), a box with the count for each hive, nothing written; the exit codes of
# a clean hive, one with faults left, and a list of both.
cp "$work/original" "$work/CHECK"
mkdir -p "$work/co"
cp "$work/original" "$work/co/ONLY"
printf 'rexf' | dd of="$work/co/ONLY" conv=notrunc status=none
cp "$work/co/ONLY" "$work/only-original"
start 80 25 "$prog /n $work/co/ONLY"
check "check only: a box counts the faults" wait_for "Check only: 5 faults found"
check "and says nothing was written" wait_for "nothing written" 1
check "no fault window was opened" bash -c "! tmux -L $server capture-pane -p | grep -q 'Error on offset'"
check "every frame upright" frames_in_place 80
keys Enter
check "the run ends with 4: faults left" wait_for "EXIT=4"
check "the hive as it was, and nothing beside it" bash -c "cmp -s $work/co/ONLY $work/only-original && test \"\$(ls $work/co)\" = ONLY"
"$make_hive" "$work/co/CLEAN"
printf 'ffo' | "$prog" /t "$work/co/CLEAN" >/dev/null 2>&1
rm -f "$work/co/CLEAN.BAK"
start 80 25 "$prog -n $work/co/CLEAN"
check "check only, a clean hive: the box says no fault" wait_for "Check only: no fault found"
keys Enter
check "and the run ends with 0" wait_for "EXIT=0"
printf '%s\n%s\n' "$work/co/CLEAN" "$work/co/ONLY" >"$work/co.lst"
start 80 25 "$prog /n @$work/co.lst"
check "check only over a list: a box for the first hive" wait_for "Check only: no fault found"
keys Enter
check "then for the second" wait_for "Check only: 5 faults found"
keys Enter
check "and the run ends with 4" wait_for "EXIT=4"
start 80 25 "$prog /n /o:$work/co/OUT $work/co/ONLY"
check "check only with /o: a usage error, 16" wait_for "EXIT=16"
check "named on standard error" wait_for "it does not go with /o or /p" 1

# Stopped with a dialog up (kill -TSTP, or Ctrl+Z typed on the screen), the user's screen is back
# while the run waits; taken to the foreground again (fg), the screen is taken and drawn whole.
for how in kill Ctrl+Z; do
  cp "$work/original" "$work/STOP"
  tmux -L "$server" kill-server 2>/dev/null
  sleep 0.2
  tmux -L "$server" -f /dev/null new-session -d -x 80 -y 25 "env PS1='SHELL> ' bash --norc --noprofile -i"
  sleep 0.5
  keys "$prog $work/STOP" Enter
  wait_for "Error on offset" >/dev/null
  pid=$(pgrep -n -f "$prog $work/STOP")
  if [ "$how" = kill ]; then kill -TSTP "$pid"; else keys C-z; fi
  check "$how: stopped, the run waits" bash -c "sleep 0.5; ps -o stat= -p $pid | grep -q T"
  check "$how: with the user's screen back" bash -c "! tmux -L $server capture-pane -p | grep -q 'Error on offset'"
  keys "fg" Enter
  check "$how: taken to the foreground again, the screen is drawn whole" settles layout_ok 80 25
  keys s
  wait_for "Press Enter to exit..." >/dev/null
  keys Enter
  check "$how: and the run ends" wait_for "SHELL> "
done

# kill -TSTP with a dialog up and no job-control shell above the run: it stops all the same, with
# the terminal's modes and screen the user's; kill -CONT takes the screen again, drawn whole.
cp "$work/original" "$work/KILLED"
start 80 25 "$prog $work/KILLED"
wait_for "Error on offset" >/dev/null
pid=$(pgrep -n -f "$prog $work/KILLED")
kill -TSTP "$pid"
sleep 0.5
check "kill -TSTP: the run is stopped" bash -c "ps -o stat= -p $pid | grep -q T"
check "with the terminal's modes as they were before the run" bash -c "stty -a <$(tmux -L "$server" display -p '#{pane_tty}') | cmp -s - $work/before"
check "and the user's screen" bash -c "! tmux -L $server capture-pane -p | grep -q 'Error on offset'"
kill -CONT "$pid"
check "kill -CONT: the error window is drawn again" wait_for "Error on offset" 3
check "whole, every frame upright" frames_in_place 80
keys s
wait_for "Press Enter to exit..." >/dev/null
keys Enter
check "and the run ends" wait_for "EXIT=4"

# Names of wide and combining characters: a hive whose name is cut to the header's field by
# width, and profiles of such names in the selection list, with its scroll bar.
wide=$(printf '\xe6\x97\xa5\xe6\x9c\xac\xe8\xaa\x9e')  # three CJK characters
mark=$(printf 'e\xcc\x81')  # e and a combining acute
top="/$(echo "$work" | cut -d/ -f2)/"  # where a path shortened in its middle starts: the first folder
"$make_hive" "$work/clean-wide"
printf 'ffo' | "$prog" /t "$work/clean-wide" >/dev/null 2>&1
rm -f "$work/clean-wide.BAK"
widename="$work/$wide$mark-$wide$wide$wide$mark$wide$wide$wide$wide"
cp "$work/clean-wide" "$widename"
start 80 25 "$prog '$widename'"
check "a CJK name: the check ends with its box" wait_for "Hive file checking complete"
check "the name in the header, cut by width in its middle" bash -c "tmux -L $server capture-pane -p | sed -n 6p | grep -q '…'"
check "every row within the screen, every frame upright" frames_in_place 80
keys Enter
wait_for "EXIT=" >/dev/null
mkdir -p "$work/w/Windows/System32/config"
cp "$work/clean-wide" "$work/w/Windows/System32/config/SYSTEM"
for ((i = 0; i < 14; i++)); do
  mkdir -p "$work/w/Users/$i$wide$mark$wide$wide$wide$wide$mark$wide$wide$wide"
  cp "$work/clean-wide" "$work/w/Users/$i$wide$mark$wide$wide$wide$wide$mark$wide$wide$wide/NTUSER.DAT"
done
start 80 25 "TARVOS_DRIVES='C=$work/w,fixed,1000000' $prog"
check "the selection list of CJK profiles" wait_for "Profile:  $top…/0$wide$mark"
check "every row within the screen, the frame and the scroll bar upright" frames_in_place 80
keys Escape
wait_for "EXIT=" >/dev/null

# A path of 200 characters typed into the field: it scrolls, and the hive it names is checked.
deep="$work/d"
while [ ${#deep} -lt 180 ]; do deep="$deep/folder$((${#deep} % 10))"; done
mkdir -p "$deep"
long="$deep/$(printf 'h%.0s' $(seq $((199 - ${#deep}))))"
cp "$work/clean-wide" "$long"
start 80 25 "TARVOS_DRIVES='C=$work/w,fixed,1000000' $prog /l:$work/typed.tlg"
wait_for "Profile:  $top…/0$wide$mark" >/dev/null
keys Right Enter
wait_for "Type full path of filename" >/dev/null
keys -l "$long"
sleep 0.3
check "the field shows the end of the path typed" bash -c "tmux -L $server capture-pane -p | grep -qF '${long: -40}'"
keys Enter
check "a 200-character path typed is checked" wait_for "Hive file checking complete"
keys Enter
wait_for "EXIT=" >/dev/null
check "the log names it whole" grep -qF "$long" "$work/typed.tlg"

# A hive deep in folders: the header and a row of the selection list show the path's start, "…"
# and the file name whole.
cp "$work/clean-wide" "$deep/SOFTWARE"
start 80 25 "$prog $deep/SOFTWARE"
wait_for "Hive file checking complete" >/dev/null
check "a deep path in the header: its start, …, and the name whole" bash -c "tmux -L $server capture-pane -p | sed -n 6p | grep -q 'file: $top…[^ ]*/SOFTWARE\$'"
keys Enter
wait_for "EXIT=" >/dev/null
start 80 25 "TARVOS_DRIVES='C=$work/d,fixed,1000000' $prog /s:C"
check "a deep path in the selection list: its start, …, and the name whole" wait_for "Hivefile: $top…"
check "the row ends with the name at the window's edge" bash -c "tmux -L $server capture-pane -p | grep -q 'Hivefile: $top…[^ ]*/SOFTWARE │'"
keys Escape
wait_for "EXIT=" >/dev/null

# The user's title comes back when the run ends.
cp "$work/original" "$work/T"
start 80 25 "printf '\\033]0;USER-TITLE\\007'; $prog $work/T"
wait_for "Error on offset" >/dev/null
check "the title is the program's while it runs" bash -c "tmux -L $server display -p '#{pane_title}' | grep -qx Castellan"
keys s
wait_for "Press Enter to exit..." >/dev/null
keys Enter
wait_for "EXIT=" >/dev/null
check "and the user's again after it" bash -c "tmux -L $server display -p '#{pane_title}' | grep -qx USER-TITLE"

# A terminal that takes no control sequences: the line form of the run, and a word on why.
cp "$work/original" "$work/DUMB"
start 80 25 "TERM=dumb $prog $work/DUMB"
check "TERM=dumb runs in line mode and says why" wait_for "TarvosD: TERM is dumb: line mode, as with /t"
check "and asks its questions as lines" wait_for "Press key to Fix/fix All/Stop [F|A|S]:"
keys s
check "and ends" wait_for "EXIT="
check "with no full-screen sequence written" bash -c "! tmux -L $server capture-pane -p | grep -q 'Castellan'"

hives=$here/../../../shared/hives
if [ -f "$hives/damaged/BadListHive" ]; then
  cp "$hives/damaged/BadListHive" "$work/BadListHive"
  chmod u+w "$work/BadListHive"
  start 80 25 "$prog $work/BadListHive"
  wait_for "Error on offset" >/dev/null
  sleep 0.3
  # The gauge is left out: a walk first tried on two cores that meets the fault takes it as far
  # as it got, and the gauge never goes back within its stage.
  pane | sed "s|$work|WORK|; 23s/Complete: .*/Complete: (the gauge)/" >"$work/screen"
  check "BadListHive's first error window is as expected" diff -u "$here/expected/badlisthive-error.txt" "$work/screen"
  keys Escape
  wait_for "EXIT=" >/dev/null
fi

# Pause, Resume and Exit during a long stage of a large clean hive. Keys typed before the screen
# opens are discarded, so each is sent until it lands.
"$make_hive" "$work/BIG" 1000000
printf 'ffo' | "$prog" /t "$work/BIG" >/dev/null 2>&1
rm -f "$work/BIG.BAK"
start 80 25 "$prog $work/BIG"
wait_for "is now checking file" >/dev/null
for ((i = 0; i < 400; i++)); do keys p; sleep 0.02; pane | grep -qF " Resume " && break; done
check "P pauses the run: the button reads Resume" wait_for " Resume " 1
# The button is drawn as the key is read, the offset reached on the held poll a moment later.
sleep 0.3
held=$(pane | sed -n 3p)
pid=$(pgrep -n -f "$prog $work/BIG")
ticks() { awk '{print $14 + $15}' "/proc/$pid/stat"; }
before=$(ticks)
sleep 2
check "and the run is held, waiting without using the processor" test "$(pane | sed -n 3p)" = "$held" -a $(($(ticks) - before)) -lt 3
# R and X together: the run goes on, and the exit confirmation opens within its stage.
keys r x
check "R resumes it" wait_for " Pause " 2
check "X opens the exit confirmation" wait_for "Terminate program?" 5
keys Enter
check "Ok ends the run: Operation aborted" wait_for "Operation aborted" 10
keys Enter
check "and the run ends with 4: stopped" wait_for "EXIT=4"

# The same hive, mapped, cut short by another process while the run is paused: the pages lost are
# the read error, the run goes on to its end, and the file is left as the other process made it.
cp "$work/BIG" "$work/CUT"
start 80 25 "$prog $work/CUT"
wait_for "is now checking file" >/dev/null
for ((i = 0; i < 400; i++)); do keys p; sleep 0.02; pane | grep -qF " Resume " && break; done
check "P pauses the mapped run" wait_for " Resume " 1
truncate -s 1M "$work/CUT"
keys r
check "the file cut short is a read error" wait_for "File read error" 10
keys Enter
check "and the run ends with 8: the hive could not be checked" wait_for "EXIT=8" 10
check "the file stays as it was cut" test "$(stat -c %s "$work/CUT")" = 1048576 -a ! -e "$work/CUT.BAK"

# A slow disk (each read and write of 64 KB or more takes 100 ms): a key typed during the load, the
# backup copy or the writing is answered at once, not after dozens of chunks. The load is a read
# of the file here, as where a hive cannot be mapped.
if command -v cc >/dev/null && cc -shared -fPIC -o "$work/slow.so" "$here/slow_disk.c" -ldl; then
  "$make_hive" "$work/SLOW" 30000
  start 80 25 "TARVOS_READ_HIVES=1 LD_PRELOAD=$work/slow.so $prog $work/SLOW"
  wait_for "is now checking file" >/dev/null
  sleep 0.3
  keys p
  check "slow disk: P pauses the load within a second" wait_for " Resume " 1
  keys x
  check "and X opens the exit confirmation" wait_for "Terminate program?" 2
  keys Enter
  wait_for "Operation aborted" 10 >/dev/null
  keys Enter
  check "and the run ends, stopped" wait_for "EXIT=4"
  # Line mode shows the stage on standard error while the slow load goes on, and wipes it before
  # the next line: no "Loading N%" is left once the run has ended, and none goes to a file.
  start 80 25 "TARVOS_READ_HIVES=1 LD_PRELOAD=$work/slow.so $prog /t /n $work/SLOW 2>$work/slow.err"
  check "slow disk, line mode, standard error to a file: no progress line" wait_for "EXIT=4" 30
  check "and nothing in the file" test ! -s "$work/slow.err"
  start 80 25 "TARVOS_READ_HIVES=1 LD_PRELOAD=$work/slow.so $prog /t /n $work/SLOW"
  check "slow disk, line mode on a terminal: the load's per cent on the line below" \
    bash -c "for ((i = 0; i < 100; i++)); do tmux -L $server capture-pane -p | grep -qE '^Loading [0-9]+%  SLOW' && exit 0; sleep 0.1; done; exit 1"
  wait_for "EXIT=" 30 >/dev/null
  check "and wiped before the lines after it" bash -c "! tmux -L $server capture-pane -p | grep -qE '[0-9]+%'"
  # Line mode at a terminal, answered by a person: each question is on the screen before its key
  # is waited for (what the program holds of standard output goes out first).
  "$make_hive" --several "$work/ASKED"
  start 80 25 "$prog /t $work/ASKED"
  check "line mode at a terminal: the fault's question waits on the screen" wait_for "[F|A|S]:" 5
  for ((i = 0; i < 8; i++)); do keys a; wait_for "[O|D|C]:" 2 && break; done
  check "and after Fix All of each kind, the save question" wait_for "[O|D|C]:" 1
  keys c
  check "which C answers: the hive stays as it was (exit 5)" wait_for "EXIT=5" 10
  "$make_hive" --several "$work/SLOWSAVE" 30000
  cp "$work/SLOWSAVE" "$work/slow-original"
  start 80 25 "LD_PRELOAD=$work/slow.so $prog $work/SLOWSAVE"
  for ((i = 0; i < 10; i++)); do keys a; wait_for "File Save" 5 && break; done
  keys o
  sleep 0.5
  keys p
  check "slow disk: P pauses the save within a second" wait_for " Resume " 1
  keys r
  check "R lets the save go on to its end" wait_for "Hive file checking complete" 30
  keys Enter
  check "and the run ends with 1" wait_for "EXIT=1"
  check "the backup holds the original" cmp -s "$work/SLOWSAVE.BAK" "$work/slow-original"
fi

# No hive named: the hives of a drive laid out as Windows, listed; Enter gives the list the
# keyboard, Enter on the "Registry: " line checks that folder's hives one after another.
mkdir -p "$work/c/Windows/System32/config" "$work/c/Users/Ann"
"$make_hive" "$work/clean"
printf 'ffc' | "$prog" /t "$work/clean" >/dev/null 2>&1
printf 'ffo' | "$prog" /t "$work/clean" >/dev/null 2>&1
for name in SYSTEM SOFTWARE; do cp "$work/clean" "$work/c/Windows/System32/config/$name"; done
cp "$work/clean" "$work/c/Users/Ann/NTUSER.DAT"
start 80 25 "TARVOS_DRIVES='C=$work/c,fixed,1000000' $prog /l:$work/found.tlg"
check "without a hive named, the selection window lists what the drives hold" wait_for "Registry: $work/c/Windows/System32/config"
check "and the profiles" wait_for "Profile:  $work/c/Users/Ann"
# Sorted by path, the profile (Users) comes before the registry folder (Windows).
keys Enter
sleep 0.3
keys Down
sleep 0.3
keys Enter
check "the chosen folder's first hive is checked" wait_for "Hive file checking complete"
keys Enter
sleep 0.5
keys Enter
check "then the next, and the run ends" wait_for "EXIT=0"
order=$(grep 'Processing file' "$work/found.tlg" | sed 's|.*config/||; s|\.\.\..*||' | tr '\r\n' '  ' | tr -s ' ')
check "both hives of the folder, in the order of the known names" test "$order" = "SYSTEM SOFTWARE "

# A folder of the drive mounted again inside it (a bind mount, in a namespace of its own): not
# walked twice, its hive listed once under the first path found. Skipped where no such mount is
# allowed.
mkdir -p "$work/b/evidence" "$work/b/again"
cp "$work/clean" "$work/b/evidence/SYSTEM"
if unshare -rm sh -c "mount --bind $work/b/evidence $work/b/again" 2>/dev/null; then
  start 80 25 "TARVOS_DRIVES='C=$work/b,fixed,1000000' unshare -rm sh -c 'mount --bind $work/b/evidence $work/b/again && exec $prog /s:C'"
  check "a bind mount: the hive listed under the first path found" wait_for "Hivefile: $work/b/again/SYSTEM"
  check "and only there" test "$(pane | grep -c 'Hivefile: ')" -eq 1
  keys Escape
  wait_for "EXIT=" >/dev/null
else
  echo "ok   skipped: no bind mount allowed here"
fi

if [ -n "$exe" ] && command -v wine >/dev/null; then
  export WINEDEBUG=-all
  "$make_hive" --several "$work/WIN"
  cp "$work/WIN" "$work/win-original"
  start 80 25 "wine $exe Z:$work/WIN"
  check "Windows build: the error window under Wine" wait_for "Error on offset: 0x????????" 60
  keys C-c
  check "Windows build: Ctrl+C asks the exit confirmation" wait_for "Terminate program?" 10
  keys Escape
  wait_for "Error on offset: 0x????????" 10 >/dev/null
  for ((i = 0; i < 8; i++)); do keys a; sleep 0.5; pane | grep -qF "File Save" && break; done
  check "Windows build: Fix All to the save question" wait_for "File Save"
  keys o
  check "Windows build: saved, the check complete" wait_for "Hive file checking complete" 30
  keys Enter
  check "Windows build: the run ends with 1" wait_for "EXIT=1" 30
  check "Windows build: the backup holds the original" cmp -s "$work/WIN.BAK" "$work/win-original"
  # A terminal too small for the full screen, no hive named: the size message, not a silent end.
  start 60 20 "wine $exe"
  wait_for "EXIT=" 60 >/dev/null
  # Wine's console breaks the line at the terminal's edge itself.
  check "Windows build: 60 x 20 is too small, with the size needed and the size found" bash -c "tmux -L $server capture-pane -p |
    tr -d '\n' | grep -qF 'TarvosD: the console screen is too small: 66 x 24 needed, 60 x 20 found; /t runs in line mode'"
  check "Windows build: and the run ends with 8: nothing could be checked" wait_for "EXIT=8" 1
  # Finding hives on real drive letters: Wine's own C:, and a folder mapped as a drive.
  if [ -n "${WINEPREFIX:-}" ] && [ -d "$WINEPREFIX/drive_c/windows/system32" ]; then
    mkdir -p "$WINEPREFIX/drive_c/windows/system32/config"
    cp "$work/clean" "$WINEPREFIX/drive_c/windows/system32/config/SYSTEM"
    start 80 25 "wine $exe"
    check "Windows build: the hives of Wine's C: are listed" wait_for 'Registry: C:\windows\system32\config' 60
    keys Escape
    wait_for "EXIT=" 30 >/dev/null
    start 80 25 "wine $exe /s:C"
    check "Windows build: the full search of C: finds the hive file" wait_for 'Hivefile: C:\windows\system32\config\SYSTEM' 120
    keys Escape
    wait_for "EXIT=" 30 >/dev/null
    start 80 25 "TARVOS_DRIVES='C=Z:$work/c,fixed,1000000' wine $exe"
    check "Windows build: a mapped folder's hives are listed" wait_for "Registry: Z:$work/c" 60
    keys Escape
    wait_for "EXIT=" 30 >/dev/null
    rm -f "$WINEPREFIX/drive_c/windows/system32/config/SYSTEM"
  fi
  # Profiles named in Cyrillic and CJK on a mapped drive: both listed, each line checks and saves
  # its own hive with the backup beside it; then a Cyrillic and CJK path typed into the field.
  # (Wine's console on a terminal draws both halves of a wide character, so CJK names are read
  # from the log, not the screen.)
  for profile in Юлия 日本; do
    mkdir -p "$work/u/Users/$profile"
    "$make_hive" "$work/u/Users/$profile/NTUSER.DAT"
    cp "$work/u/Users/$profile/NTUSER.DAT" "$work/u-$profile"
  done
  users="Z:$work/u\\Users"
  for choice in Юлия 日本; do
    start 80 25 "LC_ALL=C.UTF-8 TARVOS_DRIVES='C=Z:$work/u,fixed,1000000' wine $exe /l:Z:$work/u-$choice.tlg"
    check "Windows build: the profile named in Cyrillic is listed" wait_for "Profile:  $users\\Юлия" 60
    check "Windows build: and the one in CJK" wait_for "Profile:  $users\\日" 1
    keys Enter
    sleep 0.3
    [ "$choice" = 日本 ] && keys Down && sleep 0.3
    keys Enter
    wait_for "Error on offset" 30 >/dev/null
    keys a
    check "Windows build: $choice chosen, checked, to the save question" wait_for "File Save" 30
    keys o
    wait_for "Hive file checking complete" 30 >/dev/null
    keys Enter
    check "Windows build: $choice saved, the run ends with 1" wait_for "EXIT=1" 30
    check "Windows build: the hive of $choice is saved under its name" grep -qF "Saving file $users\\$choice\\NTUSER.DAT..." "$work/u-$choice.tlg"
    check "Windows build: its backup holds the original" cmp -s "$work/u/Users/$choice/NTUSER.BAK" "$work/u-$choice"
  done
  mkdir -p "$work/u/Ёлка"
  "$make_hive" "$work/u/Ёлка/日本.DAT"
  start 80 25 "LC_ALL=C.UTF-8 TARVOS_DRIVES='C=Z:$work/u,fixed,1000000' wine $exe /l:Z:$work/u-typed.tlg"
  wait_for "Profile:  $users" 60 >/dev/null
  keys Right Enter
  wait_for "Type full path of filename" >/dev/null
  keys -l "Z:$work/u/Ёлка/日本.DAT"
  sleep 0.5
  check "Windows build: Cyrillic typed into the path field shows there as typed" wait_for "║ Z:$work/u/Ёлка/"
  keys Enter
  wait_for "Error on offset" 30 >/dev/null
  keys a
  wait_for "File Save" 30 >/dev/null
  keys o
  check "Windows build: the typed path's hive is checked and saved" wait_for "Hive file checking complete" 30
  keys Enter
  wait_for "EXIT=" 30 >/dev/null
  check "Windows build: the log names the typed path whole" grep -qF "Processing file: Z:$work/u/Ёлка/日本.DAT..." "$work/u-typed.tlg"
  check "Windows build: with the backup beside it" test -f "$work/u/Ёлка/日本.bak"
fi

echo "$failures failure(s)"
test "$failures" -eq 0
