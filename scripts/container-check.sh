#!/usr/bin/env bash
# scripts/container-check.sh: builds the exporter's container image from
# exporter/Dockerfile with podman, as it stands, runs it over a
# recorded tree mounted where the host's /proc, /sys and kubelet log folders
# would be, scrapes it, and prints how long each step took.
#
# The base image named by the Dockerfile's FROM is made with debuerreotype
# (scripts/podman-base.sh); it stays in podman's store and later runs reuse
# it (and the build cache).
set -euo pipefail
cd "$(dirname "$0")/.."
start=$SECONDS
. scripts/podman-base.sh
ensure_base_image
dockerfile=exporter/Dockerfile

step=$SECONDS
image=localhost/gpuproc-exporter:ci
podman build -q --network host -f "$dockerfile" -t "$image" . >"$state/build.log" 2>&1 ||
  { tail -40 "$state/build.log" >&2; exit 1; }
version=$(sed -n 's/^project(gpuproc VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
labels=$(podman image inspect --format \
  '{{index .Labels "org.opencontainers.image.title"}} {{index .Labels "org.opencontainers.image.version"}}' \
  "$image")
if [ "$labels" != "gpuproc-exporter $version" ]; then
  echo "image labels '$labels', expected 'gpuproc-exporter $version'" >&2
  exit 1
fi
echo "image $image ($labels) built in $((SECONDS - step)) s," \
  "$(podman image inspect --format '{{.Size}}' "$image" | awk '{ printf "%d MB", $1 / 1e6 }')"

# The two-pod tree as the host: its /proc and /sys where HOST_PROC and
# HOST_SYS point, its kubelet log folders where the DaemonSet mounts them.
step=$SECONDS
tree=$PWD/tests/fixtures/pods
port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
name=gpuproc-ci-$$
podman run -d --name "$name" --network host --cap-add SYS_PTRACE \
  -v "$tree/proc:/host/proc:ro" -v "$tree/sys:/host/sys:ro" \
  -v "$tree/var/log/pods:/var/log/pods:ro" -v "$tree/var/log/containers:/var/log/containers:ro" \
  "$image" --listen "127.0.0.1:$port" >/dev/null
stop() { podman rm -f -t 2 "$name" >/dev/null 2>&1 || true; }
trap stop EXIT
metrics=""
for _ in $(seq 50); do
  metrics=$(curl -sf "http://127.0.0.1:$port/metrics") && break
  sleep 0.2
done
if ! grep -q '^gpuproc_pod_memory_dedicated_bytes{.*namespace="ml",pod="trainer-0"' <<<"$metrics" ||
  ! grep -q 'container="encoder".*namespace="ml".*pod="trainer-0"' <<<"$metrics"; then
  echo "the container's scrape lacks the tree's pod series:" >&2
  podman logs "$name" >&2 || true
  head -c 3000 <<<"$metrics" >&2
  exit 1
fi
echo "scrape answered by the container in $((SECONDS - step)) s:" \
  "$(grep -c '^gpuproc_process_' <<<"$metrics") process series," \
  "$(grep -c '^gpuproc_pod_' <<<"$metrics") pod series"
echo "container check passed in $((SECONDS - start)) s"
