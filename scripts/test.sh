#!/usr/bin/env bash
# scripts/test.sh [--release | --clang | --sanitize | --tsan]: builds the
# library and runs the whole test suite, warnings as errors. Each form has a
# build folder of its own:
#   (none)      build/           g++, the default build type (RelWithDebInfo)
#   --release   build-release/   g++, Release; the benchmarks are built too
#   --clang     build-clang/     clang++, Debug; the fuzzers are built too
#                                (scripts/fuzz.sh runs them from there)
#   --sanitize  build-sanitize/  AddressSanitizer and UndefinedBehaviorSanitizer
#   --tsan      build-tsan/      ThreadSanitizer (any report fails the test
#                                that made it)
# Tests that cannot run here (a tool missing) are skipped, and listed at the
# end with the reason each gave.
set -euo pipefail
cd "$(dirname "$0")/.."
packages=(build-essential cmake ninja-build pkg-config python3
  nlohmann-json3-dev libgtest-dev libgmock-dev valgrind mono-mcs mono-runtime
  libcli11-dev python3-prometheus-client prometheus systemd
  libmicrohttpd-dev libgnutls28-dev libseccomp-dev gnutls-bin
  libyaml-cpp-dev libssl-dev libcrypt-dev openssl curl apache2-utils
  python3-setuptools python3-wheel python3-build python3-venv mypy libpci-dev pci.ids
  libncurses-dev tmux)

build=build
options=()
skip=()
case "${1:-}" in
  "") ;;
  --release)
    build=build-release
    packages+=(libbenchmark-dev)
    options=(-DCMAKE_BUILD_TYPE=Release -DGPUPROC_BUILD_BENCHMARKS=ON)
    ;;
  --clang)
    build=build-clang
    packages+=(clang libclang-rt-14-dev)
    export CXX=clang++
    options=(-DCMAKE_BUILD_TYPE=Debug -DGPUPROC_BUILD_FUZZERS=ON)
    # pip builds its own Release library with the default compiler, whatever
    # this tree's: the same check as in any other form, minutes long.
    skip=(-E '^python\.install_from_source$')
    ;;
  --sanitize)
    build=build-sanitize
    options=(-DGPUPROC_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug)
    ;;
  --tsan)
    build=build-tsan
    options=(-DGPUPROC_SANITIZE_THREAD=ON)
    export TSAN_OPTIONS="halt_on_error=1 exitcode=66 second_deadlock_stack=1"
    ;;
  *)
    echo "usage: scripts/test.sh [--release | --clang | --sanitize | --tsan]" >&2
    exit 2
    ;;
esac
scripts/ensure-packages.sh "${packages[@]}"
cmake -S . -B "$build" -G Ninja -DGPUPROC_WERROR=ON "${options[@]}" >/dev/null
cmake --build "$build" -j "$(nproc)"
status=0
ctest --test-dir "$build" --output-on-failure -j "$(nproc)" "${skip[@]}" || status=$?
# ctest keeps a skipped test's output to itself: the first "skipped:" line
# each one printed says why, or for GoogleTest the line after "Skipped".
awk '/^[0-9]+\/[0-9]+ Test: / { test = $3; next }
     test != "" && /^skipped/ { print "  " test ": " $0; test = ""; next }
     test != "" && /: Skipped$/ { getline reason; print "  " test ": " reason; test = "" }' \
  "$build/Testing/Temporary/LastTest.log" >"$build/skipped.txt" 2>/dev/null || true
if [ -s "$build/skipped.txt" ]; then
  echo "skipped tests, and why:"
  cat "$build/skipped.txt"
fi
exit "$status"
