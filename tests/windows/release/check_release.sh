#!/usr/bin/env bash
# check_release.sh WINE: scripts/windows-release.sh from two copies of this
# tree in different folders, and the release checked:
#   - both give the same zip and wheel, byte for byte;
#   - the zip holds exactly the release's layout, README.txt with CRLF;
#   - gpuproc.lib is COFF short-import members for the three functions, and
#     gpuproc.def names exactly them;
#   - the DLL and the exe carry a VERSIONINFO with the project's version;
#   - a program without C runtime linked by lld-link against gpuproc.lib
#     alone, the same linked by MinGW against libgpuproc.dll.a, and CMake
#     consumers (find_package from the unpacked zip) with MinGW and with
#     clang-cl get an answer from each call under WINE (WINEPREFIX booted);
#   - the wheel: twine check --strict, its RECORD, its tags (pip takes it for
#     win_amd64 and refuses it here), the DLL and the licence inside;
#   - signed with a throw-away certificate, the signatures verify, and the
#     second copy with those signatures attached gives the signed zip.
set -euo pipefail
wine=$1
repo="$(cd "$(dirname "${BASH_SOURCE[0]}")/../../.." && pwd)"
here="$repo/tests/windows/release"
scratch="$(mktemp -d "${TMPDIR:-/tmp}/gpuproc-release.XXXXXX")"
trap 'rm -rf "$scratch"' EXIT
log() { printf '[release] %s\n' "$*" >&2; }
failures=0
fail() { printf '[release] FAIL: %s\n' "$*" >&2; failures=$((failures + 1)); }

"$repo/scripts/ensure-packages.sh" llvm lld clang twine osslsigncode openssl python3-venv unzip \
  python3-build python3-setuptools python3-wheel

# The tree as it is checked out, edits included, in two folders whose paths
# differ in name and length; neither is a git checkout, so the commit's time
# comes from here.
copyTree() {
  mkdir -p "$1"
  (cd "$repo" && git ls-files -z --cached --others --exclude-standard |
    while IFS= read -r -d '' file; do [ -e "$file" ] && printf '%s\0' "$file"; done |
    tar --null -T - -cf -) | tar -xf - -C "$1"
}
SOURCE_DATE_EPOCH="$(git -C "$repo" log -1 --format=%ct)"
export SOURCE_DATE_EPOCH
first="$scratch/a/gpuproc"
second="$scratch/second-clone/elsewhere/gpuproc-source"
copyTree "$first"
copyTree "$second"
start=$SECONDS
"$first/scripts/windows-release.sh" >"$scratch/first.out"
"$second/scripts/windows-release.sh" >"$scratch/second.out"
log "two release builds in $((SECONDS - start)) s"
cat "$scratch/first.out" >&2
zip="$(head -n 1 "$scratch/first.out")"
name="$(basename "$zip" .zip)"
version="${name#gpuproc-}" version="${version%-win-x64}"
[ "$version" = "$(sed -n 's/^project(gpuproc VERSION \([0-9.]*\).*/\1/p' "$repo/CMakeLists.txt")" ] ||
  fail "the zip's version $version is not the project's"
[ "$(sed -n 2p "$scratch/first.out")" = "$(sha256sum <"$zip" | cut -d' ' -f1)" ] ||
  fail "the printed SHA-256 is not the zip's"
if ! cmp -s "$first/dist/windows/SHA256SUMS" "$second/dist/windows/SHA256SUMS"; then
  fail "two builds differ:"
  diff "$first/dist/windows/SHA256SUMS" "$second/dist/windows/SHA256SUMS" >&2 || true
  for file in bin/gpuproc.dll bin/gpuproc.exe lib/gpuproc.lib lib/libgpuproc.dll.a; do
    cmp -s "$first/build-windows-release/release/$name/$file" \
      "$second/build-windows-release/release/$name/$file" || log "differs: $file"
  done
fi

unzip -q "$zip" -d "$scratch/unpacked"
root="$scratch/unpacked/$name"
expected="$(printf "$name/%s\n" LICENSE.txt README.txt bin/gpuproc.dll bin/gpuproc.exe \
  include/gpuproc/gpuproc.h lib/cmake/gpuproc/gpuprocConfig.cmake \
  lib/cmake/gpuproc/gpuprocConfigVersion.cmake lib/cmake/gpuproc/gpuprocTargets-release.cmake \
  lib/cmake/gpuproc/gpuprocTargets.cmake lib/gpuproc.def lib/gpuproc.lib lib/libgpuproc.dll.a \
  lib/pkgconfig/gpuproc.pc | LC_ALL=C sort)"
listed="$(unzip -Z1 "$zip")"
[ "$listed" = "$expected" ] || fail "the zip holds [$listed]"
[ "$(LC_ALL=C sort <<<"$listed")" = "$listed" ] || fail "the zip's entries are not sorted"
grep -qv $'\r$' "$root/README.txt" && fail "README.txt has lines without CRLF"

