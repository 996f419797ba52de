#!/usr/bin/env bash
# The command line's whole-machine modes on recorded trees, and its argument
# errors: check_cli.sh GPUPROC FIXTURES
set -uo pipefail
host=$1
fixtures=$(cd "$2" && pwd)
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
failures=0
fail() {
  echo "FAIL $1" >&2
  failures=$((failures + 1))
}
# run TREE ARGS...: stdout in $scratch/out, stderr in $scratch/err, status in $status
run() {
  local tree=$1
  shift
  HOST_PROC=$fixtures/$tree/proc HOST_SYS=$fixtures/$tree/sys "$host" "$@" >"$scratch/out" 2>"$scratch/err"
  status=$?
}
# same WHAT EXPECTED-STATUS EXPECTED-STDOUT: compares the last run; no stderr wanted
same() {
  if [ "$status" != "$2" ] || [ "$(cat "$scratch/out"; echo .)" != "$3." ] || [ -s "$scratch/err" ]; then
    fail "$1: status $status, stdout [$(cat "$scratch/out")], stderr [$(cat "$scratch/err")]"
  fi
}

header="    PID NAME                    GPU DEDICATED  SHARED COMMITTED   3D OTHER"
gpus="GPU NAME                              PCI     COMMITTED      FREE    POWER TEMP"
# Each GPU once, numbered in adapter order, named from the PCI ID database;
# the rows name their GPU by that number.
multi="$gpus
  0 Intel Corporation Raptor Lake-S ~ 00:02.0         -         -        -    -
  1 Advanced Micro Devices, Inc. [AM~ 03:00.0    1280.0    7168.0        -    -

$header
   2000 blender                 1       128.0     8.0     264.0   0% -
   2000 blender                 0         0.0    96.0     128.0   0% Copy 0%
"
run multi
same "table, sorted by dedicated memory" 0 "$multi"
run multi --all
same "--all is the default" 0 "$multi"
run amdgpu
# amdgpu's hwmon: its average power against its cap, the edge sensor.
same "one GPU, with its power and temperature" 0 "$gpus
  0 Advanced Micro Devices, Inc. [AM~ 03:00.0    2560.0   14336.0  87/203W  54C

$header
   1010 firefox                 0       512.0    40.0     816.0   0% Comp 0%
"
awk 'length > 79 { exit 1 }' "$scratch/out" || fail "a table line is longer than 79 characters"
# Without PCI ids in sysfs a GPU is named by its driver and address. The
# discrete one's power comes from an energy counter, known only from a second
# reading: its limit alone shows.
run i915
same "unreadable memory shows as -" 0 "$gpus
  0 i915 0000:00:02.0                 00:02.0         -         -        -    -
  1 i915 0000:03:00.0                 03:00.0         -         -   -/190W    -

$header
   1100 vkcube                  1       256.0    24.0     324.0   0% Comp 0%
   1101 glmark2                 0           -       -         -   0% Copy 0%
"
awk 'length > 79 { exit 1 }' "$scratch/out" || fail "a table line is longer than 79 characters"

amdgpu='[{"Adapter":"luid_0x00000000_0x00000300_phys_0","AdapterName":"Advanced Micro Devices, Inc. [AMD/ATI] Navi 21 [Radeon RX 6800/6800 XT / 6900 XT]","Engines":{"3D":0.0,"Compute":0.0,"VideoDecode":0.0},"GPUMemoryFree":14336.0,"GPUMemoryTotal":2560.0,"GPUProcessMemoryDedicatedUsage":512.0,"GPUProcessMemoryLocalUsage":512.0,"GPUProcessMemorySharedUsage":40.0,"GPUProcessMemoryTotalCommitted":816.0,"GPUUtilizationPercent":0.0,"Name":"firefox","ProcessID":1010}]'
run multi --json
same "--json: one record per (process, GPU) with its adapter, its name and engines" 0 '[{"Adapter":"luid_0x00000000_0x00000010_phys_0","AdapterName":"Intel Corporation Raptor Lake-S GT1 [UHD Graphics 770]","Engines":{"3D":0.0,"Copy":0.0,"VideoDecode":0.0,"VideoProcessing":0.0},"GPUMemoryFree":-9.5367431640625e-07,"GPUMemoryTotal":-9.5367431640625e-07,"GPUProcessMemoryDedicatedUsage":0.0,"GPUProcessMemoryLocalUsage":96.0,"GPUProcessMemorySharedUsage":96.0,"GPUProcessMemoryTotalCommitted":128.0,"GPUUtilizationPercent":0.0,"Name":"blender","ProcessID":2000},{"Adapter":"luid_0x00000000_0x00000300_phys_0","AdapterName":"Advanced Micro Devices, Inc. [AMD/ATI] Navi 21 [Radeon RX 6800/6800 XT / 6900 XT]","Engines":{"3D":0.0},"GPUMemoryFree":7168.0,"GPUMemoryTotal":1280.0,"GPUProcessMemoryDedicatedUsage":128.0,"GPUProcessMemoryLocalUsage":128.0,"GPUProcessMemorySharedUsage":8.0,"GPUProcessMemoryTotalCommitted":264.0,"GPUUtilizationPercent":0.0,"Name":"blender","ProcessID":2000}]
'
run amdgpu --jsonl
same "--jsonl" 0 "${amdgpu:1:${#amdgpu}-2}
"
run multi --jsonl --count 2 -n 0.1
[ "$status" = 0 ] && [ "$(wc -l <"$scratch/out")" = 4 ] &&
  [ "$(cut -c1-48 "$scratch/out" | sort | uniq -c | awk '{print $1}' | tr '\n' ' ')" = "2 2 " ] ||
  fail "--jsonl --count 2: one line per record and round: $(cat "$scratch/out")"
run multi --count 2 -n 0.1
same "repeated table into a pipe: one after another" 0 "$multi
$multi"
# --snapshot: the library's snapshot, one line per round, its clock moving on.
# Busy seconds are the tree's drm-engine-<class> nanoseconds, in the 100 ns units of
# "Running Time".
multi_snapshot='{"Time":T,"Adapters":[{"Adapter":"luid_0x00000000_0x00000010_phys_0","AdapterName":"Intel Corporation Raptor Lake-S GT1 [UHD Graphics 770]","Kind":"GPU","PciAddress":"0000:00:02.0","GPUMemoryTotal":null,"GPUMemoryFree":null,"PowerWatts":null,"PowerLimitWatts":null,"PowerScope":null,"EnergyJoules":null,"EnergySource":null,"IdleEnergyJoulesEstimate":null,"Temperatures":null,"SlowdownTemperatures":null,"Clocks":null,"FanRPM":null,"BusyPercent":null},{"Adapter":"luid_0x00000000_0x00000300_phys_0","AdapterName":"Advanced Micro Devices, Inc. [AMD/ATI] Navi 21 [Radeon RX 6800/6800 XT / 6900 XT]","Kind":"GPU","PciAddress":"0000:03:00.0","GPUMemoryTotal":1280.0,"GPUMemoryFree":7168.0,"PowerWatts":null,"PowerLimitWatts":null,"PowerScope":null,"EnergyJoules":null,"EnergySource":null,"IdleEnergyJoulesEstimate":null,"Temperatures":null,"SlowdownTemperatures":null,"Clocks":null,"FanRPM":null,"BusyPercent":null}],"Processes":[{"ProcessID":2000,"Name":"blender","Adapter":"luid_0x00000000_0x00000010_phys_0","GPUProcessMemoryDedicatedUsage":0.0,"GPUProcessMemorySharedUsage":96.0,"GPUProcessMemoryLocalUsage":96.0,"GPUProcessMemoryTotalCommitted":128.0,"EngineBusySeconds":{"3D":9.2888647,"Copy":2.0350711,"VideoDecode":0.0,"VideoProcessing":0.0},"EnergyJoulesEstimate":null,"Time":T},{"ProcessID":2000,"Name":"blender","Adapter":"luid_0x00000000_0x00000300_phys_0","GPUProcessMemoryDedicatedUsage":128.0,"GPUProcessMemorySharedUsage":8.0,"GPUProcessMemoryLocalUsage":128.0,"GPUProcessMemoryTotalCommitted":264.0,"EngineBusySeconds":{"3D":0.00512},"EnergyJoulesEstimate":null,"Time":T}],"UnreadableProcesses":0,"LostSources":[]}'
run multi --snapshot
[ "$status" = 0 ] && [ ! -s "$scratch/err" ] &&
  [ "$(sed -E 's/"Time":[0-9.e+]+/"Time":T/g' "$scratch/out")" = "$multi_snapshot" ] ||
  fail "--snapshot: status $status, stdout [$(cat "$scratch/out")], stderr [$(cat "$scratch/err")]"
run multi --snapshot --count 2 -n 0.1
times=$(grep -oE '^\{"Time":[0-9.e+]+' "$scratch/out" | cut -d: -f2 | tr '\n' ' ')
[ "$status" = 0 ] && [ "$(wc -l <"$scratch/out")" = 2 ] && awk -v t="$times" 'BEGIN { split(t, x, " "); exit !(x[2] > x[1]) }' ||
  fail "--snapshot -n: one line per round, later times: $(cat "$scratch/out")"
# After the first round utilisation comes from two snapshots: xe's cycle
# counters give no 100 ms figure ("-") but a busy time that did not move (0%).
run xe --count 2 -n 0.1
[ "$status" = 0 ] && [ "$(grep -E '^ +1200 ' "$scratch/out" | awk '{print $7}' | tr '\n' ' ')" = "- 0% " ] ||
  fail "-n rounds over snapshots: $(cat "$scratch/out")"
# On a terminal each round redraws the screen instead.
HOST_PROC=$fixtures/multi/proc HOST_SYS=$fixtures/multi/sys \
  script -qec "'$host' --count 2 -n 0.1" /dev/null >"$scratch/tty" 2>&1 </dev/null
[ "$(grep -c $'\x1b\\[H\x1b\\[2J' "$scratch/tty")" = 2 ] || fail "terminal redraw: $(cat -v "$scratch/tty")"

# A tree without GPU processes: an empty answer, which a terminal spells out.
mkdir -p "$scratch/idle/proc" "$scratch/idle/sys"
HOST_PROC=$scratch/idle/proc HOST_SYS=$scratch/idle/sys "$host" --json >"$scratch/out" 2>"$scratch/err"
status=$?
same "no GPU process" 0 "[]
"
# Why it is empty: no GPU device at all, or GPUs without processes; said in
# lines of at most 79 cells (joined here at their breaks).
while IFS='|' read -r sys line; do
  HOST_PROC=$scratch/idle/proc HOST_SYS=$sys script -qec "'$host'" /dev/null >"$scratch/tty" 2>&1 </dev/null
  [ "$(tr -d '\r' <"$scratch/tty" | sed 1d | paste -sd ' ')" = "$line" ] && grep -q '^    PID NAME ' "$scratch/tty" &&
    tr -d '\r' <"$scratch/tty" | awk 'length > 79 { exit 1 }' ||
    fail "empty table on a terminal: $(cat -v "$scratch/tty")"
done <<CASES
$scratch/idle/sys|no GPU device found (looked for DRM devices in $scratch/idle/sys/class/drm and NVIDIA's driver in $scratch/idle/sys/module/nvidia)
$fixtures/multi/sys|no process is using a GPU
CASES
run no-such-tree --json
[ "$status" = 1 ] && [ ! -s "$scratch/out" ] &&
  [ "$(cat "$scratch/err")" = "PdhOpenQuery: The HOST_PROC root $fixtures/no-such-tree/proc is not a readable directory: No such file or directory." ] ||
  fail "missing HOST_PROC: status $status, stderr [$(cat "$scratch/err")]"

# Output that cannot be written: status 1 and one line, except a reader that
# leaves while -n repeats, which ends the command quietly.
for arguments in "" --json --jsonl --snapshot 2000; do
  # shellcheck disable=SC2086
  HOST_PROC=$fixtures/multi/proc HOST_SYS=$fixtures/multi/sys "$host" $arguments >/dev/full 2>"$scratch/err"
  status=$?
  [ "$status" = 1 ] && [ "$(cat "$scratch/err")" = "gpuproc: cannot write the output: No space left on device" ] ||
    fail "gpuproc $arguments >/dev/full: status $status, stderr [$(cat "$scratch/err")]"
done
# The reader is gone before the 100 ms sample ends.
{ HOST_PROC=$fixtures/multi/proc HOST_SYS=$fixtures/multi/sys "$host" --json 2>"$scratch/err"; echo $? >"$scratch/status"; } | true
[ "$(cat "$scratch/status")" = 1 ] && [ "$(cat "$scratch/err")" = "gpuproc: cannot write the output: Broken pipe" ] ||
  fail "closed pipe: status $(cat "$scratch/status"), stderr [$(cat "$scratch/err")]"
{ HOST_PROC=$fixtures/multi/proc HOST_SYS=$fixtures/multi/sys timeout 60 "$host" --jsonl -n 0.1 2>"$scratch/err"; echo $? >"$scratch/status"; } | head -n 1 >/dev/null
[ "$(cat "$scratch/status")" = 0 ] && [ ! -s "$scratch/err" ] ||
  fail "closed pipe while following: status $(cat "$scratch/status"), stderr [$(cat "$scratch/err")]"
# A process that does not exist is not one without GPU use.
run multi 999999
[ "$status" = 1 ] && [ ! -s "$scratch/out" ] && [ "$(cat "$scratch/err")" = "gpuproc: no process 999999" ] ||
  fail "no such process: status $status, stdout [$(cat "$scratch/out")], stderr [$(cat "$scratch/err")]"

# Process ids: their rows of the table, with the GPUs they use named above;
# blender uses both GPUs of the multi tree, glmark2 one of the i915 tree's.
run multi 2000
same "gpuproc PID: the process's rows on both its GPUs" 0 "$multi"
run i915 1101 999999
[ "$status" = 1 ] && [ "$(cat "$scratch/err")" = "gpuproc: no process 999999" ] &&
  [ "$(cat "$scratch/out")" = "$gpus
  0 i915 0000:00:02.0                 00:02.0         -         -        -    -

$header
   1101 glmark2                 0           -       -         -   0% Copy 0%" ] ||
  fail "gpuproc PID PID: status $status, stdout [$(cat "$scratch/out")], stderr [$(cat "$scratch/err")]"
# --json PID: the library's own report of each, one JSON document each.
run multi --json 2000 2000
/usr/bin/python3 -c '
import json, sys
text, decoder, documents = sys.stdin.read(), json.JSONDecoder(), []
position = 0
while text[position:].strip():
    document, end = decoder.raw_decode(text, position + len(text[position:]) - len(text[position:].lstrip()))
    documents.append(document)
    position = end
assert text.endswith("]\n"), "no newline after the last document"
assert [[r["ProcessID"] for r in d] for d in documents] == [[2000, 2000], [2000, 2000]], documents
' <"$scratch/out" && [ "$status" = 0 ] && [ ! -s "$scratch/err" ] ||
  fail "--json PID PID: status $status, stdout [$(cat "$scratch/out")], stderr [$(cat "$scratch/err")]"

# Another user's process: its fd folder refuses to be listed. Root reads it
# whatever its mode, so the command runs without the capabilities that let it.
cp -a "$fixtures/multi" "$scratch/hidden"
chmod 000 "$scratch/hidden/proc/2001/fd"
as_user=()
[ "$(id -u)" = 0 ] && as_user=(setpriv --bounding-set -dac_override,-dac_read_search)
for arguments in "" --json; do
  # shellcheck disable=SC2086
  HOST_PROC=$scratch/hidden/proc HOST_SYS=$scratch/hidden/sys "${as_user[@]}" "$host" $arguments \
    >"$scratch/out" 2>"$scratch/err"
  note=$([ -z "$arguments" ] && echo "showing only the processes this user may read; run as root to see all")
  [ "$(cat "$scratch/err")" = "$note" ] && grep -q blender "$scratch/out" ||
    fail "hidden processes, gpuproc $arguments: stdout [$(cat "$scratch/out")], stderr [$(cat "$scratch/err")]"
done
chmod 700 "$scratch/hidden/proc/2001/fd"

# --help (and the man page made from it) names gpuproc top, in 80x24.
run multi --help
[ "$status" = 0 ] && grep -qE '^ +gpuproc top \[OPTIONS\] ' "$scratch/out" &&
  [ "$(wc -l <"$scratch/out")" -le 24 ] && awk 'length > 79 { exit 1 }' "$scratch/out" ||
  fail "--help: status $status, $(wc -lL <"$scratch/out") lines and columns: $(cat "$scratch/out")"
run multi --version
[ "$status" = 0 ] && grep -qE '^gpuproc [0-9]+\.[0-9]+\.[0-9]+$' "$scratch/out" || fail "--version"

# Bad arguments: status 2, a line on stderr, nothing on stdout.
while IFS='|' read -r what arguments pattern; do
  # shellcheck disable=SC2086
  run multi $arguments
  if [ "$status" != 2 ] || [ -s "$scratch/out" ] || ! grep -qE -- "$pattern" "$scratch/err"; then
    fail "$what: status $status, stderr [$(cat "$scratch/err")]"
  fi
done <<'CASES'
unknown option|--bogus|not expected
json and jsonl|--json --jsonl|exclude each other
snapshot and json|--snapshot --json|exclude each other
pid with jsonl|--jsonl 12|do not combine
pid with snapshot|--snapshot 12|do not combine
zero interval|-n 0|--interval: must be a number of seconds from 0.1 to 86400
interval below 0.1 s|-n 0.05|--interval: must be a number of seconds from 0.1 to 86400
interval above a day|-n 86401|--interval: must be a number of seconds from 0.1 to 86400
infinite interval|-n inf|--interval: must be a number of seconds from 0.1 to 86400
interval not a number|--interval soon|--interval: must be a number of seconds from 0.1 to 86400
count zero|--count 0|--count: must be a number above 0
count not a number|--count 2x|--count
interval without a value|-n|--interval
CASES

[ "$failures" = 0 ] && echo "command line checks passed"
exit "$failures"
