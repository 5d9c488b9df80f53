#!/usr/bin/env bash
# Starts VLVPNDesk.exe under Wine in a virtual desktop (Xvfb), with a stub interface
# that reports a connected tunnel to the tray, and saves what a person would see:
# the host window, and the tray icon with its menu open. Usage: screenshot.sh <windows bin> <out dir>
set -euo pipefail
BIN=$(cd "$1" && pwd)
mkdir -p "$2"
OUT=$(cd "$2" && pwd)
mkdir -p "$OUT"
WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT
mkdir -p "$WORK/app/Bundle" "$WORK/data"
cp "$BIN/VLVPNDesk.exe" "$WORK/app/"
cp "$BIN/stub-bundle.exe" "$WORK/app/node.exe"
cat >"$WORK/app/Bundle/index.windows" <<'BUNDLE'
C:\windows\temp\vlvpn-screenshot-record.txt
{"id":1,"module":"VLVPNTunnel","method":"updateMenuBarMenu","args":["{\"connected\":true,\"serverLabel\":\"Z\\u00fcrich 3\",\"dedicated\":[{\"id\":\"zrh\",\"label\":\"Z\\u00fcrich 3\"},{\"id\":\"fra\",\"label\":\"Frankfurt \\\"Main\\\"\"}]}"]}
BUNDLE

export WORK OUT BIN
xvfb-run -a -s "-screen 0 1280x800x24" bash -c '
  export VLVPN_DATA_ROOT=$(winepath -w "$WORK/data")
  wineserver -p; wine cmd /c exit 0
  wine explorer /desktop=Velunor,1280x800 "$(winepath -w "$WORK/app/VLVPNDesk.exe")" >/dev/null 2>&1 &
  sleep 8
  import -window root "$OUT/host-window.png"
  wine explorer /desktop=Velunor,1280x800 "$(winepath -w "$BIN/tray-poke.exe")" menu 1240 780 || true
  sleep 3
  import -window root "$OUT/tray-menu.png"
  wine explorer /desktop=Velunor,1280x800 "$(winepath -w "$BIN/tray-poke.exe")" exit || true
  sleep 1
  wineserver -k
' "$BIN/screenshot"
echo "saved $OUT/host-window.png and $OUT/tray-menu.png"
