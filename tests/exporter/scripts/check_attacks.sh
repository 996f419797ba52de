#!/usr/bin/env bash
# The exporter's two processes as an attacker who runs code in them finds
# them: a preloaded library (attack_preload.cpp) tries each row on a new
# thread of each process once it is confined, and this checks each row's
# outcome against the table below. Also checks what /proc shows of them:
# two processes, the network side without any capability and under a
# seccomp filter. Needs root: the target is a process of another user.
#   check_attacks.sh EXPORTER PRELOAD
set -uo pipefail
exporter=$1 preload=$2
[ "$(id -u)" = 0 ] || { echo "skipped: needs root"; exit 77; }
command -v setpriv >/dev/null && command -v curl >/dev/null || { echo "skipped: setpriv or curl missing"; exit 77; }

# Row: expected on the network side, in the reader (refused, done, or - for
# either). The reader holds CAP_SYS_PTRACE and CAP_DAC_READ_SEARCH to read
# other processes' fds: environ and /etc/shadow are within its reach by
# design, and the unit's InaccessiblePaths= hides the latter.
expected="create-file refused refused
io_uring refused refused
fsopen-open_tree refused refused
execve refused refused
memfd-execveat refused refused
connect-unix refused refused
connect-tcp refused refused
kill refused refused
fcntl-setown refused refused
chmod-chown-setxattr refused refused
bpf refused refused
perf_event_open refused refused
read-environ refused -
read-fd-link refused done
read-fdinfo refused done
read-shadow refused -
unshare refused refused
ptrace refused refused
write-mem refused refused"

scratch=$(mktemp -d)
chmod 755 "$scratch"
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null; done
  wait 2>/dev/null
  rm -rf "$scratch"
}
trap cleanup EXIT
touch "$scratch/root-owned"
mkdir -m 700 "$scratch/private"
# Another user's process holding fd 7 open.
setpriv --reuid=65534 --regid=65534 --clear-groups sleep 600 7</etc/hostname &
other=$!
pids+=("$other")
# A root-only unix socket and a TCP listener to connect to.
/usr/bin/python3 - "$scratch/private/socket" "$scratch/port" <<'PY' &
import socket, sys, time
u = socket.socket(socket.AF_UNIX); u.bind(sys.argv[1]); u.listen()
t = socket.socket(); t.bind(("127.0.0.1", 0)); t.listen()
open(sys.argv[2], "w").write(str(t.getsockname()[1]))
time.sleep(600)
PY
pids+=("$!")
for _ in $(seq 50); do [ -s "$scratch/port" ] && break; sleep 0.1; done
port=$(/usr/bin/python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')

GPUPROC_ATTACK="$other:7:$scratch:$scratch/private/socket:$(cat "$scratch/port")" LD_PRELOAD=$preload \
  "$exporter" --listen "127.0.0.1:$port" 2>"$scratch/log" &
exporter_pid=$!
pids+=("$exporter_pid")
for _ in $(seq 100); do
  [ "$(grep -c '^gpuproc-attack .* end$' "$scratch/log")" = 2 ] && break
  sleep 0.1
done
status=0
fail() { echo "FAIL: $*" >&2; status=1; }
metrics=$(curl -sf "http://127.0.0.1:$port/metrics") || fail "no scrape after the attacks"
. "$(dirname "$0")/unreadable.sh"
check_unreadable "$metrics" || status=1

while read -r row network reader; do
  for side in network reader; do
    want=${!side}
    got=$(sed -n "s/^gpuproc-attack $side $row //p" "$scratch/log")
    if [ -z "$got" ]; then
      fail "$side $row: no outcome"
    elif [ "$want" != - ] && [ "$got" != "$want" ]; then
      fail "$side $row: $got, expected $want"
    else
      printf '%-8s %-22s %s\n' "$side" "$row" "$got"
    fi
  done
done <<<"$expected"

# Two processes: this one (the network side) and its child, the reader.
reader_pid=$(pgrep -P "$exporter_pid" -x gpuproc-exporte || pgrep -P "$exporter_pid")
[ -n "$reader_pid" ] || fail "no reader process under $exporter_pid"
network_status=$(cat "/proc/$exporter_pid/status")
for want in "CapEff:	0000000000000000" "CapPrm:	0000000000000000" "CapBnd:	0000000000000000" \
  "CapAmb:	0000000000000000" "Seccomp:	2" "NoNewPrivs:	1"; do
  grep -qx "$want" <<<"$network_status" || fail "network side: no '$want'"
done
reader_caps=$(sed -n 's/^CapEff:\t//p' "/proc/$reader_pid/status")
# CAP_DAC_READ_SEARCH (2) and CAP_SYS_PTRACE (19).
[ "$reader_caps" = 0000000000080004 ] || fail "reader CapEff $reader_caps"
grep -qx "Seccomp:	2" "/proc/$reader_pid/status" || fail "reader not under seccomp"
if [ "$status" != 0 ]; then
  echo "exporter's log:" >&2
  grep -v '^gpuproc-attack' "$scratch/log" >&2
fi
[ "$status" = 0 ] && echo "every row as expected; network side CapEff/CapBnd 0, Seccomp 2"
exit "$status"
