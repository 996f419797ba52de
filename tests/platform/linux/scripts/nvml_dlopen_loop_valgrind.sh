#!/bin/sh
# nvml_dlopen_loop_valgrind.sh LOOP LIBGPUPROC FAKE_NVML_DIR
# The dlopen/dlclose loop under valgrind: any leak or memory error fails.
# Exit 77 (reported as skipped) where valgrind is not installed.
set -eu
loop=$1 library=$2 fakeDir=$3
if ! command -v valgrind >/dev/null 2>&1; then
  echo "skipped: valgrind is not installed"
  exit 77
fi
LD_LIBRARY_PATH="$fakeDir${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}" \
  exec valgrind --quiet --leak-check=full --errors-for-leak-kinds=definite,indirect,possible \
  --error-exitcode=1 "$loop" "$library" 50
