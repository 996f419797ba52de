#!/usr/bin/env bash
# check_csharp.sh LIBRARY PAGE EXAMPLES FIXTURES: the C# example of the PAGE
# (docs/library.md) is examples/csharp/GpuProc.cs to the byte; compiled with
# Mono's mcs and run with mono against the built library on the recorded
# amdgpu machine, each of its three calls answers process 1010's record; over
# a stand-in library that answers the empty text, each call throws
# GpuProcException. Skipped (77) without mcs, mono or cc.
set -uo pipefail
library=$1 page=$2 examples=$3 fixtures=$4
command -v mcs >/dev/null && command -v mono >/dev/null && command -v cc >/dev/null ||
  { echo "skipped: no mcs, mono or cc"; exit 77; }
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

awk '/^```csharp$/ {inBlock = 1; next} inBlock && /^```$/ {exit} inBlock' "$page" >"$scratch/page.cs"
if ! cmp -s "$scratch/page.cs" "$examples/csharp/GpuProc.cs"; then
  echo "FAIL: the C# block of $page differs from examples/csharp/GpuProc.cs:" >&2
  diff "$scratch/page.cs" "$examples/csharp/GpuProc.cs" >&2
  exit 1
fi
mcs -warnaserror -out:"$scratch/example.exe" "$examples/csharp/GpuProc.cs" \
  "$examples/csharp/Example.cs" || exit 1

# runExample LIBRARY-FOLDER ARG: the example's status, its last line of
# standard output and its standard error, in $status, $got and $err. Mono
# finds DllImport("gpuproc") as libgpuproc.so on the library path.
runExample() {
  LD_LIBRARY_PATH="$1" HOST_PROC="$fixtures/amdgpu/proc" HOST_SYS="$fixtures/amdgpu/sys" \
    timeout 60 mono "$scratch/example.exe" "$2" >"$scratch/out" 2>"$scratch/err"
  status=$?
  got="$(tail -n 1 "$scratch/out")"
  err="$(cat "$scratch/err")"
}
failures=0
fail() { echo "FAIL $1: status $status, last line [$got], stderr [$err]" >&2; failures=$((failures + 1)); }

# The library prints the per-process report indented first; the example's
# own line is last.
record='{"GPUMemoryFree":14336.0,"GPUMemoryTotal":2560.0,"GPUProcessMemoryDedicatedUsage":512.0,"GPUProcessMemoryLocalUsage":512.0,"GPUProcessMemorySharedUsage":40.0,"GPUProcessMemoryTotalCommitted":816.0,"GPUUtilizationPercent":0.0,"Name":"firefox","ProcessID":1010}'
runExample "$(dirname "$library")" 1010
[ "$status" = 0 ] && [ "$got" = "[$record]" ] && [ -z "$err" ] || fail "ForProcess(1010)"
runExample "$(dirname "$library")" --all
[ "$status" = 0 ] && [[ "$got" == '[{"Adapter":'*'"Name":"firefox","ProcessID":1010}]' ]] && [ -z "$err" ] ||
  fail "ForAllProcesses()"
runExample "$(dirname "$library")" --snapshot
[ "$status" = 0 ] && [[ "$got" == '{"Time":'*',"Processes":[{"ProcessID":1010,"Name":"firefox",'*'}],"UnreadableProcesses":0,"LostSources":[]}' ]] &&
  [ -z "$err" ] || fail "Snapshot()"

# A library whose counter query cannot be opened answers the empty text.
mkdir "$scratch/empty"
printf '%s\n' '#include <stdint.h>' \
  'const char* GetGPUDataForProcess(uint32_t processId) { (void)processId; return ""; }' \
  'const char* GetGPUDataForAllProcesses(void) { return ""; }' \
  'const char* GetGPUSnapshotForAllProcesses(void) { return ""; }' >"$scratch/empty.c"
cc -shared -fPIC -o "$scratch/empty/libgpuproc.so" "$scratch/empty.c" || exit 1
for call in 1010:GetGPUDataForProcess --all:GetGPUDataForAllProcesses --snapshot:GetGPUSnapshotForAllProcesses; do
  runExample "$scratch/empty" "${call%%:*}"
  [ "$status" = 1 ] && [ -z "$got" ] &&
    [ "$err" = "${call#*:}: gpuproc could not open its GPU counter query" ] || fail "${call#*:} answering \"\""
done
[ "$failures" = 0 ] || exit 1
echo "C# example checks passed"
