#!/usr/bin/env bash
# The command-line host on a live process, and its argument handling.
set -uo pipefail
host=$1
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
failures=0
expect() {  # expect WHAT STATUS STDOUT STDERR-PATTERN (empty: no stderr) -- ARGS...
  local what=$1 status=$2 stdout=$3 stderr=$4
  shift 5
  "$host" "$@" >"$scratch/out" 2>"$scratch/err"
  local got=$?
  local errorsOk=1
  if [ -z "$stderr" ]; then [ -s "$scratch/err" ] && errorsOk=0; else grep -qE "$stderr" "$scratch/err" || errorsOk=0; fi
  if [ "$got" != "$status" ] || [ "$(cat "$scratch/out"; echo .)" != "$stdout." ] || [ "$errorsOk" = 0 ]; then
    echo "FAIL $what: status $got, stdout [$(cat "$scratch/out")], stderr [$(cat "$scratch/err")]" >&2
    failures=$((failures + 1))
  fi
}
sleep 30 & live=$!
header="    PID NAME                    GPU DEDICATED  SHARED COMMITTED   3D OTHER"
# The library's report of each process, and their rows of the table: none.
expect "live process" 0 $'null\n' '' -- --json "$live"
expect "two processes" 0 $'null\nnull\n' '' -- --json "$live" $$
# Where this user is refused some process's fds (another user's, or a
# sandbox's init that refuses even root), the table says so.
note=''
for pid in /proc/[0-9]*; do
  case $(ls -l "$pid/fd" 2>&1 >/dev/null) in
    *"Permission denied"* | *"Operation not permitted"*) note='^showing only the processes this user may read' ;;
  esac
done
expect "live process's rows" 0 "$header"$'\n' "$note" -- "$live"
# Accepted as a process id, and told apart from a process without GPU use.
expect "largest id, no such process" 1 "" "^gpuproc: no process 4294967295$" -- 4294967295
expect "out of range" 2 "" "not a process id" -- 4294967296
expect "not a number" 2 "" "not a process id" -- 12x
expect "negative" 2 "" "not a process id" -- -5
# Without a process id: every GPU process, here of a machine without any.
mkdir "$scratch/proc"
HOST_PROC=$scratch/proc expect "nothing given" 0 "$header"$'\n' '' --
expect "help" 0 "$("$host" --help)"$'\n' '' -- --help
kill "$live" 2>/dev/null
[ "$failures" = 0 ] && echo "host checks passed"
exit "$failures"
