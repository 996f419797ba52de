#!/usr/bin/env bash
# Builds the Windows release from this source tree with mingw-w64 and the
# LLVM tools of Debian 12:
#
#   DIST/gpuproc-VERSION-win-x64.zip            DLL, exe, header, gpuproc.lib
#                                               (MSVC), libgpuproc.dll.a (MinGW),
#                                               .def, pkg-config and CMake files
#   DIST/gpuproc-VERSION-py3-none-win_amd64.whl the Python package with the DLL
#   DIST/gpuproc.dll.sig, gpuproc.exe.sig       detached signatures (when signed)
#   DIST/SHA256SUMS
#
#   scripts/windows-release.sh [--build DIR] [--dist DIR]
#       [--cert CERT --key KEY [--pkcs11-module SO] [--pkcs11-engine SO] [--pass-file FILE]]
#       [--signatures DIR [--ca FILE]]
#
# --build: the build folder (default build-windows-release); --dist: where the
# release goes (default dist/windows). --cert/--key sign bin/gpuproc.dll and
# bin/gpuproc.exe with osslsigncode (KEY a file, or with --pkcs11-module a
# PKCS#11 URI or key id on a token) and write their detached signatures.
# --signatures DIR attaches such signatures to this build instead: a build
# reproduced from the same commit then gives the signed release byte for byte.
# A signature that does not fit the build, or whose certificate does not chain
# to the system's CAs (or to --ca FILE's), stops it.
#
# Reproducible: the binaries carry no clock time and no build path, the zip's
# entries are sorted with fixed times and modes, and the times are
# SOURCE_DATE_EPOCH (default: the time of the checked-out commit). Two builds
# of one commit in different folders give the same bytes.
# Environment: SOURCE_DATE_EPOCH, JOBS (default 2).
set -euo pipefail

src="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="$src/build-windows-release"
dist="$src/dist/windows"
cert="" key="" pkcs11Module="" pkcs11Engine="" passFile="" signatures="" ca=""
die() { printf 'windows-release: %s\n' "$*" >&2; exit 1; }
while [ $# -gt 0 ]; do
  [ $# -ge 2 ] || die "$1 needs a value"
  case "$1" in
    --build) build=$2 ;;
    --dist) dist=$2 ;;
    --cert) cert=$2 ;;
    --key) key=$2 ;;
    --pkcs11-module) pkcs11Module=$2 ;;
    --pkcs11-engine) pkcs11Engine=$2 ;;
    --pass-file) passFile=$2 ;;
    --signatures) signatures=$2 ;;
    --ca) ca=$2 ;;
    *) die "unknown argument $1 (see the comment at the top of $0)" ;;
  esac
  shift 2
done
if [ -n "$cert$key" ] && { [ -z "$cert" ] || [ -z "$key" ]; }; then die "signing needs both --cert and --key"; fi
[ -z "$signatures" ] || [ -z "$cert" ] || die "--signatures and --cert exclude each other"
mkdir -p "$build" "$dist"
build="$(cd "$build" && pwd)" dist="$(cd "$dist" && pwd)"

if [ -z "${SOURCE_DATE_EPOCH:-}" ]; then
  SOURCE_DATE_EPOCH="$(git -C "$src" log -1 --format=%ct 2>/dev/null)" ||
    die "not a git checkout: set SOURCE_DATE_EPOCH"
fi
export SOURCE_DATE_EPOCH
# Debian's locale and time zone must not reach the zip or the sort order.
export LC_ALL=C TZ=UTC
umask 022

packages=(g++-mingw-w64-x86-64-win32 binutils-mingw-w64-x86-64 llvm cmake ninja-build
  nlohmann-json3-dev libcli11-dev zip python3-build python3-setuptools python3-wheel)
[ -z "$cert$signatures" ] || packages+=(osslsigncode)
timeout 1800 "$src/scripts/ensure-packages.sh" "${packages[@]}"

# No folder of this checkout or of the build in the objects (assertions and
# the standard library's inline code carry __FILE__). The PE time stamps of
# the DLL and the exe are SOURCE_DATE_EPOCH: binutils takes it from there
# rather than from the clock. The toolchain's -static stays: the linker flags
# are left alone.
prefixMap="-ffile-prefix-map=$src=. -ffile-prefix-map=$build=."
timeout 300 cmake -S "$src" -B "$build" -G Ninja \
  -DCMAKE_TOOLCHAIN_FILE="$src/cmake/toolchain-mingw64.cmake" \
  -DCMAKE_BUILD_TYPE=Release \
  -DGPUPROC_BUILD_TESTS=OFF -DGPUPROC_BUILD_BENCHMARKS=OFF \
  -DCMAKE_CXX_FLAGS="$prefixMap" >/dev/null
# Only the zip's path and SHA-256 go to standard output.
timeout 1500 cmake --build "$build" -j "${JOBS:-2}" --target gpuproc gpuproc_host >&2
version="$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")"
[ -n "$version" ] || die "no project version in $build/CMakeCache.txt"

