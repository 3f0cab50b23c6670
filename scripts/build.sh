#!/usr/bin/env bash
# Configures and builds the cross build into build/mingw.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --preset mingw >/dev/null
cmake --build --preset mingw
