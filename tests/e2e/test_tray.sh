#!/usr/bin/env bash
# test_tray.sh BINARY SOURCE_DIR: in a real XEmbed tray (trayer, Xvfb), 立即同步全部 from the icon's menu syncs.
set -u -o pipefail
for tool in Xvfb trayer xdotool; do command -v $tool >/dev/null || { echo "SKIP: no $tool"; exit 77; }; done
fail() { echo "FAIL: $*"; cat "$TMPDIR/out"; exit 1; }
cp "$2"/examples/demo-library/{server.py,runtime-python} "$1" "$TMPDIR/" # the library it supervises
export LOCAL_LIBRARY_PORT=$(python3 -c 'import socket; print(socket.create_server(("", 0)).getsockname()[1])')
trap 'kill $(jobs -p) $(lsof -ti tcp:$LOCAL_LIBRARY_PORT -sTCP:LISTEN) 2>/dev/null' EXIT
Xvfb -displayfd 3 -nolisten tcp -screen 0 1024x640x24 3>"$TMPDIR/display" 2>/dev/null &
for _ in {1..50}; do [[ -s $TMPDIR/display ]] && break; sleep 0.2; done
export DISPLAY=:$(cat "$TMPDIR/display")
trayer --edge top --align right --widthtype request --height 28 >/dev/null 2>&1 &
sleep 1
DBUS_SESSION_BUS_ADDRESS=unix:path=/nonexistent "$TMPDIR/quenlo-menubar" >"$TMPDIR/out" 2>&1 &
# Its only visible window is the icon that trayer embedded.
icon=$(timeout 20 xdotool search --sync --onlyvisible --classname quenlo-menubar | head -1) || fail "no icon"
xdotool mousemove --window "$icon" 4 4 click 3 sleep 1 key Down Down Down Down Return # past 打开Quenlo, 从剪贴板添加, 本机设置
for _ in {1..50}; do grep -qs "POST /api/sync-all" "$TMPDIR/server.log" && echo "PASS" && exit; sleep 0.2; done
fail "choosing 立即同步全部 in the tray's menu sent no sync"
