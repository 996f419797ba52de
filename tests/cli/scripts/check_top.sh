#!/usr/bin/env bash
# `gpuproc top` end to end in tmux over recorded trees: the first frame, keys
# (sort, filter, GPU, details, signal, quit), colours and NO_COLOR, the
# terminal restored on q, on SIGTERM and on the signals that end it abruptly
# (SIGQUIT, SIGABRT, SIGSEGV), and the refusal without a terminal.
#   check_top.sh GPUPROC FIXTURES
set -uo pipefail
host=$1
fixtures=$(cd "$2" && pwd)
command -v tmux >/dev/null || { echo "skipped: tmux is not installed (Debian: tmux)"; exit 77; }
scratch=$(mktemp -d)
socket="gpuproc-top-$$"
cleanup() {
  tmux -L "$socket" kill-server 2>/dev/null
  rm -rf "$scratch"
}
trap cleanup EXIT
# The pane stays after the command ends, so its last screen can be read.
printf 'set -g remain-on-exit on\nset -g status off\n' >"$scratch/tmux.conf"
failures=0
fail() {
  echo "FAIL $1" >&2
  [ -n "${2:-}" ] && printf '%s\n' "$2" >&2
  failures=$((failures + 1))
}

# start NAME WIDTH HEIGHT TREE [ENV...] -- ARGS...: gpuproc top in a new pane.
start() {
  local name=$1 width=$2 height=$3 tree=$4
  shift 4
  local environment=()
  while [ "$1" != "--" ]; do environment+=("$1"); shift; done
  shift
  local command
  command=$(printf '%q ' env LC_ALL=C.UTF-8 TERM=screen-256color "HOST_PROC=$fixtures/$tree/proc" \
    "HOST_SYS=$fixtures/$tree/sys" "${environment[@]}" "$host" top "$@")
  # The terminal's modes as the command left them, read on the same tty;
  # no core file from the signals that would write one.
  tmux -L "$socket" -f "$scratch/tmux.conf" new-session -d -s "$name" -x "$width" -y "$height" \
    "ulimit -c 0; $command; echo \$? >$scratch/$name.status; stty -a >$scratch/$name.stty"
}
screen() { tmux -L "$socket" capture-pane -p -t "$1" "${@:2}"; }
pane() { tmux -L "$socket" display-message -p -t "$1" "$2"; }
keys() { tmux -L "$socket" send-keys -t "$@"; }
# until NAME TEXT: waits up to 10 s for TEXT on the screen.
until_shown() {
  for _ in $(seq 100); do
    screen "$1" | grep -qF -- "$2" && return 0
    sleep 0.1
  done
  fail "$1: never showed [$2]" "$(screen "$1")"
  return 1
}
until_dead() {
  for _ in $(seq 100); do
    [ "$(pane "$1" '#{pane_dead}')" = 1 ] && return 0
    sleep 0.1
  done
  fail "$1: still running"
  return 1
}
has() { screen "$1" | grep -qF -- "$2" || fail "$1: no [$2] ($3)" "$(screen "$1")"; }
lacks() { ! screen "$1" | grep -qF -- "$2" || fail "$1: [$2] ($3)" "$(screen "$1")"; }

# The multi tree in the smallest screen: both GPUs by name, the rows, the keys.
start multi 80 24 multi --
until_shown multi "   2000 " && until_shown multi "F10Quit"
has multi "GPU 0 Intel Corporation Raptor Lake-S GT1 [UHD Graphics 770]" "first GPU"
has multi "GPU 1 Advanced Micro Devices, Inc. [AMD/ATI] Navi 21" "second GPU"
has multi "MEM [" "memory bar"
has multi "2 GPU processes, every 1 s, sorted by DEDICATED" "status line"
[ "$(screen multi | grep -c ' blender$')" = 2 ] || fail "multi: two blender rows" "$(screen multi)"
# Sort on the next column (SHARED): blender's Intel row, 96 MiB shared, first.
keys multi '>'
until_shown multi "sorted by SHARED"
screen multi | grep -A1 '^ *PID' | tail -1 | grep -q '^   2000 .*  0 .*96\.0' ||
  fail "multi: SHARED sorts the Intel row first" "$(screen multi)"
keys multi '\' b l e n Enter
until_shown multi 'filter "blen"'
keys multi g
until_shown multi "GPU 0 only"
lacks multi "GPU 1 Advanced" "only GPU 0's block"
keys multi Enter
until_shown multi "PROCESS 2000 blender"
has multi "Owner     4c1e2b7f9a3d" "the container id as owner"
keys multi Escape
until_shown multi "F10Quit"
# The recorded tree's process IDs are not this machine's.
keys multi k
until_shown multi "no signals: the process IDs under HOST_PROC are not this machine's"
screen multi -e | grep -q $'\e\\[3[0-7]m\|\e\\[3[0-9];' ||
  fail "multi: no colour sequence where colours are on" "$(screen multi -e | head -3 | od -c | head)"
