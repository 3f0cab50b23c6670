#!/usr/bin/env bash
# Sets everything up, builds, and shows the product's main job under Wine: a whole pause session.
# The service runs as a real service in Wine's service manager; the saver runs under Xvfb and holds a
# 6-second session with it. Wine has no filtering platform, so the service is the test build whose
# firewall calls are simulated (the product build would call the real Windows Filtering Platform).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup-debian.sh
scripts/build.sh >/dev/null
build=$PWD/build/mingw
trap 'scripts/wine-env down "$build" >/dev/null 2>&1 || true' EXIT
scripts/wine-env up "$build"
shot=$build/star-field.png
. scripts/wine-env vars "$build"
bmp=$(winepath -w "$build/star-field.bmp")
echo "Calmlane pause session under Wine (prefix $WINEPREFIX)"
scripts/wine-run "$build/bin/pause_demo.exe" "$bmp"
convert "$build/star-field.bmp" "$shot" && rm -f "$build/star-field.bmp"
echo "Star field screenshot: $shot"
