#!/usr/bin/env bash
# Mutation test of the pure code that builds natively: every single-line mutant by the fixed rules of
# tests/native/mutants.py is rebuilt and run against the native tests and, when they let it live, briefly
# against the fuzzers. Prints each survivor, where the time went, and "mutants: K killed of N (P %)"; fails
# when P is below tests/native/mutation-floor.
# The tests that killed each mutant go to BUILD_FOLDER/kills.json; --by-test also prints, per test, the
# mutants that only it kills, and the tests that kill none of their own. --file runs only the mutants of
# that file (repeatable), for a developer who changed it.
#   scripts/mutants.sh [--by-test] [--file src/PATH.cpp]... [BUILD_FOLDER]
set -euo pipefail
cd "$(dirname "$0")/.."
options=()
while [ $# -gt 0 ]; do
  case "$1" in
    --by-test) options+=(--by-test); shift ;;
    --file) options+=(--source "${2:?--file needs a source file}"); shift 2 ;;
    --file=*) options+=(--source "${1#--file=}"); shift ;;
    -*) echo "mutants.sh: unknown option $1" >&2; exit 2 ;;
    *) break ;;
  esac
done
build=${1:-$PWD/build/mutants}
# Only the native toolchain is needed; the full setup runs when part of it is missing.
if ! command -v clang++ >/dev/null || ! command -v ninja >/dev/null || ! command -v cmake >/dev/null ||
    [ ! -d /usr/src/googletest ]; then
  scripts/setup-debian.sh
fi
start=$SECONDS
status=0
python3 tests/native/mutants.py "$build" --floor tests/native/mutation-floor "${options[@]}" || status=$?
echo "mutants.sh: $((SECONDS - start)) s"
exit $status
