# shellcheck shell=bash
# scripts/podman-base.sh: sourced by the checks that use podman
# (container-check.sh, package-check.sh). Writes a podman configuration that
# works on a CI machine and exports CONTAINERS_CONF; sets base_image to the
# Debian 12 image exporter/Dockerfile starts FROM; ensure_base_image makes
# that image with debuerreotype from the Debian mirror apt uses, so no
# registry is needed, unless podman's store holds it from an earlier run.
# GPUPROC_CONTAINER_STATE: where the podman configuration is written
# (default /var/tmp/gpuproc-container).
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
cat >"$state/containers.conf" <<CONF
[containers]
default_ulimits = ["nofile=$files:$files", "nproc=$processes:$processes"]
[engine]
runtime = "runc"
cgroup_manager = "cgroupfs"
events_logger = "file"
CONF
export CONTAINERS_CONF=$state/containers.conf

base_image=$(awk 'toupper($1) == "FROM" { print $2; exit }' exporter/Dockerfile)
case $base_image in */*) ;; *) base_image=docker.io/library/$base_image ;; esac

ensure_base_image() {
  if podman image exists "$base_image"; then
    echo "base image $base_image: kept from an earlier run"
    return
  fi
  local step=$SECONDS rootfs mirror
  rootfs=$(mktemp -d)
  # Debian 12 from the mirror and suites apt uses on this machine.
  mirror=$(apt-get indextargets --format '$(REPO_URI) $(RELEASE)' | awk '$2 == "bookworm" { print $1; exit }')
  [ -n "$mirror" ] || { echo "no bookworm mirror in apt's sources" >&2; return 1; }
  mirror=${mirror%/} # debuerreotype appends "/dists/...", and a mirror may refuse "//"
  debuerreotype-init --non-debian "$rootfs/rootfs" bookworm "$mirror" >"$rootfs/init.log" 2>&1 ||
    { tail -20 "$rootfs/init.log" >&2; rm -rf "$rootfs"; return 1; }
  debuerreotype-minimizing-config "$rootfs/rootfs"
  apt-get indextargets --format '$(REPO_URI) $(RELEASE)' | sort -u |
    awk '$2 ~ /^bookworm/ { print "deb " $1 " " $2 " main" }' >"$rootfs/rootfs/etc/apt/sources.list"
  debuerreotype-apt-get "$rootfs/rootfs" update -qq
  debuerreotype-apt-get "$rootfs/rootfs" dist-upgrade -yqq >/dev/null 2>&1
  debuerreotype-slimify "$rootfs/rootfs"
  debuerreotype-tar "$rootfs/rootfs" "$rootfs/rootfs.tar"
  podman import -q "$rootfs/rootfs.tar" "$base_image" >/dev/null
  rm -rf "$rootfs"
  echo "base image $base_image: made with debuerreotype from $mirror in $((SECONDS - step)) s," \
    "$(podman image inspect --format '{{.Size}}' "$base_image" | awk '{ printf "%d MB", $1 / 1e6 }')"
}
