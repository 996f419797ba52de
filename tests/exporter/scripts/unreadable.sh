# shellcheck shell=bash
# Sourced by the exporter's deployment checks. check_unreadable METRICS:
# the scrape's gpuproc_exporter_unreadable_processes is no more than the
# processes whose fd links root itself is refused here (a sandbox's own
# init may refuse even root; a confined exporter that is blind shows many
# more), and every process of another user holding files is seen.
refused_by_root() {
  local count=0 pid out
  for pid in /proc/[0-9]*; do
    out=$(ls -l "$pid/fd" 2>&1 >/dev/null)
    case $out in *"Permission denied"* | *"Operation not permitted"*) count=$((count + 1)) ;; esac
  done
  echo "$count"
}

check_unreadable() {
  local got allowed
  got=$(sed -n 's/^gpuproc_exporter_unreadable_processes //p' <<<"$1")
  allowed=$(refused_by_root)
  if [ -z "$got" ] || [ "$got" -gt "$allowed" ]; then
    echo "FAIL: gpuproc_exporter_unreadable_processes '${got:-missing}', root is refused $allowed" >&2
    return 1
  fi
  echo "unreadable processes: $got (root itself is refused $allowed here)"
}
