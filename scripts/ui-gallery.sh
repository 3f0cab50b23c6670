#!/usr/bin/env bash
# Writes a picture of every page of the main window in every language to build/mingw/ui/, for a person
# to review: the four pages in the six languages at 100 %, the main and customise pages at 150 % and
# 200 %, the main page offering an update, the closed language box at 100 % and 200 % (cut out of the
# main page), the customise page as the "Settings…" button of Windows' screen saver dialog opens it
# (owned by that dialog: no idle field) in the six languages, and the main and customise pages in high
# contrast. Each picture comes from the program's own self-test
# (Calmlane.exe --ui-test LANGUAGE PAGE FILE [VERSION]) or, for the dialog's page, from
# hosted_page_shot, in a Wine prefix of its own with a large screen, so that changing its DPI or colours
# never touches the test prefix. High contrast: Wine cannot switch it on, so those pictures come from
# the test variant, told by its double store to report it on, with a high-contrast colour scheme.
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
bmp=$env/capture.bmp
program=Calmlane.exe
pages=(main customize network-mode about)
capture() {  # name program arguments... (the program writes $bmp)
  local name=$1 attempt
  shift
  rm -f "$bmp"
  # A second attempt covers a start that the freshly made prefix was still busy with.
  for attempt in 1 2; do
    timeout 60 scripts/wine-run "$@" </dev/null >>"$env/capture.log" 2>&1 || echo "exit $? for $name" >>"$env/capture.log"
    [ -s "$bmp" ] && break
  done
  if [ -s "$bmp" ]; then
    scripts/bmp-to-png "$bmp" "$out/$name.png"
    echo "$out/$name.png"
  else
    echo "ui-gallery: no picture for $name" >&2
    return 1
  fi
}
shot() {  # language page name [version]
  capture "$3" "$build/bin/$program" --ui-test "$1" "$2" "$(winepath -w "$bmp")" ${4:+"$4"}
}
language_box() {  # name scale: the top right corner of the last main page, where the closed box is
  scripts/bmp-to-png "$bmp" "$out/$1.png" $((-320 * $2 / 100)) 0 $((320 * $2 / 100)) $((120 * $2 / 100))
  echo "$out/$1.png"
}
contrast() {  # on | off
  if [ "$1" = on ]; then
    wine reg export 'HKCU\Control Panel\Colors' "$env/colors.reg" /y </dev/null >/dev/null 2>&1 || rm -f "$env/colors.reg"
    touch "$env/high-contrast"  # until the colours are back, also after an interrupted run
    local pair
    for pair in "Window=0 0 0" "WindowText=255 255 255" "ButtonFace=0 0 0" "ButtonText=255 255 255" \
      "Hilight=26 235 255" "HilightText=0 0 0" "GrayText=63 242 63"; do
      wine reg add 'HKCU\Control Panel\Colors' /v "${pair%%=*}" /t REG_SZ /d "${pair#*=}" /f </dev/null >/dev/null 2>&1
    done
    wine reg add 'HKLM\SOFTWARE\CalmlaneTest' /v HighContrast /t REG_DWORD /d 1 /f </dev/null >/dev/null 2>&1
    program=Calmlane-test.exe
  else
    if [ -f "$env/high-contrast" ]; then
      wine reg delete 'HKCU\Control Panel\Colors' /f </dev/null >/dev/null 2>&1 || true
      if [ -f "$env/colors.reg" ]; then wine reg import "$env/colors.reg" </dev/null >/dev/null 2>&1; fi
      wine reg delete 'HKLM\SOFTWARE\CalmlaneTest' /f </dev/null >/dev/null 2>&1 || true
      rm -f "$env/high-contrast"
    fi
    program=Calmlane.exe
  fi
}
dpi() {
  wine reg add 'HKCU\Control Panel\Desktop' /v LogPixels /t REG_DWORD /d "$1" /f </dev/null >/dev/null 2>&1
}

contrast off
dpi 96
for l in "${!languages[@]}"; do
  for p in "${!pages[@]}"; do shot "$l" "$p" "${pages[$p]}-${languages[$l]}-100"; done
  capture "customize-windows-dialog-${languages[$l]}-100" "$build/bin/hosted_page_shot.exe" "$l" "$(winepath -w "$bmp")"
done
shot 1 0 "main-en-100"
language_box "language-box-en-100" 100
shot 1 0 "main-en-100-update-available" 1.2.0
for scale in 150 200; do
  dpi $((scale * 96 / 100))
  shot 1 0 "main-en-$scale"
  if [ "$scale" = 200 ]; then language_box "language-box-en-200" 200; fi
  shot 1 1 "customize-en-$scale"
done
dpi 96
contrast on
shot 1 0 "main-en-100-high-contrast"
shot 1 1 "customize-en-100-high-contrast"
contrast off
echo "ui-gallery: $(ls "$out"/*.png | wc -l) pictures in $out"
