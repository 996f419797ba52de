#!/usr/bin/env bash
# The shared library exports exactly one symbol: GetGPUDataForProcess.
set -euo pipefail
library=$1
symbols=$(nm -D --defined-only "$library" | awk '{print $3}' | sort)
if [ "$symbols" != "GetGPUDataForProcess" ]; then
  echo "expected only GetGPUDataForProcess, found:" >&2
  echo "$symbols" >&2
  exit 1
fi
echo "exports: $symbols"
