#!/usr/bin/env bash
# scripts/package-check.sh: builds the Debian packages from a clean clone of
# HEAD (dpkg-buildpackage -b), runs lintian on them (no error or warning may
# show), installs them into a clean Debian 12 container (podman: the base
# image of scripts/podman-base.sh with the checks' tools added, made once),
# checks what each one gives, purges them and checks that nothing of theirs
# is left; prints their sizes.
#   package-check.sh [--keep-image IMAGE]: also keep the clean container
#   with the packages installed as IMAGE, for checks that boot it (the
#   exporter's deployment checks in .ci/run), so the packages are built once.
set -euo pipefail
cd "$(dirname "$0")/.."
keep_image=""
if [ "${1:-}" = --keep-image ]; then keep_image=${2:?--keep-image IMAGE}; fi
start=$SECONDS
# Debian's tools only: a Python or pkg-config earlier on PATH is not the
# one the packages are built for.
export PATH=/usr/sbin:/usr/bin:/sbin:/bin
scripts/ensure-packages.sh git dpkg-dev debhelper devscripts lintian dh-python fakeroot
. scripts/podman-base.sh
ensure_base_image

scratch=$(mktemp -d)
name=gpuproc-packages-$$
cleanup() {
  podman rm -f -t 1 "$name" >/dev/null 2>&1 || true
  podman rmi -f "localhost/$name" >/dev/null 2>&1 || true
  rm -rf "$scratch"
}
trap cleanup EXIT
step=$SECONDS
git clone -q "$PWD" "$scratch/gpuproc"
commit=$(git -C "$scratch/gpuproc" rev-parse --short HEAD)
cd "$scratch/gpuproc"
unmet=$(dpkg-checkbuilddeps 2>&1 | sed -n 's/.*Unmet build dependencies: //p' | sed 's/([^)]*)//g')
# shellcheck disable=SC2086 # one package name a word
[ -z "$unmet" ] || "$OLDPWD/scripts/ensure-packages.sh" $unmet
dpkg-buildpackage -b -us -uc -j"$(nproc)" >"$scratch/build.log" 2>&1 ||
  { tail -40 "$scratch/build.log" >&2; exit 1; }