name="gpuproc-$version-win-x64"
stage="$build/release"
rm -rf "$stage"
mkdir -p "$stage"
root="$stage/$name"
# --strip: CMake's strip is MinGW's, which writes SOURCE_DATE_EPOCH as the
# time stamp again.
cmake --install "$build" --prefix "$root" --strip >/dev/null

# gpuproc.def from what the DLL exports, checked against the header's
# declarations: an export missing from the header, or a declaration the DLL
# does not export, stops the release.
exported="$(llvm-readobj --coff-exports "$root/bin/gpuproc.dll" | sed -n 's/^ *Name: //p' | sort)"
declared="$(sed -n 's/^GPUPROC_API [^(]*[ *]\([A-Za-z_][A-Za-z0-9_]*\)(.*/\1/p' "$src/include/gpuproc/gpuproc.h" | sort)"
if [ -z "$exported" ] || [ "$exported" != "$declared" ]; then
  die "the DLL's exports [$(echo $exported)] differ from the header's functions [$(echo $declared)]"
fi
{
  printf 'LIBRARY gpuproc.dll\r\nEXPORTS\r\n'
  printf '  %s\r\n' $exported
} >"$root/lib/gpuproc.def"
# The short import format, which link.exe and lld-link read; MinGW's
# libgpuproc.dll.a (GNU's long format) stays for MinGW.
llvm-dlltool -m i386:x86-64 -D gpuproc.dll -d "$root/lib/gpuproc.def" -l "$root/lib/gpuproc.lib"

sed "s/@VERSION@/$version/g; s/\$/\r/" "$src/cmake/windows/README.txt" >"$root/README.txt"
sed 's/$/\r/' "$src/LICENSE" >"$root/LICENSE.txt"

signed=()
if [ -n "$cert" ]; then
  signArgs=(-h sha256 -n gpuproc -time "$SOURCE_DATE_EPOCH")
  if [ -n "$pkcs11Module" ]; then
    signArgs+=(-pkcs11module "$pkcs11Module" -certs "$cert" -key "$key")
    [ -z "$pkcs11Engine" ] || signArgs+=(-pkcs11engine "$pkcs11Engine")
  else
    signArgs+=(-certs "$cert" -key "$key")
  fi
  [ -z "$passFile" ] || signArgs+=(-readpass "$passFile")
  for binary in gpuproc.dll gpuproc.exe; do
    osslsigncode sign "${signArgs[@]}" -in "$root/bin/$binary" -out "$stage/$binary" >/dev/null
    mv "$stage/$binary" "$root/bin/$binary"
    rm -f "$dist/$binary.sig"
    osslsigncode extract-signature -in "$root/bin/$binary" -out "$dist/$binary.sig" >/dev/null
    signed+=("$binary.sig")
  done
elif [ -n "$signatures" ]; then
  for binary in gpuproc.dll gpuproc.exe; do
    osslsigncode attach-signature -sigin "$signatures/$binary.sig" ${ca:+-CAfile "$ca"} \
      -in "$root/bin/$binary" -out "$stage/$binary" >"$stage/attach.log" 2>&1 || {
      cat "$stage/attach.log" >&2
      die "the signature $signatures/$binary.sig does not verify on this build's $binary"
    }
    mv "$stage/$binary" "$root/bin/$binary"
  done
else
  rm -f "$dist/gpuproc.dll.sig" "$dist/gpuproc.exe.sig"
fi

# Fixed modes and times, entries in byte order, no extra fields (owners,
# Unix times): only the files' bytes reach the zip.
find "$root" -type d -exec chmod 0755 {} +
find "$root" -type f -exec chmod 0644 {} +
find "$root" -exec touch -h -d "@$SOURCE_DATE_EPOCH" {} +
zipFile="$dist/$name.zip"
rm -f "$zipFile"
(cd "$stage" && find "$name" -type f | sort | zip -X -q -@ "$zipFile")

# The wheel, built around the DLL from a copy of python/ (setuptools writes
# into the folder it builds) with the licence beside it, where setup.py
# takes it from.
rm -rf "$stage/python" "$dist"/gpuproc-*-win_amd64.whl
cp -r "$src/python" "$stage/python"
cp "$src/LICENSE" "$stage/LICENSE"
GPUPROC_LIBRARY="$root/bin/gpuproc.dll" /usr/bin/python3 -m build --no-isolation \
  --wheel --outdir "$dist" "$stage/python" >"$stage/wheel.log" 2>&1 || { cat "$stage/wheel.log" >&2; exit 1; }
wheel="gpuproc-$version-py3-none-win_amd64.whl"
[ -f "$dist/$wheel" ] || die "the wheel build made $(cd "$dist" && echo *.whl), not $wheel"

(cd "$dist" && sha256sum "$name.zip" "$wheel" ${signed[@]+"${signed[@]}"} >SHA256SUMS)
printf '%s\n' "$zipFile"
sed -n "s/  $name.zip\$//p" "$dist/SHA256SUMS"
