#!/usr/bin/env bash
# The packaged unit as systemd starts it: IMAGE (Debian 12 with the built
# packages installed, as scripts/package-check.sh makes it) booted with
# systemd as PID 1 in a podman container. With a process of another user
# holding files open, gpuproc-exporter.service must be active, never
# restarted, and serve /metrics from its two processes: the reader, which
# sees every process, and the network side, which holds no capability and
# runs under seccomp.
#   check_unit_in_container.sh IMAGE
set -euo pipefail
image=$1
here=$(cd "$(dirname "$0")" && pwd)
cd "$here/../../.."
[ -n "${CONTAINERS_CONF:-}" ] || . scripts/podman-base.sh >/dev/null
name=gpuproc-unit-$$
trap 'podman rm -f -t 1 "$name" >/dev/null 2>&1 || true' EXIT
start=$SECONDS
# systemd sets up the unit's mount namespace (CAP_SYS_ADMIN) and can give
# it only the capabilities it holds itself, which podman leaves out by
# default.
podman run -d --name "$name" --network none --systemd=always --cap-add SYS_ADMIN,SYS_PTRACE,DAC_READ_SEARCH -v "$here:/checks:ro" "$image" \
  /lib/systemd/systemd >/dev/null
podman exec -i "$name" bash -s <<'INSIDE'
set -uo pipefail
. /checks/unreadable.sh
fail() { echo "FAIL: $*" >&2; journalctl -u gpuproc-exporter --no-pager | tail -20 >&2; exit 1; }
for _ in $(seq 100); do
  state=$(systemctl is-system-running 2>/dev/null) && break
  case $state in running | degraded) break ;; esac
  sleep 0.2
done
echo "systemd $(systemctl --version | sed -n '1s/systemd \([0-9]*\).*/\1/p') as PID 1: $state"
# Another user's process holding a file open, then the service restarted
# so that its first reading sees it too.
setpriv --reuid=65534 --regid=65534 --clear-groups sleep 600 7</etc/hostname &
systemctl restart gpuproc-exporter || true
metrics=""
for _ in $(seq 50); do
  metrics=$(curl -sf http://127.0.0.1:10436/metrics) && break
  sleep 0.2
done
active=$(systemctl is-active gpuproc-exporter || true)
restarts=$(systemctl show -p NRestarts --value gpuproc-exporter)
[ "$active" = active ] && [ "$restarts" = 0 ] || fail "gpuproc-exporter is $active after $restarts restarts"
[ -n "$metrics" ] || fail "no scrape from the active unit"
echo "gpuproc-exporter.service: active, $(grep -c '^gpuproc_' <<<"$metrics") samples on /metrics"
check_unreadable "$metrics" || fail "the reader is refused processes"
# (No procps in the image: /proc itself.)
network=$(systemctl show -p MainPID --value gpuproc-exporter)
exporters=$(grep -l $'^Name:\tgpuproc-exporte$' /proc/[0-9]*/status | cut -d/ -f3 | sort -n | tr '\n' ' ')
reader=$(grep -l $'^PPid:\t'"$network"'$' /proc/[0-9]*/status | cut -d/ -f3)
[ "$exporters" = "$network $reader " ] || fail "not the network side $network and its reader: $exporters"
for want in "CapEff:	0000000000000000" "CapPrm:	0000000000000000" "CapAmb:	0000000000000000" \
  "Seccomp:	2" "NoNewPrivs:	1"; do
  grep -qx "$want" "/proc/$network/status" || fail "network side: no '$want'"
done
# CAP_DAC_READ_SEARCH (2) and CAP_SYS_PTRACE (19).
grep -qx "CapEff:	0000000000080004" "/proc/$reader/status" || fail "reader: $(grep CapEff "/proc/$reader/status")"
grep -qx "Seccomp:	2" "/proc/$reader/status" || fail "reader: not under seccomp"
echo "network side $network: no capability, seccomp; reader $reader: the two capabilities, seccomp"
journalctl -u gpuproc-exporter --no-pager -o cat | grep 'reader (process' | tail -1
INSIDE
echo "unit check passed in $((SECONDS - start)) s"
