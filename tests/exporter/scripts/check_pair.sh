#!/usr/bin/env bash
# The exporter's two processes end together and a stuck reader costs one
# scrape, not a hang: a stopped reader gives a scrape error within
# --reader.timeout, its answer serves again once it runs; a killed reader
# ends the network side (status 1, for systemd or the kubelet to restart
# the pair), and a killed network side ends the reader.
#   check_pair.sh EXPORTER
set -uo pipefail
exporter=$1
command -v curl >/dev/null || { echo "skipped: curl missing"; exit 77; }
scratch=$(mktemp -d)
network=""
cleanup() {
  [ -n "$network" ] && kill -9 "$network" 2>/dev/null
  pkill -9 -P "$$" 2>/dev/null
  rm -rf "$scratch"
}
trap cleanup EXIT
status=0
fail() { echo "FAIL: $*" >&2; status=1; }

start() {
  port=$(/usr/bin/python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
  "$exporter" --listen "127.0.0.1:$port" --reader.timeout 1 2>>"$scratch/log" &
  network=$!
  for _ in $(seq 100); do
    reader=$(pgrep -P "$network")
    [ -n "$reader" ] && grep -q "reader (process $reader) started" "$scratch/log" && return 0
    sleep 0.1
  done
  fail "the exporter did not start"
  cat "$scratch/log" >&2
  exit 1
}

# Waits up to 5 s for process $1 to be gone.
gone() {
  for _ in $(seq 50); do kill -0 "$1" 2>/dev/null || return 0; sleep 0.1; done
  return 1
}

errors() { sed -n 's/^gpuproc_scrape_errors_total //p' <<<"$1"; }

start
kill -STOP "$reader"
begin=$(date +%s%N)
stuck=$(curl -sf -m 10 "http://127.0.0.1:$port/metrics")
took=$((($(date +%s%N) - begin) / 1000000))
if [ "$(errors "$stuck")" != 1 ] || [ "$took" -gt 3000 ]; then
  fail "stopped reader: scrape errors '$(errors "$stuck")' after $took ms (expected 1 within about 1000 ms)"
else
  echo "stopped reader: a scrape error after $took ms"
fi
kill -CONT "$reader"
again=$(curl -sf -m 10 "http://127.0.0.1:$port/metrics")
[ "$(errors "$again")" = 1 ] && grep -q '^gpuproc_exporter_unreadable_processes ' <<<"$again" ||
  fail "resumed reader: no reading after it ran again: $(tail -3 <<<"$again")"
echo "resumed reader: its reading serves again"

kill -9 "$reader"
wait "$network"
code=$?
gone "$network" && [ "$code" = 1 ] || fail "killed reader: the network side went on (status $code)"
grep -q "the reader process exited" "$scratch/log" || fail "killed reader: no line says why"
echo "killed reader: the network side exited with status $code"

start
kill -9 "$network"
wait "$network" 2>/dev/null
gone "$reader" || fail "killed network side: the reader $reader went on"
echo "killed network side: the reader exited"
[ "$status" = 0 ] || cat "$scratch/log" >&2
exit "$status"
