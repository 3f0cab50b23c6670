#!/usr/bin/env bash
# Sets everything up, builds, and runs every test under Wine. Leaves nothing running behind it.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup-debian.sh
scripts/build.sh
build=$PWD/build/mingw
trap 'scripts/wine-env down "$build" >/dev/null 2>&1 || true' EXIT
ctest --preset mingw "$@"
