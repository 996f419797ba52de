#!/usr/bin/env bash
# Cross-builds the 64-bit Windows DLL, host and tests with mingw-w64 and runs
# them under Wine in throw-away prefixes: the suite over Wine's own pdh.dll,
# then the DLL over the scripted pdh.dll and dxgi.dll
# (tests/windows/scripted_pdh, tests/windows/scripted_dxgi); then builds the
# release zip and wheel twice (scripts/windows-release.sh) and checks them
# (tests/windows/release/check_release.sh), with GPUPROC_CI_WINDOWS_RELEASE=0
# to leave that out.
#
#   .ci/windows.sh [build-dir]        (default: build-windows)
#
# Environment: JOBS (default 2), GPUPROC_CI_TEST_TIMEOUT (seconds per test,
# default 120).
set -euo pipefail

repo="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${1:-build-windows}"
case "$build" in /*) ;; *) build="$repo/$build" ;; esac
jobs="${JOBS:-2}"
testTimeout="${GPUPROC_CI_TEST_TIMEOUT:-120}"

log() { printf '[windows] %s\n' "$*" >&2; }

# Debian keeps wine64 outside PATH; /usr/bin/wine is a wrapper that warns
# about a missing wine32 on every run.
wineLoader() {
  local candidate
  for candidate in /usr/lib/wine/wine64 "$(command -v wine64 || true)" "$(command -v wine || true)"; do
    if [ -n "$candidate" ] && [ -x "$candidate" ]; then
      printf '%s\n' "$candidate"
      return 0
    fi
  done
  return 1
}

wineServer() {
  local candidate
  for candidate in /usr/lib/wine/wineserver "$(command -v wineserver || true)"; do
    if [ -n "$candidate" ] && [ -x "$candidate" ]; then
      printf '%s\n' "$candidate"
      return 0
    fi
  done
  return 1
}

# apt-get update runs first when anything is missing.
timeout 1800 "$repo/scripts/ensure-packages.sh" g++-mingw-w64-x86-64-win32 binutils-mingw-w64-x86-64 \
  wine64 wine cmake ninja-build googletest nlohmann-json3-dev libcli11-dev

generator=()
command -v ninja >/dev/null && generator=(-G Ninja)

start=$SECONDS
log "configuring $build"
# Release, without debug information: Wine maps a DLL's DWARF sections at
# every load, and the long-lived host's 2,000 load/unload cycles took 82 s
# with 10 MB of it against 11 s without.
timeout 300 cmake -S "$repo" -B "$build" "${generator[@]}" \
  -DCMAKE_TOOLCHAIN_FILE="$repo/cmake/toolchain-mingw64.cmake" \
  -DCMAKE_BUILD_TYPE=Release \
  -DGPUPROC_BUILD_BENCHMARKS=OFF -DGPUPROC_WERROR=ON >/dev/null
log "building with -j$jobs"
timeout 1500 cmake --build "$build" -j "$jobs"
log "built in $((SECONDS - start)) s"

wine="$(wineLoader)"
wineserver="$(wineServer)"
export WINEDEBUG=-all
WINEPREFIX=""
upstreamServerDir=""

# Stops the prefix's server and removes the prefix with its socket folder.
removePrefix() {
  local debianServerDir=""
  [ -n "$WINEPREFIX" ] || return 0
  timeout 30 "$wineserver" -k >/dev/null 2>&1 || true
  timeout 30 "$wineserver" -w >/dev/null 2>&1 || true
  if [ -f "$WINEPREFIX/wineserver" ]; then
    debianServerDir="$(head -c 64 "$WINEPREFIX/wineserver")"
    case "$debianServerDir" in
      wine-??????) debianServerDir="/tmp/$debianServerDir" ;;
      *) debianServerDir="" ;;
    esac
  fi
  rm -rf "$WINEPREFIX" "$upstreamServerDir" ${debianServerDir:+"$debianServerDir"}
  WINEPREFIX=""
}

cleanup() {
  local status=$?
  removePrefix
  exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# bootPrefix NAME DLLOVERRIDES: a fresh, booted prefix, removed by
# removePrefix.
bootPrefix() {
  local name=$1
  export WINEDLLOVERRIDES=$2
  WINEPREFIX="$(mktemp -d "${TMPDIR:-/tmp}/gpuproc-wine.XXXXXX")"
  export WINEPREFIX
  # Upstream Wine names the server's socket folder after the prefix's device
  # and inode (take them now, while the prefix exists); Debian's Wine makes a
  # fresh /tmp/wine-XXXXXX folder instead and records its name in the prefix.
  upstreamServerDir="$(printf '/tmp/.wine-%s/server-%x-%x' "$(id -u)" \
    "$(stat -c %d "$WINEPREFIX")" "$(stat -c %i "$WINEPREFIX")")"

  # A persistent server and a booted prefix: without them every test process
  # waits about two seconds for Wine's services to let go of its output pipe.
  local start=$SECONDS
  timeout 60 "$wineserver" -p
  timeout 300 "$wine" wineboot -i >/dev/null 2>&1
  timeout 60 "$wine" cmd /c exit >/dev/null 2>&1
  log "$name: Wine prefix booted in $((SECONDS - start)) s"
}

# runSuite NAME DLLOVERRIDES CTEST-ARGS...: the tests in a fresh, booted
# prefix of their own, removed afterwards.
runSuite() {
  local name=$1 start
  bootPrefix "$1" "$2"
  shift 2
  start=$SECONDS
  timeout 1200 ctest --test-dir "$build" --output-on-failure --timeout "$testTimeout" -j "$jobs" "$@"
  log "$name: tests ran in $((SECONDS - start)) s"
  # The figures the long-lived host test measured (load cycles, worst wait).
  sed -n 's/^.*\(\[figures\]\)/\1/p' "$build/Testing/Temporary/LastTest.log" >&2 || true
  removePrefix
}

runSuite "Wine's pdh.dll" "mscoree,mshtml=" -LE scripted_pdh
# The real DLL over the scripted pdh.dll and dxgi.dll built next to its test
# (native, so that Wine takes them rather than its own).
runSuite "scripted pdh.dll and dxgi.dll" "mscoree,mshtml=;pdh,dxgi=n" -L scripted_pdh

if [ "${GPUPROC_CI_WINDOWS_RELEASE:-1}" != 0 ]; then
  bootPrefix "release" "mscoree,mshtml="
  start=$SECONDS
  timeout 3600 "$repo/tests/windows/release/check_release.sh" "$wine"
  log "release: built twice and checked in $((SECONDS - start)) s"
  removePrefix
fi
