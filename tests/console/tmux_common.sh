# What the full-screen scripts share: a private tmux server, checks, and a pane to read.
# Sourced; sets work, server, failures. start <columns> <rows> <command> runs the command in a new
# pane, between a marker line and the terminal's modes written before and after.
work=$(mktemp -d)
server="tarvos-$(basename "$0" .sh)-$$"
trap 'tmux -L "$server" kill-server 2>/dev/null; rm -rf "$work"' EXIT
. "$(dirname "$0")/../support/checks.sh"
command -v tmux >/dev/null || { echo "ok   skipped: no tmux"; exit 0; }

pane() { tmux -L "$server" capture-pane -p "$@" 2>/dev/null; }
keys() { tmux -L "$server" send-keys "$@"; }
wait_for() {  # wait_for <text> [seconds]: until the pane shows it (10 s by default)
  local i
  for ((i = 0; i < ${2:-10} * 10; i++)); do pane | grep -qF -- "$1" && return 0; sleep 0.1; done
  return 1
}
start() {
  tmux -L "$server" kill-server 2>/dev/null
  sleep 0.2
  tmux -L "$server" -f /dev/null new-session -d -x "$1" -y "$2" \
    "printf 'BEFORE-THE-RUN\n'; stty -a >$work/before; $3; echo EXIT=\$?; stty -a >$work/after; sleep 60"
}
# frames_in_place <columns>: every row of the pane fits the screen's width, counted in display
# cells (a wide character two, a combining mark none), and every window's frame is upright: the
# cells below a top corner, at the same display column, are frame or scroll bar down to the
# bottom corner.
frames_in_place() {
  pane | python3 -c '
import sys, unicodedata
width = int(sys.argv[1])
def cells(line):
    out = []
    for ch in line:
        if unicodedata.combining(ch) and out:
            out[-1] += ch
            continue
        out.append(ch)
        if unicodedata.east_asian_width(ch) in "WF":
            out.append("")
    return out
rows = [cells(line) for line in sys.stdin.read().split("\n")]
bad = [y for y, row in enumerate(rows) if len(row) > width]
scroll = set("↑↓░▓")
corners = {"╔": (set("║╟"), "╚"), "╗": (set("║╢") | scroll, "╝"), "┌": (set("│"), "└"), "┐": (set("│") | scroll, "┘")}
for y, row in enumerate(rows):
    for x, ch in enumerate(row):
        if ch not in corners:
            continue
        wanted, bottom = corners[ch]
        for below in range(y + 1, len(rows)):
            got = rows[below][x] if x < len(rows[below]) else " "
            if got == bottom:
                break
            if got not in wanted:
                bad.append(below)
                break
        else:
            bad.append(y)
if bad:
    print("rows out of place:", sorted(set(bad)))
    sys.exit(1)
' "$1"
}
