#!/usr/bin/env bash
# Mutation test of the pure code that builds natively: every single-line mutant by the fixed rules of
# tests/native/mutants.py is rebuilt and run against the native tests and, briefly, the fuzzers.
# Prints each survivor and "mutants: K killed of N (P %)"; fails when P is below tests/native/mutation-floor.
# The tests that killed each mutant go to BUILD_FOLDER/kills.json; --by-test also prints, per test, the
# mutants that only it kills, and the tests that kill none of their own.
#   scripts/mutants.sh [--by-test] [BUILD_FOLDER]
set -euo pipefail
cd "$(dirname "$0")/.."
options=()
if [ "${1:-}" = --by-test ]; then options+=(--by-test); shift; fi
build=${1:-$PWD/build/mutants}
# Only the native toolchain is needed; the full setup runs when part of it is missing.
if ! command -v clang++ >/dev/null || ! command -v ninja >/dev/null || ! command -v cmake >/dev/null ||
    [ ! -d /usr/src/googletest ]; then
  scripts/setup-debian.sh
fi
exec python3 tests/native/mutants.py "$build" --floor tests/native/mutation-floor "${options[@]}"
