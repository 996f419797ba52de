#!/usr/bin/env bash
# The shared library exports exactly its three entry points.
set -euo pipefail
library=$1
expected=$(printf '%s\n' GetGPUDataForAllProcesses GetGPUDataForProcess GetGPUSnapshotForAllProcesses)
symbols=$(nm -D --defined-only "$library" | awk '{print $3}' | sort)
if [ "$symbols" != "$expected" ]; then
  echo "expected only" $expected "found:" >&2
  echo "$symbols" >&2
  exit 1
fi
echo "exports:" $symbols
