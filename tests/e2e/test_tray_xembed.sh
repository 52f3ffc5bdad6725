#!/usr/bin/env bash
# The companion on the demo library in a real XEmbed tray (trayer under Xvfb): its icon
# shows, a right click opens the full menu, and the menu shows the live status.
set -u
here=$(dirname "$0")
source "$here/lib.sh"
e2e_require
e2e_setup "$1" "$2" tray

e2e_start_companion
e2e_wait 20 server_up || e2e_fail "the demo library did not come up"
e2e_wait 20 e2e_tray_center >/dev/null || e2e_fail "no icon appeared in the tray"
sleep 1.5 # the first poll after the start
e2e_shot tray

read -r x y < <(e2e_tray_center)
xdotool mousemove "$x" "$y" click 3
e2e_wait 5 e2e_menu_geometry >/dev/null || e2e_fail "a right click on the icon opened no menu"
sleep 0.5
e2e_shot menu
read -r mx my mw mh < <(e2e_menu_geometry)
echo "menu at ${mx},${my} size ${mw}x${mh}"
((mh > 200)) || e2e_fail "the menu is too short (${mh} px) for its thirteen visible items"
xdotool key Escape
sleep 0.5
echo "screenshots in $E2E_SHOTS"
echo "PASS: icon in the tray, menu opens on a right click"