keys multi q
until_dead multi
[ "$(cat "$scratch/multi.status")" = 0 ] || fail "multi: exit status $(cat "$scratch/multi.status") on q"
[ "$(pane multi '#{alternate_on}')" = 0 ] || fail "multi: still on the alternate screen after q"

# NO_COLOR: attributes, never a colour, not even a forced one (39 and 49
# are tmux's own resets to the default colours).
start plain 80 24 multi NO_COLOR=1 --
until_shown plain "F10Quit"
if screen plain -e | grep -q $'\e\\[\\([0-9;]*;\\)\\?\\(3[0-8]\\|4[0-8]\\|9[0-7]\\|10[0-7]\\)\\(;[0-9;]*\\)\\?m'; then
  fail "NO_COLOR: colour sequences" "$(screen plain -e | grep -o $'\e\\[[0-9;]*m' | sort -u | tr '\n' ' ')"
fi
# SIGTERM restores the terminal and ends the command as the signal does.
kill -TERM $(cat "/proc/$(pane plain '#{pane_pid}')/task/$(pane plain '#{pane_pid}')/children")
until_dead plain
[ "$(pane plain '#{alternate_on}')" = 0 ] || fail "SIGTERM: still on the alternate screen"
[ "$(cat "$scratch/plain.status")" = 143 ] || fail "SIGTERM: status $(cat "$scratch/plain.status")"

# Ctrl-\, an abort or a crash: the terminal back in line mode with echo,
# off the alternate screen, and the command ended by the signal.
while read -r signal status; do
  start "$signal" 80 24 multi --
  until_shown "$signal" "F10Quit" || continue
  kill "-$signal" $(cat "/proc/$(pane "$signal" '#{pane_pid}')/task/$(pane "$signal" '#{pane_pid}')/children")
  until_dead "$signal" || continue
  for _ in $(seq 50); do [ -s "$scratch/$signal.stty" ] && break; sleep 0.1; done
  [ "$(cat "$scratch/$signal.status")" = "$status" ] || fail "$signal: status $(cat "$scratch/$signal.status")"
  [ "$(pane "$signal" '#{alternate_on}')" = 0 ] || fail "$signal: still on the alternate screen"
  grep -qE '(^| )icanon( |$)' "$scratch/$signal.stty" && grep -qE '(^| )echo( |$)' "$scratch/$signal.stty" ||
    fail "$signal: terminal not in line mode with echo" "$(cat "$scratch/$signal.stty")"
done <<'SIGNALS'
QUIT 131
ABRT 134
SEGV 139
SIGNALS

# The pods tree: namespace/pod owners, with the container where it fits.
start pods 80 24 pods -- --kubelet.pod-logs-dir "$fixtures/pods/var/log/pods"
until_shown pods "   3000 "
has pods "ml/trainer-0 " "namespace/pod at 80 columns"
has pods "video/render-0 " "namespace/pod at 80 columns"
tmux -L "$socket" resize-window -t pods -x 132 -y 30
until_shown pods "ml/trainer-0/encoder"
has pods "COMMAND" "the command line column once the screen is wide"
keys pods F10
until_dead pods

# A machine without any GPU device says so, as the command's table does,
# wrapped within 79 columns of the 80.
mkdir -p "$scratch/idle/proc" "$scratch/idle/sys"
start idle 80 24 multi "HOST_PROC=$scratch/idle/proc" "HOST_SYS=$scratch/idle/sys" --
until_shown idle "no GPU device found"
why="no GPU device found (looked for DRM devices in $scratch/idle/sys/class/drm and NVIDIA's driver in $scratch/idle/sys/module/nvidia)"
[ "$(screen idle | sed -n '/^ *PID USER/,/^$/p' | sed '1d;/^$/d' | paste -sd ' ')" = "$why" ] ||
  fail "idle: not the whole reason under the header" "$(screen idle)"
screen idle | awk 'length > 79 { exit 1 }' || fail "idle: a line past 79 columns" "$(screen idle)"
keys idle q
until_dead idle

# Without a terminal, or on a dumb one: one line and status 2.
expected="gpuproc top needs a terminal; gpuproc -n SECONDS repeats the table"
HOST_PROC=$fixtures/multi/proc "$host" top </dev/null >"$scratch/out" 2>"$scratch/err"
status=$?
[ "$status" = 2 ] && [ "$(cat "$scratch/err")" = "$expected" ] && [ ! -s "$scratch/out" ] ||
  fail "not a terminal: status $status, stderr [$(cat "$scratch/err")]"
TERM=dumb script -qec "'$host' top" /dev/null >"$scratch/out" 2>&1 </dev/null
status=$?
[ "$status" = 2 ] && grep -qF "$expected" "$scratch/out" ||
  fail "TERM=dumb: status $status, output [$(cat "$scratch/out")]"
"$host" top -d 0.05 >/dev/null 2>"$scratch/err"
[ $? = 2 ] || fail "-d 0.05: not refused ($(cat "$scratch/err"))"

[ "$failures" = 0 ] && echo "all passed"
exit $((failures > 0))
