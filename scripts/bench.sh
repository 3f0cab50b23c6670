#!/usr/bin/env bash
# Sets everything up, builds, and runs the benchmarks under Wine; they print their own figures.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup-debian.sh
scripts/build.sh >/dev/null
build=$PWD/build/mingw
trap 'scripts/wine-env down "$build" >/dev/null 2>&1 || true' EXIT
scripts/wine-env up "$build"
scripts/wine-run "$build/bin/star_bench.exe"
