#!/usr/bin/env bash
# scripts/test.sh [--sanitize | --tsan]: builds the library and runs the whole
# test suite. --sanitize builds it with AddressSanitizer and
# UndefinedBehaviorSanitizer, --tsan with ThreadSanitizer (any report fails
# the test that made it).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/ensure-packages.sh build-essential cmake ninja-build pkg-config python3 \
  nlohmann-json3-dev libgtest-dev libgmock-dev valgrind mono-mcs mono-runtime \
  libcli11-dev python3-prometheus-client prometheus systemd \
  libmicrohttpd-dev libgnutls28-dev libseccomp-dev gnutls-bin \
  libyaml-cpp-dev libssl-dev libcrypt-dev openssl curl apache2-utils \
  python3-setuptools python3-wheel python3-build python3-venv mypy libpci-dev pci.ids \
  libncurses-dev tmux

build=build
options=()
if [ "${1:-}" = "--sanitize" ]; then
  build=build-sanitize
  options=(-DGPUPROC_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug)
elif [ "${1:-}" = "--tsan" ]; then
  build=build-tsan
  options=(-DGPUPROC_SANITIZE_THREAD=ON)
  export TSAN_OPTIONS="halt_on_error=1 exitcode=66 second_deadlock_stack=1"
fi
cmake -S . -B "$build" -G Ninja "${options[@]}" >/dev/null
cmake --build "$build" -j "$(nproc)"
ctest --test-dir "$build" --output-on-failure -j "$(nproc)"
