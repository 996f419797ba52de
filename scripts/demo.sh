#!/usr/bin/env bash
# scripts/demo.sh: builds the library and its command line (with `gpuproc
# top`), then asks about every GPU process and a live process on this
# machine, and on recorded ones.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/ensure-packages.sh build-essential cmake ninja-build pkg-config nlohmann-json3-dev libcli11-dev \
  libpci-dev pci.ids libncurses-dev

echo "# building (2–5 minutes on two cores)… the library and the gpuproc command, in build-demo/"
cmake -S . -B build-demo -G Ninja -DGPUPROC_BUILD_TESTS=OFF >/dev/null
# Ninja's progress, a line a step: [steps done/all steps] and the file.
NINJA_STATUS="[%f/%t] " cmake --build build-demo -j "$(nproc)" --target gpuproc_host
host=build-demo/cli/gpuproc

sleep 60 &
live=$!
trap 'kill "$live" 2>/dev/null || true' EXIT
echo "# this machine, every GPU process:"
"$host"
echo "# this machine, process $live ($(readlink "/proc/$live/exe")):"
"$host" "$live"

# A recorded machine with an amdgpu GPU (tests/fixtures/), replayed through
# HOST_PROC and HOST_SYS, so that a machine without a GPU shows a real record.
echo "# recorded amdgpu machine (tests/fixtures/amdgpu), process 1010:"
HOST_PROC=tests/fixtures/amdgpu/proc HOST_SYS=tests/fixtures/amdgpu/sys "$host" 1010
echo "# recorded machine with two GPUs (tests/fixtures/multi), every GPU process:"
HOST_PROC=tests/fixtures/multi/proc HOST_SYS=tests/fixtures/multi/sys "$host"
