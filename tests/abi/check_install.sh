#!/usr/bin/env bash
# Installs the build into a scratch prefix and builds a C program against it,
# once through find_package(gpuproc) and once through pkg-config.
set -euo pipefail
build=$1
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
cmake --install "$build" --prefix "$scratch/prefix" >/dev/null

mkdir "$scratch/app"
cat >"$scratch/app/main.c" <<'C'
#include <gpuproc/gpuproc.h>
#include <stdio.h>
int main(void) {
  const char* report = GetGPUDataForProcess(0);
  const char* everyone = GetGPUDataForAllProcesses();
  return report[0] == '\0' || everyone[0] != '[';
}
C
cat >"$scratch/app/CMakeLists.txt" <<'CMAKE'
cmake_minimum_required(VERSION 3.20)
project(app C)
find_package(gpuproc REQUIRED)
add_executable(app main.c)
target_link_libraries(app PRIVATE gpuproc::gpuproc)
CMAKE
cmake -S "$scratch/app" -B "$scratch/app/build" -DCMAKE_PREFIX_PATH="$scratch/prefix" >/dev/null
cmake --build "$scratch/app/build" >/dev/null
"$scratch/app/build/app" >/dev/null

if command -v pkg-config >/dev/null; then
  flags=$(PKG_CONFIG_PATH=$(dirname "$(find "$scratch/prefix" -name gpuproc.pc)") pkg-config --cflags --libs gpuproc)
  # shellcheck disable=SC2086
  cc "$scratch/app/main.c" $flags -o "$scratch/app/by-pkg-config"
  libdir=$(dirname "$(find "$scratch/prefix" -name 'libgpuproc.so' | head -n 1)")
  LD_LIBRARY_PATH=$libdir "$scratch/app/by-pkg-config" >/dev/null
fi
echo "installed package builds and runs"
