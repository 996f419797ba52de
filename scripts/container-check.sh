#!/usr/bin/env bash
# scripts/container-check.sh: builds the exporter's container image from
# exporter/Dockerfile with podman, as it stands, runs it over a
# recorded tree mounted where the host's /proc, /sys and kubelet log folders
# would be, scrapes it, and prints how long each step took.
#
# The base image named by the Dockerfile's FROM is made here with
# debuerreotype from the Debian mirror apt uses, so no registry is needed;
# it stays in podman's store and later runs reuse it (and the build cache).
# GPUPROC_CONTAINER_STATE: where the podman configuration is written
# (default /var/tmp/gpuproc-container).
set -euo pipefail
cd "$(dirname "$0")/.."
start=$SECONDS
scripts/ensure-packages.sh podman runc debuerreotype debootstrap wget curl python3

state=${GPUPROC_CONTAINER_STATE:-/var/tmp/gpuproc-container}
mkdir -p "$state"
# podman's defaults that fail on a CI machine: it asks for 1,048,576 open
# files and as many processes as root may have (setrlimit fails above the
# machine's hard limits), and crun 1.8 refuses a hybrid cgroup layout where
# runc works. cgroupfs and a file event log need no systemd as PID 1.
below() {  # below HARD_LIMIT: 4096, or the hard limit where that is lower
  if [ "$1" = unlimited ] || [ "$1" -ge 4096 ]; then echo 4096; else echo "$1"; fi
}
files=$(below "$(ulimit -Hn)") processes=$(below "$(ulimit -Hu)")
cat >"$state/containers.conf" <<EOF
[containers]
default_ulimits = ["nofile=$files:$files", "nproc=$processes:$processes"]
[engine]
runtime = "runc"
cgroup_manager = "cgroupfs"
events_logger = "file"
EOF
export CONTAINERS_CONF=$state/containers.conf

dockerfile=exporter/Dockerfile
base=$(awk 'toupper($1) == "FROM" { print $2; exit }' "$dockerfile")
case $base in */*) ;; *) base=docker.io/library/$base ;; esac
if podman image exists "$base"; then
  echo "base image $base: kept from an earlier run"
else
  step=$SECONDS
  scratch=$(mktemp -d)
  trap 'rm -rf "$scratch"' EXIT
  # Debian 12 from the mirror and suites apt uses on this machine.
  mirror=$(apt-get indextargets --format '$(REPO_URI) $(RELEASE)' | awk '$2 == "bookworm" { print $1; exit }')
  [ -n "$mirror" ] || { echo "no bookworm mirror in apt's sources" >&2; exit 1; }
  mirror=${mirror%/} # debuerreotype appends "/dists/...", and a mirror may refuse "//"
  debuerreotype-init --non-debian "$scratch/rootfs" bookworm "$mirror" >"$scratch/init.log" 2>&1 ||
    { tail -20 "$scratch/init.log" >&2; exit 1; }
  debuerreotype-minimizing-config "$scratch/rootfs"
  apt-get indextargets --format '$(REPO_URI) $(RELEASE)' | sort -u |
    awk '$2 ~ /^bookworm/ { print "deb " $1 " " $2 " main" }' >"$scratch/rootfs/etc/apt/sources.list"
  debuerreotype-apt-get "$scratch/rootfs" update -qq
  debuerreotype-apt-get "$scratch/rootfs" dist-upgrade -yqq >/dev/null 2>&1
  debuerreotype-slimify "$scratch/rootfs"
  debuerreotype-tar "$scratch/rootfs" "$scratch/rootfs.tar"
  podman import -q "$scratch/rootfs.tar" "$base" >/dev/null
  echo "base image $base: made with debuerreotype from $mirror in $((SECONDS - step)) s," \
    "$(podman image inspect --format '{{.Size}}' "$base" | awk '{ printf "%d MB", $1 / 1e6 }')"
fi

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
trap 'stop; rm -rf "${scratch:-}"' EXIT
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
