#!/usr/bin/env bash
# A user's path through the menu: open it, choose "立即同步全部" with the keyboard as a
# user would reach it, and see the demo library run the sync and the menu show its job.
set -u
here=$(dirname "$0")
source "$here/lib.sh"
e2e_require
e2e_setup "$1" "$2" sync
export DEMO_SYNC_SECONDS=30

e2e_start_companion
e2e_wait 20 server_up || e2e_fail "the demo library did not come up"
e2e_wait 20 e2e_tray_center >/dev/null || e2e_fail "no icon appeared in the tray"
sleep 1

read -r x y < <(e2e_tray_center)
xdotool mousemove "$x" "$y" click 3
e2e_wait 5 e2e_menu_geometry >/dev/null || e2e_fail "no menu on a right click"
sleep 0.3
# Enabled items from the top: 打开Quenlo, 从剪贴板添加, 本机设置, 立即同步全部.
xdotool key Down Down Down Down
sleep 0.2
e2e_shot sync-chosen
xdotool key Return

jobs_running() { curl -s "http://127.0.0.1:$LOCAL_LIBRARY_PORT/api/menu-status" | grep -q '"kind": "all"'; }
e2e_wait 10 jobs_running || e2e_fail "choosing 立即同步全部 started no sync in the library"
grep -q 'POST /api/sync-all' "$E2E_PROJECT/server.log" || e2e_fail "the library got no POST /api/sync-all"

sleep 2.5 # the poll that follows the command
xdotool mousemove "$x" "$y" click 3
e2e_wait 5 e2e_menu_geometry >/dev/null || e2e_fail "the menu did not open again"
sleep 2.5 # open-menu polling every 2 s
e2e_shot menu-syncing
read -r mx my mw mh < <(e2e_menu_geometry)
((mh > 260)) || e2e_fail "the menu did not grow a job line (${mh} px)"
xdotool key Escape
echo "screenshots in $E2E_SHOTS"
echo "PASS: 立即同步全部 started the sync and the menu shows its job"