functions="$(printf '%s\n' GetGPUDataForAllProcesses GetGPUDataForProcess GetGPUSnapshotForAllProcesses)"
[ "$(sed -n 's/^ *\([A-Za-z]\)/\1/p' "$root/lib/gpuproc.def" | tr -d '\r' | sed 1,2d | sort)" = "$functions" ] ||
  fail "gpuproc.def: $(cat "$root/lib/gpuproc.def")"
# One short import member per function, beside the import descriptor and
# the two null terminators that link.exe needs (regular COFF objects).
members="$(llvm-readobj "$root/lib/gpuproc.lib" | sed -n 's/^Format: //p' | sort | uniq -c | tr -s ' ')"
[ "$members" = "$(printf ' 3 COFF-import-file\n 3 COFF-x86-64')" ] || fail "gpuproc.lib's members are [$members]"
imports="$(llvm-nm "$root/lib/gpuproc.lib" | sed -n 's/^ *[0-9a-f]* *T __imp_//p' | sort)"
[ "$imports" = "$functions" ] || fail "gpuproc.lib imports [$imports]"

for binary in gpuproc.dll gpuproc.exe; do
  resources="$(llvm-readobj --coff-resources "$root/bin/$binary")"
  grep -q 'Type: VERSIONINFO (ID 16)' <<<"$resources" || fail "$binary has no VERSIONINFO: $resources"
  rc="$(x86_64-w64-mingw32-windres -i "$root/bin/$binary" -O rc 2>&1)"
  comma="${version//./, }"
  for line in "FILEVERSION $comma, 0" "PRODUCTVERSION $comma, 0" "VALUE \"FileVersion\", \"$version\"" \
    "VALUE \"ProductVersion\", \"$version\"" "VALUE \"OriginalFilename\", \"$binary\""; do
    grep -qF "$line" <<<"$rc" || fail "$binary's version resource lacks [$line]: $rc"
  done
done
# -static must reach the link: MinGW's runtime DLLs are not on Windows.
dlls="$(llvm-readobj --coff-imports "$root/bin/gpuproc.dll" | sed -n 's/^ *Name: //p' | sort -f | tr '\n' ' ')"
[ "$dlls" = "dxgi.dll KERNEL32.dll msvcrt.dll pdh.dll " ] || fail "gpuproc.dll imports $dlls"
log "layout, import library, .def, imports and version resources checked"

# runUnderWine FOLDER EXE NAME: the consumer from its folder, next to the
# zip's DLL; Wine's own pdh.dll answers every call (without GPU instances).
runUnderWine() {
  local status=0
  cp "$root/bin/gpuproc.dll" "$1/"
  (cd "$1" && timeout 120 "$wine" "$2" >"$scratch/run.out" 2>"$scratch/run.err") || status=$?
  if [ "$status" = 0 ]; then log "$3 ran: $(tr -d '\r' <"$scratch/run.out" | tr '\n' ' ')"; else
    fail "$3 exited with $status: $(cat "$scratch/run.out" "$scratch/run.err")"
  fi
}
mkdir -p "$scratch/msvc" "$scratch/mingw"
clang --target=x86_64-pc-windows-msvc -ffreestanding -fno-stack-protector -O2 -I"$root/include" \
  -c "$here/consumer.c" -o "$scratch/msvc/consumer.obj"
lld-link /nologo /entry:start /subsystem:console /nodefaultlib /out:"$scratch/msvc/consumer.exe" \
  "$scratch/msvc/consumer.obj" "$root/lib/gpuproc.lib"
runUnderWine "$scratch/msvc" consumer.exe "lld-link against gpuproc.lib"
x86_64-w64-mingw32-gcc-win32 -ffreestanding -nostdlib -nostartfiles -Wl,-e,start -O2 \
  -I"$root/include" "$here/consumer.c" -L"$root/lib" -lgpuproc -o "$scratch/mingw/consumer.exe"
runUnderWine "$scratch/mingw" consumer.exe "MinGW against libgpuproc.dll.a"

# find_package(gpuproc) from the unpacked zip: each toolchain must link the
# import library its linker reads.
cmakeConsumer() {
  local flavour=$1 build="$scratch/cmake-$1" implib=$2
  shift 2
  timeout 300 cmake -S "$here" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release "$@" \
    >"$scratch/cmake.log" 2>&1 &&
    timeout 300 cmake --build "$build" >>"$scratch/cmake.log" 2>&1 ||
    { fail "CMake consumer ($flavour): $(cat "$scratch/cmake.log")"; return 0; }
  grep -q "$implib" "$build/build.ninja" || fail "CMake consumer ($flavour) did not link $implib"
  runUnderWine "$build" consumer.exe "CMake consumer ($flavour)"
}
# The MinGW toolchain confines find_package to its own root: gpuproc_DIR
# names the package.
cmakeConsumer mingw lib/libgpuproc.dll.a -Dgpuproc_DIR="$root/lib/cmake/gpuproc" \
  -DCMAKE_TOOLCHAIN_FILE="$repo/cmake/toolchain-mingw64.cmake" -DCMAKE_C_COMPILER_WORKS=ON
cmakeConsumer clang-cl lib/gpuproc.lib -DCMAKE_PREFIX_PATH="$root" -DCMAKE_TOOLCHAIN_FILE="$here/clang-cl.cmake"

