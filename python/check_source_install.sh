#!/usr/bin/env bash
# python/check_source_install.sh PROJECT FIXTURES LIBRARY: `pip install ./python`
# as its README gives it, into a fresh venv without the package index: once
# without GPUPROC_LIBRARY (the build runs the project's CMake), again from a
# copy of that checkout made after it (what the first build left inside
# python/ travels with the copy, as with `cp -r` or a moved checkout), and
# once with a GPUPROC_LIBRARY relative to pip's directory naming LIBRARY;
# after each, `python -m gpuproc` on the multi tree. Exits 77 when Debian's
# python3-venv, python3-setuptools or python3-wheel is missing.
set -euo pipefail
project=$(realpath "$1") fixtures=$(realpath "$2") library=$(realpath "$3")
python=/usr/bin/python3
for module in venv ensurepip setuptools wheel; do
  "$python" -c "import $module" 2>/dev/null || { echo "skipped: $python cannot import $module"; exit 77; }
done

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
export PIP_NO_CACHE_DIR=1 PIP_DISABLE_PIP_VERSION_CHECK=1
# A copy of what the build reads, as the repository holds it: pip builds
# inside python/, and what an earlier build left there in PROJECT is no part
# of the checkout. Files not yet committed count; ignored ones do not.
mkdir "$scratch/src"
parts=(CMakeLists.txt cmake include src python)
if git -C "$project" rev-parse --is-inside-work-tree >/dev/null 2>&1; then
  (cd "$project" && git ls-files -z --cached --others --exclude-standard -- "${parts[@]}" |
    xargs -0 cp --parents -t "$scratch/src")
else
  (cd "$project" && cp -r "${parts[@]}" "$scratch/src/")
fi
# Debian's setuptools and wheel stand in for the build isolation's download.
"$python" -m venv --system-site-packages "$scratch/venv"
pip=("$scratch/venv/bin/pip" install --no-index --no-build-isolation --force-reinstall --no-deps)

table="GPU NAME                              PCI     COMMITTED      FREE    POWER TEMP
  0 Intel Corporation Raptor Lake-S ~ 00:02.0         -         -        -    -
  1 Advanced Micro Devices, Inc. [AM~ 03:00.0    1280.0    7168.0        -    -

    PID NAME                    GPU DEDICATED  SHARED COMMITTED   3D OTHER
   2000 blender                 1       128.0     8.0     264.0   0% -
   2000 blender                 0         0.0    96.0     128.0   0% Copy 0%"
showsTable() {
  local shown
  # From elsewhere, so that the installed package is imported, not the copy.
  shown=$(cd / && HOST_PROC=$fixtures/multi/proc HOST_SYS=$fixtures/multi/sys "$scratch/venv/bin/python" -m gpuproc)
  [ "$shown" = "$table" ] || { echo "FAIL $1: python -m gpuproc printed [$shown]" >&2; exit 1; }
}
installed() { "$scratch/venv/bin/python" -c 'import gpuproc, os; print(os.path.dirname(gpuproc.__file__))'; }

cd "$scratch/src"
start=$SECONDS
env -u GPUPROC_LIBRARY CMAKE_BUILD_PARALLEL_LEVEL="${JOBS:-2}" "${pip[@]}" ./python >"$scratch/log" 2>&1 ||
  { cat "$scratch/log"; exit 1; }
echo "pip install ./python built and installed the library in $((SECONDS - start)) s"
showsTable "built by pip"

# The same checkout copied elsewhere, with what that build left in python/.
[ -e "$scratch/src/python/build" ] ||
  echo "note: pip left no python/build/ to carry along"
cp -a "$scratch/src" "$scratch/copy"
(cd "$scratch/copy" && env -u GPUPROC_LIBRARY CMAKE_BUILD_PARALLEL_LEVEL="${JOBS:-2}" "${pip[@]}" ./python) \
  >"$scratch/log" 2>&1 || { cat "$scratch/log"; echo "FAIL: pip install ./python in a copy of the checkout" >&2; exit 1; }
showsTable "built by pip in a copy of the checkout"

relative=$(realpath --relative-to="$scratch/src" "$library")
GPUPROC_LIBRARY=$relative "${pip[@]}" ./python >"$scratch/log" 2>&1 || { cat "$scratch/log"; exit 1; }
cmp -s "$library" "$(installed)/libgpuproc.so" ||
  { echo "FAIL: GPUPROC_LIBRARY=$relative is not the library installed" >&2; exit 1; }
showsTable "GPUPROC_LIBRARY=$relative"
echo "source install checks passed"