cd "$OLDPWD"
version=$(dpkg-parsechangelog -l "$scratch/gpuproc/debian/changelog" -S Version)
echo "packages $version built from a clean clone of $commit in $((SECONDS - step)) s"
status=0
lintian --fail-on error,warning "$scratch"/*.changes >"$scratch/lintian.log" 2>&1 || status=$?
grep -v '^running with root' "$scratch/lintian.log" || true
[ "$status" = 0 ] || { echo "lintian: the faults above" >&2; exit 1; }
echo "lintian: no errors or warnings"

mkdir "$scratch/debs"
packages=(libgpuproc0 libgpuproc-dev gpuproc gpuproc-exporter python3-gpuproc)
for package in "${packages[@]}"; do cp "$scratch/${package}_${version}"_*.deb "$scratch/debs/"; done

# Run inside the container: "install" from the archive and the packages,
# then every check that needs the archive's network; "purge" without a
# network, where the exporter's port is its own.
cat >"$scratch/check.sh" <<'INSIDE'
set -euo pipefail
export DEBIAN_FRONTEND=noninteractive
packages=(libgpuproc0 libgpuproc-dev gpuproc gpuproc-exporter python3-gpuproc)
quiet() { "$@" >/tmp/apt.log 2>&1 || { cat /tmp/apt.log >&2; return 1; }; }
# A throwaway container: dpkg need not sync every file it writes.
unsafe=(-o Dpkg::Options::=--force-unsafe-io)
if [ "$1" = tools ]; then
  # What the checks use: a C compiler, pkg-config, systemd-analyze, curl.
  quiet apt-get update
  quiet apt-get install -y "${unsafe[@]}" --no-install-recommends gcc libc6-dev pkg-config systemd curl
  apt-get clean
elif [ "$1" = install ]; then
  quiet apt-get update
  quiet apt-get install -y "${unsafe[@]}" /debs/*.deb
  gpuproc --version
  gpuproc-exporter --version
  python3 -c 'import gpuproc; print("python3 gpuproc", gpuproc.__version__, "read", len(gpuproc.get_all_gpu_data()), "records")'
  if dpkg -L python3-gpuproc | grep '\.so'; then echo "python3-gpuproc carries a library" >&2; exit 1; fi
  [ "$(pkg-config --modversion gpuproc)" = "$VERSION" ]
  printf '%s\n' '#include <gpuproc/gpuproc.h>' '#include <stdio.h>' \
    'int main(void) { const char* all = GetGPUDataForAllProcesses(); return !(all && puts(all) >= 0); }' >/tmp/app.c
  cc -Wall -Werror -o /tmp/app /tmp/app.c $(pkg-config --cflags --libs gpuproc)
  echo "C program against libgpuproc-dev: $(/tmp/app | head -c 60)"
  unit=/lib/systemd/system/gpuproc-exporter.service
  output=$(systemd-analyze verify "$unit" 2>&1) && [ -z "$output" ] || { echo "$output" >&2; exit 1; }
  [ "$(systemctl is-enabled gpuproc-exporter)" = enabled ]
  echo "unit verified, enabled"
else
  # The unit's command line with the default file's flags, on loopback only.
  . /etc/default/gpuproc-exporter
  gpuproc-exporter $ARGS 2>/tmp/exporter.log &
  exporter=$!
  for _ in $(seq 50); do curl -sf http://127.0.0.1:10436/metrics >/tmp/metrics && break; sleep 0.2; done
  listening=$(awk '$4 == "0A" { print $2 }' /proc/net/tcp /proc/net/tcp6)
  kill "$exporter"
  [ -s /tmp/metrics ] || { cat /tmp/exporter.log >&2; exit 1; }
  [ "$listening" = 0100007F:28C4 ] || { echo "listening on: $listening" >&2; exit 1; }
  echo "exporter with /etc/default/gpuproc-exporter: 127.0.0.1:10436 only, $(wc -l </tmp/metrics) lines of metrics"
  quiet apt-get purge -y "${unsafe[@]}" --autoremove "${packages[@]}"
  left=$(dpkg-query -W -f '${db:Status-Abbrev} ${Package}\n' | grep gpuproc || true)
  left+=$(find / -xdev \( -path /proc -o -path /sys -o -path /debs \) -prune -o -iname '*gpuproc*' -print)
  [ -z "$left" ] || { echo "left after purge:" >&2; echo "$left" >&2; exit 1; }
  echo "purged: nothing of the packages left"
fi
INSIDE
mounts=(-v "$scratch/debs:/debs:ro" -v "$scratch/check.sh:/check.sh:ro" -e "VERSION=$version")
# The base with the checks' tools and nothing of ours, made once and kept.
tools=localhost/gpuproc-package-check-tools:bookworm
if ! podman image exists "$tools"; then
  step=$SECONDS
  podman run --name "$name" --network host "${mounts[@]}" "$base_image" bash /check.sh tools
  podman commit -q "$name" "$tools" >/dev/null
  podman rm "$name" >/dev/null
  echo "image $tools: the base with the checks' tools, made in $((SECONDS - step)) s"
fi
step=$SECONDS
podman run --name "$name" --network host "${mounts[@]}" "$tools" bash /check.sh install
podman commit -q "$name" "localhost/$name" >/dev/null
[ -z "$keep_image" ] || podman tag "localhost/$name" "$keep_image"
podman run --rm --network none "${mounts[@]}" "localhost/$name" bash /check.sh purge
echo "installed, checked and purged in a clean container in $((SECONDS - step)) s"

echo "package                  .deb  installed"
for deb in "$scratch"/debs/*.deb; do
  printf '%-18s %7d KiB %7d KiB\n' "$(dpkg-deb -f "$deb" Package)" "$(($(stat -c %s "$deb") / 1024))" \
    "$(dpkg-deb -f "$deb" Installed-Size)"
done
echo "package check passed in $((SECONDS - start)) s"
