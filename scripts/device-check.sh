#!/usr/bin/env bash
# scripts/device-check.sh: the NVML source on a real NVIDIA GPU.
#
# Builds the library and the host, starts a small CUDA program that allocates
# 512 MiB and keeps the GPU busy for about 20 s (built with nvcc, else a
# PyTorch script), asks the host about the program's pid, and prints the
# record next to what nvidia-smi reports for the same process and GPU. Needs
# no network. Not part of CI: it needs the GPU and NVIDIA's driver.
#
# Environment: GPUPROC_JSON_INCLUDE names a folder holding nlohmann/json.hpp
# when the machine has no nlohmann_json CMake package; WORKLOAD_SECONDS (20).
set -uo pipefail
cd "$(dirname "$0")/.." || exit 1
root=$(pwd)
build=$root/build-device
work=$(mktemp -d)
workloadPid=
cleanup() {
  if [ -n "$workloadPid" ] && kill -0 "$workloadPid" 2>/dev/null; then
    kill "$workloadPid" 2>/dev/null
    wait "$workloadPid" 2>/dev/null
  fi
  rm -rf "$work"
}
trap cleanup EXIT
seconds=${WORKLOAD_SECONDS:-20}

section() { printf '\n== %s\n' "$*"; }
die() {
  printf 'device-check: %s\n' "$*" >&2
  exit 1
}

command -v nvidia-smi >/dev/null 2>&1 || die "nvidia-smi not found: no NVIDIA driver here"
section "GPU"
nvidia-smi --query-gpu=index,name,pci.bus_id,driver_version,memory.total,mig.mode.current \
  --format=csv || die "nvidia-smi cannot talk to the driver"

# --- build -------------------------------------------------------------------
section "build"
cmakeOptions=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DGPUPROC_BUILD_TESTS=OFF)
if command -v ninja >/dev/null 2>&1; then cmakeOptions+=(-G Ninja); fi
# Where nlohmann_json has no CMake package, a header folder and a small
# package file of our own stand in for it.
jsonHeader=
for dir in "${GPUPROC_JSON_INCLUDE:-}" /usr/include /usr/local/include "$root/build-deps/include"; do
  if [ -n "$dir" ] && [ -f "$dir/nlohmann/json.hpp" ]; then
    jsonHeader=$dir
    break
  fi
done
if ! cmake -S "$root" -B "$build" "${cmakeOptions[@]}" -DGPUPROC_BUILD_BENCHMARKS=ON >"$work/configure.log" 2>&1 &&
  ! cmake -S "$root" -B "$build" "${cmakeOptions[@]}" -DGPUPROC_BUILD_BENCHMARKS=OFF >"$work/configure.log" 2>&1; then
  [ -n "$jsonHeader" ] || {
    cat "$work/configure.log" >&2
    die "no nlohmann_json package and no nlohmann/json.hpp (set GPUPROC_JSON_INCLUDE)"
  }
  mkdir -p "$work/json"
  cat >"$work/json/nlohmann_jsonConfig.cmake" <<EOF
add_library(nlohmann_json::nlohmann_json INTERFACE IMPORTED)
set_target_properties(nlohmann_json::nlohmann_json PROPERTIES
  INTERFACE_INCLUDE_DIRECTORIES "$jsonHeader")
EOF
  cat >"$work/json/nlohmann_jsonConfigVersion.cmake" <<'EOF'
set(PACKAGE_VERSION 3.11.2)
set(PACKAGE_VERSION_COMPATIBLE TRUE)
EOF
  rm -rf "$build"
  cmake -S "$root" -B "$build" "${cmakeOptions[@]}" -DGPUPROC_BUILD_BENCHMARKS=OFF \
    -Dnlohmann_json_DIR="$work/json" >"$work/configure.log" 2>&1 || {
    cat "$work/configure.log" >&2
    die "cmake configure failed"
  }
fi
cmake --build "$build" -j "$(nproc)" >"$work/build.log" 2>&1 || {
  tail -n 40 "$work/build.log" >&2
  die "build failed"
}
host=$build/cli/gpuproc
[ -x "$host" ] || die "host not built at $host"
echo "built $host"

