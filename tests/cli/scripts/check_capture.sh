#!/usr/bin/env bash
# A tree captured by scripts/capture-gpu-tree.sh replays as the tree it was
# taken from: re-capture each recorded fixture and compare what the host
# reports on both.
set -uo pipefail
host=$1 capture=$2 fixtures=$3
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
failures=0
report() {  # report ROOT PID...
  local root=$1
  shift
  HOST_PROC=$root/proc HOST_SYS=$root/sys "$host" "$@" 2>&1
}
for tree in "$fixtures"/*/; do
  # Only the recorded trees (snapshots/ holds documents, not a tree).
  [ -d "$tree/proc" ] || continue
  name=$(basename "$tree")
  pids=$(ls "$tree/proc")
  HOST_PROC=$tree/proc HOST_SYS=$tree/sys "$capture" "$scratch/$name" >/dev/null || {
    echo "FAIL $name: capture failed" >&2
    failures=$((failures + 1))
    continue
  }
  # Every process is replayed, also those the capture left out (no DRM fds
  # or no readable fdinfo): they must give the same "null".
  # shellcheck disable=SC2086
  if [ "$(report "$tree" $pids)" != "$(report "$scratch/$name" $pids)" ]; then
    echo "FAIL $name: replay differs" >&2
    diff <(report "$tree" $pids) <(report "$scratch/$name" $pids) >&2
    failures=$((failures + 1))
  fi
  # The cgroup files (the exporter's container label) come along unchanged.
  for cgroup in "$tree"/proc/*/cgroup; do
    [ -e "$cgroup" ] || continue
    copy=$scratch/$name/proc/${cgroup#"$tree"/proc/}
    if ! cmp -s "$cgroup" "$copy"; then
      echo "FAIL $name: $copy differs from $cgroup" >&2
      failures=$((failures + 1))
    fi
  done
done
# One process named on the command line is captured even without DRM fds.
HOST_PROC=$fixtures/multi/proc HOST_SYS=$fixtures/multi/sys "$capture" "$scratch/one" 2002 >/dev/null
if [ ! -L "$scratch/one/proc/2002/exe" ] || [ -e "$scratch/one/proc/2000" ]; then
  echo "FAIL one process: wrong processes captured" >&2
  failures=$((failures + 1))
fi
[ "$failures" = 0 ] && echo "capture checks passed"
exit "$failures"
