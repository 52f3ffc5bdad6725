#!/usr/bin/env bash
# Regenerates the screenshots under docs/: the companion in a real tray (trayer under Xvfb)
# on the demo library with two jobs running, with its server down, in NAS mode, and the
# login dialog. Usage: tests/e2e/screenshots.sh build/quenlo-menubar [output folder]
set -u
here=$(cd "$(dirname "$0")" && pwd)
top=$(cd "$here/../.." && pwd)
bin=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
out=${2:-$top/docs}
mkdir -p "$out"
source "$here/lib.sh"
e2e_require

crop_menu() { # NAME: the menu and the tray corner, from the last full shot
  local mx my mw mh
  read -r mx my mw mh < <(e2e_menu_geometry)
  local w=$((1024 - mx + 8)) h=$((my + mh + 8))
  convert "$E2E_SHOTS/$1.png" -crop "${w}x${h}+$((mx - 8))+0" +repage "$out/$1.png"
}

open_menu() {
  local x y
  read -r x y < <(e2e_tray_center)
  xdotool mousemove "$x" "$y" click 3
  e2e_wait 5 e2e_menu_geometry >/dev/null || e2e_fail "no menu"
  sleep 2.5 # one open-menu poll
}

# 1. Two jobs running: a full sync and a video download from a link on the clipboard.
E2E_SHOTS=$(mktemp -d)
e2e_setup "$bin" "$top" shots
export DEMO_SYNC_SECONDS=120
e2e_start_companion
e2e_wait 20 server_up || e2e_fail "the demo library did not come up"
e2e_wait 20 e2e_tray_center >/dev/null || e2e_fail "no icon"
base="http://127.0.0.1:$LOCAL_LIBRARY_PORT"
curl -s -X POST -H 'X-Quenlo: 1' -H 'Content-Type: application/json' -d '{}' "$base/api/sync-all" >/dev/null
curl -s -X POST -H 'X-Quenlo: 1' -H 'Content-Type: application/json' \
  -d '{"text":"https://www.youtube.com/watch?v=demo"}' "$base/api/clipboard-add" >/dev/null
curl -s -X POST -H 'X-Quenlo: 1' -H 'Content-Type: application/json' -d '{}' "$base/api/sync-all" >/dev/null
curl -s -X POST -H 'X-Quenlo: 1' -H 'Content-Type: application/json' -d '{"hours":6}' "$base/api/autosync" >/dev/null
sleep 6
open_menu
e2e_shot menu-jobs
crop_menu menu-jobs
xdotool key Escape

# 2. The server down (stopped behind the companion's back).
kill $(lsof -ti "tcp:$LOCAL_LIBRARY_PORT" -sTCP:LISTEN)
sleep 1
open_menu
e2e_shot menu-down
crop_menu menu-down
xdotool key Escape
e2e_teardown
trap - EXIT

# 3. NAS mode: the companion alone, without a project folder, and its login dialog.
e2e_setup "$bin" "$top" shots-nas
rm -f "$E2E_PROJECT/server.py" "$E2E_PROJECT/runtime-python"
e2e_start_companion
e2e_wait 20 e2e_tray_center >/dev/null || e2e_fail "no icon in NAS mode"
sleep 1
open_menu
e2e_shot menu-nas
crop_menu menu-nas
# 本机设置 is the third enabled item; its second entry is the login.
xdotool key Down Down Down Right Down Return
sleep 1.5
e2e_shot login
dialog=$(xdotool search --onlyvisible --name '本地Quenlo' 2>/dev/null | while read -r w; do
  eval "$(xdotool getwindowgeometry --shell "$w")"; ((HEIGHT > 80)) && echo "$X $Y $WIDTH $HEIGHT"; done | head -1)
if [[ -n $dialog ]]; then
  read -r dx dy dw dh <<<"$dialog"
  convert "$E2E_SHOTS/login.png" -crop "$((dw + 16))x$((dh + 16))+$((dx - 8))+$((dy - 8))" +repage "$out/login.png"
else
  cp "$E2E_SHOTS/login.png" "$out/login.png"
fi
echo "screenshots written to $out"
