#!/usr/bin/env bash
# scripts/fuzz.sh [SECONDS]: builds the fuzzers with clang and runs each for
# SECONDS (default 30) from the recorded fdinfo files and a few paths. Where
# `scripts/test.sh --clang` has made build-clang/ (as CI does), the fuzzers
# come from there; otherwise from a build of their own with the parsers alone.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-30}
scripts/ensure-packages.sh clang libclang-rt-14-dev cmake ninja-build nlohmann-json3-dev
if [ -f build-clang/CMakeCache.txt ] && grep -q '^GPUPROC_BUILD_FUZZERS:BOOL=ON' build-clang/CMakeCache.txt; then
  build=build-clang
else
  build=build-fuzz
  CXX=clang++ cmake -S . -B "$build" -G Ninja -DGPUPROC_BUILD_FUZZERS=ON -DGPUPROC_BUILD_TESTS=OFF \
    -DGPUPROC_BUILD_TOOLS=OFF -DGPUPROC_WERROR=ON >/dev/null
fi
cmake --build "$build" --target fdinfo_parser_fuzzer counter_path_fuzzer

corpus=$(mktemp -d)
trap 'rm -rf "$corpus"' EXIT
mkdir "$corpus/fdinfo" "$corpus/path"
find tests/fixtures -path '*/fdinfo/*' -type f -exec cp -t "$corpus/fdinfo" {} + 2>/dev/null || true
for path in '\GPU Engine(pid_1_luid_0x00000000_0x00000300_phys_0*engtype_3D)\Utilization Percentage' \
  '\GPU Adapter Memory\Free' '\GPU Process Memory(a(b)\c)\Local Usage'; do
  printf '%s' "$path" | iconv -f UTF-8 -t UTF-16LE >"$corpus/path/$(printf '%s' "$path" | md5sum | cut -c1-8)"
done
"$build/fuzz/fdinfo_parser_fuzzer" -max_total_time="$seconds" -max_len=8192 "$corpus/fdinfo"
"$build/fuzz/counter_path_fuzzer" -max_total_time="$seconds" -max_len=1024 "$corpus/path"
