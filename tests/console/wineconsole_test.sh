#!/usr/bin/env bash
# The Windows build in Wine's own console window, on a virtual display (Xvfb), driven with xdotool:
# a console window of 60 x 20 is grown to 66 x 24 for the run and given back after it with the
# user's title; the window enlarged or shrunk during the run is set back at once and stays so (no
# endless resizing); and where the display cannot show 66 x 24 cells, with no hive named, the size
# message and exit code 8 (nothing could be checked). Sizes are read from the window in pixels. Skips when Xvfb, xdotool or
# Wine is missing.
# Usage: wineconsole_test.sh <TarvosD.exe> <native tarvos-sample-hive>
set -u
exe=$(realpath "$1")
make_hive=$2
for tool in Xvfb xdotool wine wineconsole wineserver; do
  command -v "$tool" >/dev/null || { echo "ok   skipped: no $tool"; exit 0; }
done
work=$(mktemp -d)
xvfb=
export WINEDEBUG=-all WINEPREFIX="$work/prefix"
stop_display() {
  if [ -n "$xvfb" ]; then kill "$xvfb" 2>/dev/null; wait "$xvfb" 2>/dev/null; fi
  xvfb=
}
trap 'wineserver -k 2>/dev/null; stop_display; rm -rf "$work"' EXIT
. "$(dirname "$0")/../support/checks.sh"

start_display() {  # start_display <width>x<height>: a display of that size of its own
  rm -f "$work/display"
  Xvfb -displayfd 3 -nolisten tcp -screen 0 "$1x24" 3>"$work/display" 2>/dev/null &
  xvfb=$!
  for ((i = 0; i < 100; i++)); do [ -s "$work/display" ] && break; sleep 0.1; done
  export DISPLAY=":$(head -n1 "$work/display")"
}
window() {  # window <title> [seconds]: the id of the console window of that title, once it shows
  for ((i = 0; i < ${2:-60} * 5; i++)); do
    xdotool search --name "^$1\$" 2>/dev/null | head -n1 | grep . && return 0
    sleep 0.2
  done
  return 1
}
titled() { window "$@" >/dev/null; }  # titled <title> [seconds]: it shows
size() { xdotool getwindowgeometry "$1" 2>/dev/null | sed -n 's/.*Geometry: //p'; }
sized() {  # sized <window> <width>x<height>: the window has that size now
  [ -n "$2" ] && [ "$(size "$1")" = "$2" ]
}
ticks() { awk '{print $14 + $15}' "/proc/$1/stat"; }
idle() {  # idle <pid> <seconds>: the process uses under a twentieth of a processor meanwhile
  local spent
  [ -n "$1" ] && spent=$(ticks "$1") || return 1
  sleep "$2"
  test $(($(ticks "$1") - spent)) -lt $(($(getconf CLK_TCK) * $2 / 20))
}
bat() {  # bat <file> <lines...>: a batch file with CR LF line ends
  local file=$1; shift
  printf '%s\r\n' "@echo off" "$@" >"$file"
}

# A prefix of its own, its console windows 60 x 20 cells over a buffer of 60 x 150, made without
# a display so that no installer window waits for an answer.
(unset DISPLAY; WINEDLLOVERRIDES="mscoree,mshtml=" wine reg add 'HKCU\Console' /v WindowSize /t REG_DWORD \
  /d 0x0014003c /f >/dev/null 2>&1 &&
  wine reg add 'HKCU\Console' /v ScreenBufferSize /t REG_DWORD /d 0x0096003c /f >/dev/null 2>&1
  # The desktop process started here has no display; the console windows need one of their own.
  wineserver -w)
"$make_hive" --several "$work/HIVE"

# A display large enough: the window is grown for the run and set back when resized during it.
start_display 1024x768
# A blank before ">": cmd takes a digit just before it (an exit code of 4 or 8) for a handle.
bat "$work/run.bat" "title USER-TITLE" "pause >nul" "$(winpath "$exe") $(winpath "$work/HIVE")" \
  "echo %ERRORLEVEL% >$(winpath "$work/code")" ":wait" "if not exist $(winpath "$work/done") goto wait"
timeout 300 wineconsole cmd /c "$(winpath "$work/run.bat")" >/dev/null 2>&1 &
console=$!
win=$(window USER-TITLE 120)
check "Wine's console window opens with the user's title" test -n "$win"
sleep 1
before=$(size "$win")
xdotool mousemove --window "$win" 5 5 click 1 2>/dev/null
xdotool key --window "$win" Return 2>/dev/null
check "the title is the program's while it runs" titled Castellan 60
sleep 2
during=$(size "$win")
# Cells are 16 pixels high or so: 20 rows grown to 24 make the window 24/20 as high.
check "a window of 60 x 20 is grown to 66 x 24 for the run ($before, then $during)" \
  test "$((${during#*x} * 20))" -eq "$((${before#*x} * 24))" -a "${during%x*}" -gt "${before%x*}"
pid=$(pgrep -n -f "TarvosD\.exe .*$(basename "$work")")
for change in "+160 +128 enlarged" "-160 -128 shrunk" "+160 -64 made wider and lower"; do
  set -- $change
  xdotool windowsize "$win" $((${during%x*} $1)) $((${during#*x} $2)) 2>/dev/null
  sleep 2
  check "${change#* * } during the run, the window is set back ($(size "$win"))" sized "$win" "$during"
done
check "and stays so, without resizing over and over" idle "$pid" 2
xdotool mousemove --window "$win" 5 5 click 1 2>/dev/null
xdotool key --window "$win" s 2>/dev/null
for ((i = 0; i < 30; i++)); do
  [ -s "$work/code" ] && break
  sleep 1
  xdotool key --window "$win" Return 2>/dev/null
done
check "stopped at a fault, the run ends with 4" test "$(tr -d '\r\n ' <"$work/code" 2>/dev/null)" = 4
check "the user's title is back" titled USER-TITLE 10
sleep 1
check "and the window's size ($(size "$win"), $before before the run)" sized "$win" "$before"
touch "$work/done"
wait "$console" 2>/dev/null
wineserver -w  # the desktop process goes with its display
stop_display

# A display too small for 66 x 24 cells, no hive named: the message, and 8.
start_display 480x320
bat "$work/small.bat" "$(winpath "$exe") >$(winpath "$work/out") 2>$(winpath "$work/err")" \
  "echo %ERRORLEVEL% >$(winpath "$work/small-code")"
timeout 120 wineconsole cmd /c "$(winpath "$work/small.bat")" >/dev/null 2>&1
check "too small for the full screen: the run ends with 8" test "$(tr -d '\r\n ' <"$work/small-code" 2>/dev/null)" = 8
check "saying so on standard output" test "$(cat "$work/out" 2>/dev/null)" = $'Console screen is too small\r'
check "and on standard error, with the size needed and found ($(cat "$work/err" 2>/dev/null))" \
  grep -qE '^TarvosD: the console screen is too small: 66 x 24 needed, [0-9]+ x [0-9]+ found; /t runs in line mode$' \
  "$work/err"

echo "$failures failure(s)"
test "$failures" -eq 0
