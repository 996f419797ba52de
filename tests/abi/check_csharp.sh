#!/usr/bin/env bash
# check_csharp.sh LIBRARY PAGE EXAMPLES FIXTURES: the C# example of the PAGE
# (docs/library.md) is examples/csharp/GpuProc.cs to the byte; compiled with
# Mono's mcs and run with mono against the built library on the recorded
# amdgpu machine, it prints process 1010's record. Skipped (77) without mcs
# or mono.
set -uo pipefail
library=$1 page=$2 examples=$3 fixtures=$4
command -v mcs >/dev/null && command -v mono >/dev/null || { echo "skipped: no mcs or mono"; exit 77; }
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

# Mono finds DllImport("gpuproc") as libgpuproc.so on the library path. The
# library prints the indented report first; the example's own line is last.
expected='[{"GPUMemoryFree":14336.0,"GPUMemoryTotal":2560.0,"GPUProcessMemoryDedicatedUsage":512.0,"GPUProcessMemoryLocalUsage":512.0,"GPUProcessMemorySharedUsage":40.0,"GPUProcessMemoryTotalCommitted":816.0,"GPUUtilizationPercent":0.0,"Name":"firefox","ProcessID":1010}]'
LD_LIBRARY_PATH="$(dirname "$library")" HOST_PROC="$fixtures/amdgpu/proc" \
  HOST_SYS="$fixtures/amdgpu/sys" timeout 60 mono "$scratch/example.exe" 1010 \
  >"$scratch/out" 2>"$scratch/err"
status=$?
got="$(tail -n 1 "$scratch/out")"
if [ "$status" != 0 ] || [ "$got" != "$expected" ] || [ -s "$scratch/err" ]; then
  echo "FAIL: status $status, last line [$got], stderr [$(cat "$scratch/err")]" >&2
  exit 1
fi
echo "C# example checks passed"
