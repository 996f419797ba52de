#!/usr/bin/env bash
# The exporter in the DaemonSet's own security context
# (deploy/kubernetes/exporter/10-daemonset.yaml): the host's process table,
# user 0, every capability dropped but the ones the manifest adds,
# no_new_privs, the runtime's default seccomp profile, a read-only root and
# the host's /proc, /sys and kubelet log folders mounted read-only. A
# process of another user outside the container holds files open; the
# scrape must see it like every other process: no more unreadable
# processes than root itself is refused here.
#   check_daemonset_context.sh IMAGE   (an image with the built packages)
set -euo pipefail
image=$1
here=$(cd "$(dirname "$0")" && pwd)
cd "$here/../../.."
[ "$(id -u)" = 0 ] || { echo "skipped: needs root"; exit 77; }
[ -n "${CONTAINERS_CONF:-}" ] || . scripts/podman-base.sh >/dev/null
manifest=deploy/kubernetes/exporter/10-daemonset.yaml
# The capabilities the manifest adds, as podman takes them.
added=$(sed -n 's/^ *add: \[\(.*\)\]/\1/p' "$manifest" | tr -d '" ')
[ -n "$added" ] || { echo "no added capabilities in $manifest" >&2; exit 1; }
name=gpuproc-daemonset-$$
scratch=$(mktemp -d)
other=""
cleanup() {
  podman rm -f -t 1 "$name" >/dev/null 2>&1 || true
  [ -n "$other" ] && kill "$other" 2>/dev/null
  rm -rf "$scratch"
}
trap cleanup EXIT
mkdir -p "$scratch/pods" "$scratch/containers"
setpriv --reuid=65534 --regid=65534 --clear-groups sleep 600 7</etc/hostname &
other=$!
podman run -d --name "$name" --network none --pid host --user 0:0 \
  --cap-drop ALL --cap-add "$added" --security-opt no-new-privileges --read-only \
  -v /proc:/host/proc:ro -v /sys:/host/sys:ro \
  -v "$scratch/pods:/host/var/log/pods:ro" -v "$scratch/containers:/host/var/log/containers:ro" \
  -e HOST_PROC=/host/proc -e HOST_SYS=/host/sys "$image" \
  gpuproc-exporter --listen=127.0.0.1:10436 --kubelet.pod-logs-dir=/host/var/log/pods >/dev/null
metrics=""
for _ in $(seq 50); do
  metrics=$(podman exec "$name" curl -sf http://127.0.0.1:10436/metrics 2>/dev/null) && break
  sleep 0.2
done
status=0
if [ -z "$metrics" ]; then
  echo "FAIL: no scrape from the exporter in the DaemonSet's context:" >&2
  podman logs "$name" >&2 || true
  exit 1
fi
. "$here/unreadable.sh"
check_unreadable "$metrics" || status=1
# The container's first process is the network side: with CAP_SETPCAP it
# clears even its bounding set.
network=$(podman inspect --format '{{.State.Pid}}' "$name")
for want in "CapEff:	0000000000000000" "CapBnd:	0000000000000000" "Seccomp:	2"; do
  grep -qx "$want" "/proc/$network/status" || { echo "FAIL: network side: no '$want'" >&2; status=1; }
done
podman logs "$name" 2>&1 | grep -E 'reader \(process|Landlock|bounding' || true
[ "$status" = 0 ] && echo "DaemonSet context: capabilities $added, the other user's process seen"
exit "$status"
