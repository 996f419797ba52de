#!/usr/bin/env bash
# Cross-builds the 64-bit Windows DLL, host and tests with mingw-w64 and runs
# the suite under Wine in a throw-away prefix.
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
timeout 1800 "$repo/tools/ensure-packages.sh" g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 \
  wine64 wine cmake ninja-build googletest nlohmann-json3-dev libcli11-dev

generator=()
command -v ninja >/dev/null && generator=(-G Ninja)

start=$SECONDS
log "configuring $build"
timeout 300 cmake -S "$repo" -B "$build" "${generator[@]}" \
  -DCMAKE_TOOLCHAIN_FILE="$repo/cmake/toolchain-mingw64.cmake" \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DGPUPROC_BUILD_BENCHMARKS=OFF >/dev/null
log "building with -j$jobs"
timeout 1500 cmake --build "$build" -j "$jobs"
log "built in $((SECONDS - start)) s"

wine="$(wineLoader)"
wineserver="$(wineServer)"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
WINEPREFIX="$(mktemp -d "${TMPDIR:-/tmp}/gpuproc-wine.XXXXXX")"
export WINEPREFIX
# Upstream Wine names the server's socket folder after the prefix's device
# and inode (take them now, while the prefix exists); Debian's Wine makes a
# fresh /tmp/wine-XXXXXX folder instead and records its name in the prefix.
upstreamServerDir="$(printf '/tmp/.wine-%s/server-%x-%x' "$(id -u)" \
  "$(stat -c %d "$WINEPREFIX")" "$(stat -c %i "$WINEPREFIX")")"

cleanup() {
  local status=$?
  local debianServerDir=""
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
  exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# A persistent server and a booted prefix: without them every test process
# waits about two seconds for Wine's services to let go of its output pipe.
start=$SECONDS
"$wineserver" -p
timeout 300 "$wine" wineboot -i >/dev/null 2>&1
timeout 60 "$wine" cmd /c exit >/dev/null 2>&1
log "Wine prefix booted in $((SECONDS - start)) s"

start=$SECONDS
timeout 1200 ctest --test-dir "$build" --output-on-failure --timeout "$testTimeout" -j "$jobs"
log "tests ran in $((SECONDS - start)) s"
