#!/usr/bin/env bash
# Whole-process figures under Wine, to watch rather than to pass: the saver's steady-state CPU, and the
# X server's, at 1920x1080 and 3840x2160; with the test variant as the service, START to "OK" and the
# release after "STOP" with the display on; and the idle service's context switches per thread, for the
# test variant and for the shipped program.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup-debian.sh >/dev/null
scripts/build.sh >/dev/null
bin=$PWD/build/mingw/bin
envs=()
trap 'for e in "${envs[@]}"; do scripts/wine-env down "$e" >/dev/null 2>&1 || true; done' EXIT

# CPU time of one process (all its threads) in clock ticks.
cpu_ticks() { awk '{print $14 + $15}' /proc/"$1"/stat 2>/dev/null || echo 0; }
hz=$(getconf CLK_TCK)

# The saver's steady state: "/s" as Windows starts it, 4 s to warm up, then 8 s measured, for the saver
# process and, apart, for the X server that shows its frames.
for size in 1920x1080 3840x2160; do
  env=$PWD/build/mingw/bench-$size
  envs+=("$env")
  mkdir -p "$env"
  CALMLANE_SCREEN=${size}x24 scripts/wine-env up "$env" >/dev/null
  (. scripts/wine-env vars "$env"; setsid wine "$bin/Calmlane.exe" /s </dev/null >/dev/null 2>&1 &)
  # The saver of this prefix: another prefix's saver may run on a busy machine.
  saver=""
  for _ in $(seq 1 100); do
    for p in $(pgrep -f 'Calmlane.exe /s' || true); do
      tr '\0' '\n' <"/proc/$p/environ" 2>/dev/null | grep -qx "WINEPREFIX=$env/wineprefix" && saver=$p
    done
    [ -n "$saver" ] && break
    sleep 0.1
  done
  xvfb=$(cat "$env/wine-state/xvfb.pid")
  if [ -z "$saver" ]; then
    echo "saver $size: process not found"
  else
    sleep 4
    s0=$(cpu_ticks "$saver"); x0=$(cpu_ticks "$xvfb")
    sleep 8
    s1=$(cpu_ticks "$saver"); x1=$(cpu_ticks "$xvfb")
    echo "saver $size, steady state over 8 s: $(awk -v s=$((s1 - s0)) -v x=$((x1 - x0)) -v hz="$hz" \
      'BEGIN {printf "%.1f %% of one core in the saver, %.1f %% in the X server", 100 * s / (8 * hz), 100 * x / (8 * hz)}')"
  fi
  scripts/wine-env down "$env" >/dev/null
done

# The idle service's wake-ups: after a 5 s settle, the context switches of each of its threads over 30 s,
# read from /proc/<pid>/task/*/status. Once for the test variant after five sessions (it also reports
# START to OK and the release), once for the shipped Calmlane.exe as installed.
env=$PWD/build/mingw/bench-service
envs+=("$env")
mkdir -p "$env"
scripts/wine-env up "$env" >/dev/null
# "tid name switches" for every thread of a process.
thread_switches() {
  for task in /proc/"$1"/task/*; do
    printf '%s %s %s\n' "${task##*/}" "$(tr ' ' '_' <"$task/comm" 2>/dev/null)" \
      "$(awk '/ctxt_switches/ {n += $2} END {print n + 0}' "$task/status" 2>/dev/null)"
  done
}
for variant in test shipped; do
  out=$(mktemp)
  CALMLANE_BUILD=$env scripts/wine-run "$bin/process_bench.exe" 40 "$variant" >"$out" 2>/dev/null &
  bench=$!
  for _ in $(seq 1 900); do grep -q "idle for" "$out" && break; sleep 0.1; done
  grep -v "idle for" "$out" || true
  service=""
  for p in $(pgrep -f 'Calmlane.exe --service' || true); do
    tr '\0' '\n' <"/proc/$p/environ" 2>/dev/null | grep -qx "WINEPREFIX=$env/wineprefix" && service=$p
  done
  if [ -n "$service" ]; then
    sleep 5
    before=$(thread_switches "$service"); sleep 30; after=$(thread_switches "$service")
    echo "idle service ($variant variant), context switches per second over 30 s:"
    join <(sort <<<"$before") <(sort <<<"$after") |
      awk '{d = ($5 - $3) / 30; total += d; printf "  thread %s (%s): %.2f\n", $1, $2, d} END {printf "  total: %.2f\n", total}'
  else
    echo "idle service ($variant variant): process not found"
  fi
  wait "$bench" || true
  rm -f "$out"
done
