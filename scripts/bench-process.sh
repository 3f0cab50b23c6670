#!/usr/bin/env bash
# Whole-process figures under Wine, to watch rather than to pass: the saver's CPU seconds per second of
# animation at 1920x1080 and 3840x2160, and with the test variant as the service, START to "OK", the
# release after "STOP" with the display on, and the idle service's wake-ups per second.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup-debian.sh >/dev/null
scripts/build.sh >/dev/null
bin=$PWD/build/mingw/bin
envs=()
trap 'for e in "${envs[@]}"; do scripts/wine-env down "$e" >/dev/null 2>&1 || true; done' EXIT

for size in 1920x1080 3840x2160; do
  env=$PWD/build/mingw/bench-$size
  envs+=("$env")
  mkdir -p "$env"
  CALMLANE_SCREEN=${size}x24 scripts/wine-env up "$env" >/dev/null
  # --preview-test animates for 3 s; process start-up is included in both figures.
  times=$(mktemp)
  (. scripts/wine-env vars "$env"; /usr/bin/time -o "$times" -f "%U %S %e" wine "$bin/Calmlane.exe" --preview-test \
      >/dev/null 2>&1)
  read -r user sys wall <"$times"
  rm -f "$times"
  echo "saver $size: $(echo "$user $sys $wall" | awk '{printf "%.2f CPU s over %.2f s = %.2f CPU s per s", $1 + $2, $3, ($1 + $2) / $3}')"
  scripts/wine-env down "$env" >/dev/null
done

env=$PWD/build/mingw/bench-service
envs+=("$env")
mkdir -p "$env"
scripts/wine-env up "$env" >/dev/null
out=$(mktemp)
CALMLANE_BUILD=$env scripts/wine-run "$bin/process_bench.exe" 10 >"$out" 2>/dev/null &
bench=$!
for _ in $(seq 1 600); do grep -q "idle for" "$out" && break; sleep 0.1; done
grep -v "idle for" "$out" || true
service=$(pgrep -f 'Calmlane.exe --service' | head -1 || true)
switches() { cat /proc/"$service"/task/*/status 2>/dev/null | awk '/ctxt_switches/ {n += $2} END {print n + 0}'; }
if [ -n "$service" ]; then
  sleep 1
  before=$(switches); sleep 5; after=$(switches)
  echo "idle service: $(( (after - before) / 5 )) wake-ups per second (its loop waits 50 ms)"
else
  echo "idle service: process not found"
fi
wait "$bench" || true
rm -f "$out"
