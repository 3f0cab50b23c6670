#!/usr/bin/env bash
# Writes a picture of every page of the main window in every language to build/mingw/ui/, for a person
# to review: the four pages in the six languages at 100 %, the main and customise pages at 150 % and
# 200 %, and the main page offering an update. Each picture comes from the program's own self-test
# (Calmlane.exe --ui-test LANGUAGE PAGE FILE [VERSION]), in a Wine prefix of its own with a large screen,
# so that changing its DPI never touches the test prefix.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup-debian.sh
scripts/build.sh >/dev/null
build=$PWD/build/mingw
env=$build/ui-gallery-env
out=$build/ui
mkdir -p "$env" "$out"
export CALMLANE_SCREEN=2560x1600x24
trap 'scripts/wine-env down "$env" >/dev/null 2>&1 || true' EXIT
scripts/wine-env up "$env" >/dev/null
. scripts/wine-env vars "$env"
export CALMLANE_BUILD=$env

languages=(fr en de zh es it)
pages=(main customize network-mode about)
shot() {  # language page name [version]
  local bmp=$env/capture.bmp attempt
  rm -f "$bmp"
  # A second attempt covers a start that the freshly made prefix was still busy with.
  for attempt in 1 2; do
    timeout 60 scripts/wine-run "$build/bin/Calmlane.exe" --ui-test "$1" "$2" "$(winepath -w "$bmp")" ${4:+"$4"} \
      </dev/null >>"$env/capture.log" 2>&1 || echo "exit $? for $3" >>"$env/capture.log"
    [ -s "$bmp" ] && break
  done
  if [ -s "$bmp" ]; then
    scripts/bmp-to-png "$bmp" "$out/$3.png"
    echo "$out/$3.png"
  else
    echo "ui-gallery: no picture for $3" >&2
    return 1
  fi
}
dpi() {
  wine reg add 'HKCU\Control Panel\Desktop' /v LogPixels /t REG_DWORD /d "$1" /f </dev/null >/dev/null 2>&1
}

dpi 96
for l in "${!languages[@]}"; do
  for p in "${!pages[@]}"; do shot "$l" "$p" "${pages[$p]}-${languages[$l]}-100"; done
done
shot 1 0 "main-en-100-update-available" 1.2.0
for scale in 150 200; do
  dpi $((scale * 96 / 100))
  shot 1 0 "main-en-$scale"
  shot 1 1 "customize-en-$scale"
done
dpi 96
echo "ui-gallery: $(ls "$out"/*.png | wc -l) pictures in $out"
