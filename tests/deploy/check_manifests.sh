#!/usr/bin/env bash
# check_manifests.sh MANIFEST_DIR EXPORTER SCRATCH: installs the schema
# validators of package.json from npm into SCRATCH (kept between runs) and
# runs check_manifests.mjs, which also starts the exporter with the
# DaemonSet's arguments. Exits 77 (skipped) without node and npm, or when
# the registry cannot be reached.
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
manifests=$1 exporter=$2 scratch=$3
if ! command -v node >/dev/null || ! command -v npm >/dev/null; then
  echo "skipped: node and npm are not installed (Debian: nodejs npm; the validators then come from the npm registry)"
  exit 77
fi
mkdir -p "$scratch"
cp "$here/package.json" "$here/check_manifests.mjs" "$scratch/"
if [ ! -d "$scratch/node_modules/kubernetes-models" ] &&
  ! (cd "$scratch" && timeout 300 npm install --no-audit --no-fund --loglevel=error --engine-strict=false \
    >"$scratch/npm.log" 2>&1); then
  echo "skipped: the validators could not be installed from npm:"
  tail -5 "$scratch/npm.log"
  exit 77
fi
exec node "$scratch/check_manifests.mjs" "$manifests" "$exporter"