# --- workload ----------------------------------------------------------------
section "workload"
if command -v nvcc >/dev/null 2>&1; then
  cat >"$work/busy.cu" <<'EOF'
// Allocates 512 MiB, touches it, and keeps every SM spinning for argv[1] s.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cuda_runtime.h>

__global__ void Spin(long long cycles, float* sink) {
  const long long start = clock64();
  float x = static_cast<float>(threadIdx.x);
  while (clock64() - start < cycles) x = x * 0.9999f + 1.0f;
  if (x < 0.0f) sink[0] = x;
}

int main(int argc, char** argv) {
  const int seconds = argc > 1 ? std::atoi(argv[1]) : 20;
  const size_t bytes = size_t{512} << 20;
  float* buffer = nullptr;
  if (cudaMalloc(&buffer, bytes) != cudaSuccess) return 1;
  cudaMemset(buffer, 1, bytes);
  cudaDeviceSynchronize();
  std::printf("allocated 512 MiB\n");
  std::fflush(stdout);
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  while (std::chrono::steady_clock::now() < end) {
    Spin<<<2048, 256>>>(100000000LL, buffer);
    cudaDeviceSynchronize();
  }
  cudaFree(buffer);
  return 0;
}
EOF
  nvcc -O2 -o "$work/busy" "$work/busy.cu" >"$work/nvcc.log" 2>&1 || {
    cat "$work/nvcc.log" >&2
    die "nvcc failed"
  }
  "$work/busy" "$seconds" >"$work/workload.log" 2>&1 &
  workloadPid=$!
  echo "nvcc workload, pid $workloadPid"
elif command -v python3 >/dev/null 2>&1 && python3 -c 'import torch; assert torch.cuda.is_available()' 2>/dev/null; then
  cat >"$work/busy.py" <<'EOF'
import sys, time, torch
seconds = int(sys.argv[1])
block = torch.ones(512 << 20, dtype=torch.uint8, device="cuda")
a = torch.randn(4096, 4096, device="cuda")
torch.cuda.synchronize()
print("allocated 512 MiB", flush=True)
end = time.time() + seconds
while time.time() < end:
    b = a @ a
    torch.cuda.synchronize()
EOF
  python3 "$work/busy.py" "$seconds" >"$work/workload.log" 2>&1 &
  workloadPid=$!
  echo "PyTorch workload, pid $workloadPid"
else
  die "neither nvcc nor PyTorch with CUDA: nothing to put load on the GPU"
fi

# Wait until the driver lists the process, then a few seconds so that NVML
# has utilisation samples for it.
listed=
for _ in $(seq 1 60); do
  kill -0 "$workloadPid" 2>/dev/null || {
    cat "$work/workload.log" >&2
    die "workload exited early"
  }
  if nvidia-smi --query-compute-apps=pid --format=csv,noheader 2>/dev/null |
    grep -qx "[[:space:]]*${workloadPid}[[:space:]]*"; then
    listed=yes
    break
  fi
  sleep 0.5
done
[ -n "$listed" ] || die "the driver never listed pid $workloadPid"
sleep 3

# --- compare -----------------------------------------------------------------
section "gpuproc $workloadPid (the library prints the indented report)"
start=$(date +%s%N)
"$host" "$workloadPid" 2>"$work/host.err"
status=$?
finish=$(date +%s%N)
echo "exit status $status, $(((finish - start) / 1000000)) ms"
if [ -s "$work/host.err" ]; then
  echo "standard error:"
  cat "$work/host.err"
fi

section "nvidia-smi, same moment"
nvidia-smi --query-compute-apps=pid,used_memory --format=csv
nvidia-smi --query-gpu=pci.bus_id,memory.used,memory.free,utilization.gpu --format=csv
nvidia-smi pmon -c 1 -s u 2>/dev/null | head -n 20

section "gpuproc on a process without GPU use ($$)"
"$host" "$$"

if [ -x "$build/bench/gpuproc_nvml_bench" ]; then
  section "keeping NVML loaded: per-call load against kept library (real driver)"
  "$build/bench/gpuproc_nvml_bench" --benchmark_min_time=0.2 2>&1 | tail -n 6
fi
section "done"
