#!/usr/bin/env bash
# Sets everything up, builds, and runs every test under Wine and the native tests with their fuzzers; the
# mutation test, a measurement of several minutes, is scripts/mutants.sh (.ci/run runs both). Leaves
# nothing running behind it.
set -euo pipefail
cd "$(dirname "$0")/.."
start=$SECONDS
scripts/setup-debian.sh
scripts/build.sh
build=$PWD/build/mingw
trap 'scripts/wine-env down "$build" >/dev/null 2>&1 || true' EXIT
tests=$SECONDS
status=0
ctest --preset mingw "$@" || status=$?
echo "test.sh: $((SECONDS - tests)) s of CTest, $((SECONDS - start)) s in all"
exit $status
