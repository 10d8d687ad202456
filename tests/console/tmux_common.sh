# What the full-screen scripts share: a private tmux server, checks, and a pane to read.
# Sourced; sets work, server, failures. start <columns> <rows> <command> runs the command in a new
# pane, between a marker line and the terminal's modes written before and after.
work=$(mktemp -d)
server="tarvos-$(basename "$0" .sh)-$$"
trap 'tmux -L "$server" kill-server 2>/dev/null; rm -rf "$work"' EXIT
failures=0
check() {
  local what=$1; shift
  if "$@"; then echo "ok   $what"; else echo "FAIL $what"; failures=$((failures + 1)); fi
}
command -v tmux >/dev/null || { echo "ok   skipped: no tmux"; exit 0; }

pane() { tmux -L "$server" capture-pane -p "$@" 2>/dev/null; }
keys() { tmux -L "$server" send-keys "$@"; }
wait_for() {  # wait_for <text> [seconds]: until the pane shows it (10 s by default)
  for ((i = 0; i < ${2:-10} * 10; i++)); do pane | grep -qF -- "$1" && return 0; sleep 0.1; done
  return 1
}
start() {
  tmux -L "$server" kill-server 2>/dev/null
  sleep 0.2
  tmux -L "$server" -f /dev/null new-session -d -x "$1" -y "$2" \
    "printf 'BEFORE-THE-RUN\n'; stty -a >$work/before; $3; echo EXIT=\$?; stty -a >$work/after; sleep 60"
}
