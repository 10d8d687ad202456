#!/usr/bin/env bash
# The window layer in a real terminal (a private tmux server): the demo's dialog at 80 x 25 and
# 120 x 40, keys and SGR mouse clicks, and the terminal as it was afterwards, also after SIGTERM.
# With a second argument, the same demo built for Windows under Wine: frames drawn as frames.
# Usage: console_tmux_test.sh <tarvos-console-demo> [<tarvos-console-demo.exe>]
set -u
demo=$1
exe=${2:-}
. "$(dirname "$0")/tmux_common.sh"
# The characters at (column, row) and on; the column of a text in a row (counted in characters).
cells() { pane | python3 -c "import sys; r = sys.stdin.read().split('\n')[$2]; print(r[$1:$1 + ${3:-1}])"; }
column_of() { pane | python3 -c "import sys; print(sys.stdin.read().split('\n')[$1].find('$2'))"; }

for size in "80 25" "120 40"; do
  set -- $size
  columns=$1 rows=$2
  start "$columns" "$rows" "$demo"
  check "$size: the dialog is drawn" wait_for "Error on offset"
  top=4 left=4 width=$((columns - 8)) height=$((rows - 8))
  check "$size: the frame's corners" test "$(cells $left $top)$(cells $((left + width - 1)) $top)$(cells $left $((top + height - 1)))" = "╔╗╚"
  check "$size: the separator above the buttons" test "$(cells $left $((top + height - 4)) 2)" = "╟─"
  check "$size: the scroll bar's arrows" test "$(cells $((left + width - 1)) $((top + 1)))$(cells $((left + width - 1)) $((top + height - 2)))" = "↑↓"
  check "$size: the focused button is bright white on green" bash -c "tmux -L $server capture-pane -p -e | sed -n $((top + height - 2))p | grep -q $'\e\\[97m\e\\[42m Fix '"
  tmux -L "$server" send-keys Right
  sleep 0.3
  check "$size: Right moves the focus to Fix All" bash -c "tmux -L $server capture-pane -p -e | sed -n $((top + height - 2))p | grep -q $'\e\\[97m\e\\[42m Fix All '"
  # A click on the disabled Skip does nothing; a click on Stop ends with its result.
  stop=$(column_of $((top + height - 3)) '  Stop  ')
  skip=$(column_of $((top + height - 3)) ' Skip ')
  line=$((top + height - 2))
  tmux -L "$server" send-keys -l $'\e[<0;'"$((skip + 2))"';'"$line"'M'$'\e[<0;'"$((skip + 2))"';'"$line"'m'
  sleep 0.3
  check "$size: a click on a disabled button does nothing" wait_for "Error on offset"
  tmux -L "$server" send-keys -l $'\e[<0;'"$((stop + 3))"';'"$line"'M'$'\e[<0;'"$((stop + 3))"';'"$line"'m'
  check "$size: a click on Stop gives its result" wait_for "result 0xFF000000"
  check "$size: the main screen is back" wait_for "BEFORE-THE-RUN"
  wait_for "EXIT=" >/dev/null
  check "$size: the terminal's modes are as they were" cmp -s "$work/before" "$work/after"
done

start 80 25 "$demo"
wait_for "Error on offset" >/dev/null
tmux -L "$server" send-keys a
check "a hot letter focuses its button and activates it" wait_for "result 0x11000000"

# Waiting for the user takes no processor time: the input is waited on, not polled.
start 80 25 "$demo"
wait_for "Error on offset" >/dev/null
pid=$(pgrep -n -f "$demo")
ticks() { awk '{print $14 + $15}' "/proc/$pid/stat"; }
before=$(ticks)
sleep 3
check "a dialog waiting 3 s for the user uses under 30 ms of processor time" test $(($(ticks) - before)) -lt 3

# Another process ends the run: the terminal is given back, the status is the signal's.
for signal in TERM INT HUP; do
  start 80 25 "$demo"
  wait_for "Error on offset" >/dev/null
  pkill "-$signal" -n -f "$demo"
  check "SIG$signal ends the run as the signal asks" wait_for "EXIT=$((128 + $(kill -l $signal)))"
  check "SIG$signal gives the main screen back" wait_for "BEFORE-THE-RUN"
  sleep 0.3
  check "SIG$signal leaves the terminal's modes as they were" cmp -s "$work/before" "$work/after"
done

if [ -n "$exe" ] && command -v wine >/dev/null; then
  export WINEDEBUG=-all
  start 80 25 "wine $exe"
  check "Windows build: the dialog is drawn under Wine" wait_for "Error on offset"
  check "Windows build: frames drawn as frames" bash -c "tmux -L $server capture-pane -p | grep -q '╔═'"
  tmux -L "$server" send-keys Escape
  check "Windows build: Esc gives its result" wait_for "result 0xFF000000"
fi

echo "$failures failure(s)"
test "$failures" -eq 0
