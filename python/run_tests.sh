#!/usr/bin/env bash
# python/run_tests.sh LIBRARY FIXTURES [HOST]: builds the wheel around the
# built LIBRARY (libgpuproc.so), installs it into a fresh venv and runs the
# package's tests there over the FIXTURES trees (HOST: the gpuproc command
# whose table `python -m gpuproc` repeats). The type check is a test of its
# own (python.type_check). Exits 77 when Debian's python3-build or
# python3-venv is missing.
set -euo pipefail
library=$(realpath "$1") fixtures=$(realpath "$2") host=${3:+$(realpath "$3")}
here=$(cd "$(dirname "$0")" && pwd)
python=/usr/bin/python3
for module in build venv setuptools wheel; do
  "$python" -c "import $module" 2>/dev/null || { echo "skipped: python3-$module is missing"; exit 77; }
done

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
# Build from a copy: setuptools writes build/ and *.egg-info next to the sources.
# The licence lies beside it, as in the project.
cp -r "$here" "$scratch/source"
cp "$here/../LICENSE" "$scratch/LICENSE"
GPUPROC_LIBRARY=$library "$python" -m build --no-isolation --wheel --outdir "$scratch/dist" \
  "$scratch/source" >"$scratch/build.log" 2>&1 || { cat "$scratch/build.log"; exit 1; }
wheel=$(ls "$scratch"/dist/gpuproc-*.whl)
case $wheel in
  *-none-any.whl) echo "FAIL: $wheel is tagged as pure Python but carries libgpuproc.so" >&2; exit 1 ;;
esac

# Both wheels carry the licence; a GPUPROC_LIBRARY ending in .dll makes a
# win_amd64 wheel holding it as gpuproc/gpuproc.dll, whatever builds it.
printf 'MZ stand-in for gpuproc.dll' >"$scratch/gpuproc.dll"
GPUPROC_LIBRARY=$scratch/gpuproc.dll "$python" -m build --no-isolation --wheel --outdir "$scratch/windows" \
  "$scratch/source" >"$scratch/build.log" 2>&1 || { cat "$scratch/build.log"; exit 1; }
"$python" - "$wheel" "$scratch"/windows/*.whl "$scratch/gpuproc.dll" <<'PY'
import os, re, sys, zipfile
linux, windows, dll = sys.argv[1:]
assert re.fullmatch(r"gpuproc-[0-9.]+-py3-none-win_amd64\.whl", os.path.basename(windows)), windows
for path, library, other in ((linux, "gpuproc/libgpuproc.so", "gpuproc/gpuproc.dll"),
                             (windows, "gpuproc/gpuproc.dll", "gpuproc/libgpuproc.so")):
    with zipfile.ZipFile(path) as archive:
        names = archive.namelist()
        assert library in names and other not in names, (path, names)
        licence = [n for n in names if n.endswith(".dist-info/LICENSE")]
        assert licence and b"MIT License" in archive.read(licence[0]), (path, names)
        if library.endswith(".dll"):
            assert archive.read(library) == open(dll, "rb").read()
            assert b"Tag: py3-none-win_amd64" in archive.read(licence[0].replace("LICENSE", "WHEEL"))
PY
echo "built $(basename "$scratch"/windows/*.whl)"

"$python" -m venv "$scratch/venv"
"$scratch/venv/bin/pip" install --quiet --no-index --no-deps "$wheel"
echo "installed $(basename "$wheel")"
# From the tests' folder, so that the installed package is imported, not the sources.
cd "$here/tests"
# GPUPROC_TEST_PRELOAD: the sanitizer runtime a sanitized library needs
# loaded first in the uninstrumented interpreter.
GPUPROC_FIXTURES=$fixtures GPUPROC_HOST=$host GPUPROC_EXAMPLE=$here/../examples/python/top_gpu_processes.py \
  LD_PRELOAD=${GPUPROC_TEST_PRELOAD:-} "$scratch/venv/bin/python" -m unittest -v test_gpuproc
