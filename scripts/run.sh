#!/usr/bin/env bash
# Sets everything up, builds, and shows the product's main job under Wine: the setup program installs it
# machine-wide (service, Apps-list entry, logon start, shortcut), a whole pause session runs, and the
# uninstaller removes it again.
# The service runs as a real service in Wine's service manager; the saver runs under Xvfb and holds a
# 6-second session with it. What Wine cannot do is simulated, and the output says where.
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
folder='C:\Program Files\Calmlane'
echo "Calmlane under Wine (prefix $WINEPREFIX)"
echo
echo "What Wine cannot do, and what this run does instead:"
echo "- No Windows file security: the shipped 'Calmlane Setup.exe' refuses every folder there as unprotected,"
echo "  which is right for a system without it. This run uses its test build, 'Calmlane Setup-test.exe', which"
echo "  reads each folder's security descriptor from a table that gives Program Files and C:\\ their Windows ones,"
echo "  and the installation folder the one the installer sets; it installs the uninstaller's test build too."
echo "- No Windows Filtering Platform: the program that setup build carries is the test build Calmlane-test.exe,"
echo "  whose filtering-platform calls are simulated."
echo "- No failure actions in its service manager: the service's restart-on-failure settings are not kept."
echo
store='HKLM\SOFTWARE\CalmlaneTest'
# The Windows 10/11 descriptors of C:\ and C:\Program Files (owner TrustedInstaller).
ti='S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464'
root="O:${ti}D:PAI(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)(A;OICI;0x1200a9;;;BU)(A;OICIIO;SDGXGWGR;;;AU)(A;;LC;;;AU)"
pf="O:${ti}D:PAI(A;;FA;;;${ti})(A;CIIO;GA;;;${ti})(A;;0x1301bf;;;SY)(A;OICIIO;GA;;;SY)(A;;0x1301bf;;;BA)"
pf+="(A;OICIIO;GA;;;BA)(A;;0x1200a9;;;BU)(A;OICIIO;GXGR;;;BU)(A;OICIIO;GA;;;CO)"
installed='O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;GRGX;;;BU)'
for entry in "C:\\Program Files=$pf" "C:\\=$root" "$folder=$installed"; do
  wine reg add "$store\\FolderAttributes" /v "${entry%%=*}" /t REG_DWORD /d 16 /f >/dev/null
  wine reg add "$store\\FolderSecurity" /v "${entry%%=*}" /t REG_SZ /d "${entry#*=}" /f >/dev/null
done
echo "Installing: \"Calmlane Setup-test.exe\" --install-silent \"$folder\""
if scripts/wine-run "$build/bin/Calmlane Setup-test.exe" --install-silent "$folder"; then
  echo "Installed: service CalmlaneNative running, files in $folder, Apps-list entry, Run value, Start menu shortcut."
else
  echo "The setup program failed." >&2
  exit 1
fi
scripts/wine-run "$build/bin/pause_demo.exe" "$bmp" --installed
scripts/bmp-to-png "$build/star-field.bmp" "$shot" && rm -f "$build/star-field.bmp"
echo "Star field screenshot: $shot"
window=$build/main-window.png
if scripts/wine-run "$folder\\Calmlane.exe" --ui-test 1 0 "$(winepath -w "$build/main-window.bmp")" &&
  scripts/bmp-to-png "$build/main-window.bmp" "$window"; then
  rm -f "$build/main-window.bmp"
  echo "Main window after the session (installed, English): $window"
else
  echo "The main window's self-test wrote no picture." >&2
  exit 1
fi
echo "Uninstalling: \"$folder\\Uninstall.exe\" --uninstall --quiet"
if scripts/wine-run "$folder\\Uninstall.exe" --uninstall --quiet; then
  echo "Uninstalled: service, files, folder, shortcut and machine settings removed."
else
  echo "The uninstaller failed." >&2
  exit 1
fi
wine reg delete "$store" /f >/dev/null 2>&1 || true