(cd "$root/bin" && timeout 120 "$wine" gpuproc.exe --version >"$scratch/run.out" 2>&1) ||
  fail "gpuproc.exe --version: $(cat "$scratch/run.out")"
grep -q "$version" "$scratch/run.out" || fail "gpuproc.exe --version printed $(cat "$scratch/run.out")"

# The wheel.
wheel="$first/dist/windows/gpuproc-$version-py3-none-win_amd64.whl"
twine check --strict "$wheel" >"$scratch/twine.log" 2>&1 || fail "twine check: $(cat "$scratch/twine.log")"
/usr/bin/python3 - "$wheel" "$root/bin/gpuproc.dll" <<'PY' || fail "the wheel's contents"
import base64, csv, hashlib, io, sys, zipfile
wheel, dll = sys.argv[1], sys.argv[2]
with zipfile.ZipFile(wheel) as archive:
    names = set(archive.namelist())
    info = next(n for n in names if n.endswith(".dist-info/RECORD"))
    distinfo = info.rsplit("/", 1)[0]
    recorded = set()
    for path, digest, size in csv.reader(io.StringIO(archive.read(info).decode())):
        recorded.add(path)
        if path == info:
            continue
        data = archive.read(path)
        algorithm, _, value = digest.partition("=")
        actual = base64.urlsafe_b64encode(hashlib.new(algorithm, data).digest()).rstrip(b"=").decode()
        assert actual == value and int(size) == len(data), f"RECORD does not hold for {path}"
    assert recorded == names, f"RECORD lists {sorted(recorded ^ names)} differently"
    assert archive.read("gpuproc/gpuproc.dll") == open(dll, "rb").read(), "the wheel's DLL is not the zip's"
    assert not any(n.endswith(".so") for n in names), "the wheel carries a .so"
    wheelFile = archive.read(f"{distinfo}/WHEEL").decode()
    assert "Tag: py3-none-win_amd64\n" in wheelFile and "Root-Is-Purelib: false\n" in wheelFile, wheelFile
    assert b"MIT License" in archive.read(f"{distinfo}/LICENSE"), "no licence"
PY
/usr/bin/python3 -m venv "$scratch/venv"
pip=("$scratch/venv/bin/pip" --disable-pip-version-check --no-cache-dir)
"${pip[@]}" install --dry-run --no-index --find-links "$first/dist/windows" --only-binary=:all: \
  --platform win_amd64 --python-version 3.11 --target "$scratch/target" gpuproc >"$scratch/pip.log" 2>&1 &&
  grep -q "Would install gpuproc-$version" "$scratch/pip.log" ||
  fail "pip does not take the wheel for win_amd64: $(cat "$scratch/pip.log")"
if "${pip[@]}" install --dry-run --no-index "$wheel" >"$scratch/pip.log" 2>&1 ||
  ! grep -q "is not a supported wheel on this platform" "$scratch/pip.log"; then
  fail "pip on Linux does not refuse the win_amd64 wheel: $(cat "$scratch/pip.log")"
fi
log "wheel checked"

# Signed with a throw-away certificate; the second copy attaches the
# signatures to its own build and must give the signed zip.
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=gpuproc CI throw-away" \
  -addext "extendedKeyUsage=codeSigning" -keyout "$scratch/key.pem" -out "$scratch/cert.pem" 2>/dev/null
"$first/scripts/windows-release.sh" --cert "$scratch/cert.pem" --key "$scratch/key.pem" >"$scratch/signed.out"
rm -rf "$scratch/signed"
unzip -q "$zip" -d "$scratch/signed"
for binary in gpuproc.dll gpuproc.exe; do
  osslsigncode verify -CAfile "$scratch/cert.pem" -in "$scratch/signed/$name/bin/$binary" \
    >"$scratch/verify.log" 2>&1 || fail "the signature of $binary: $(cat "$scratch/verify.log")"
  cmp -s "$scratch/signed/$name/bin/$binary" "$root/bin/$binary" && fail "$binary was not signed"
done
"$second/scripts/windows-release.sh" --signatures "$first/dist/windows" --ca "$scratch/cert.pem" >/dev/null
cmp -s "$zip" "$second/dist/windows/$name.zip" ||
  fail "the signatures attached to the second build do not give the signed zip"
log "signatures verified and reattached"

# A function the header declares and the DLL does not export stops the
# release before anything is packed.
sed -i 's/^GPUPROC_API const char\* GetGPUSnapshotForAllProcesses(void);$/&\nGPUPROC_API const char* GetGPUNothing(void);/' \
  "$second/include/gpuproc/gpuproc.h"
if "$second/scripts/windows-release.sh" >/dev/null 2>"$scratch/mismatch.log" ||
  ! grep -q "differ from the header's functions \[GetGPUDataForAllProcesses GetGPUDataForProcess GetGPUNothing" \
    "$scratch/mismatch.log"; then
  fail "a declaration the DLL does not export did not stop the release: $(tail -n 3 "$scratch/mismatch.log")"
fi

[ "$failures" = 0 ] || { log "$failures check(s) failed"; exit 1; }
log "release checks passed"
