# Shared by the end-to-end scripts: a private X server with a tray host, the demo library
# in a project folder beside a copy of the companion, screenshots, clicks.
# Exit status 77 means "skipped" (CTest SKIP_RETURN_CODE) when Xvfb or trayer is missing.

e2e_require() {
  for tool in Xvfb trayer xdotool import xwininfo python3; do
    command -v "$tool" >/dev/null || { echo "SKIP: $tool is not installed"; exit 77; }
  done
}

e2e_free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }

# e2e_setup BIN SOURCE_DIR NAME: sets E2E_DIR, E2E_PROJECT, E2E_APP, LOCAL_LIBRARY_PORT, DISPLAY
e2e_setup() {
  local bin=$1 src=$2 name=$3
  E2E_DIR=${TMPDIR:-/tmp}/e2e-$name
  E2E_SHOTS=${E2E_SHOTS:-$PWD/e2e-shots/$name}
  rm -rf "$E2E_DIR"; mkdir -p "$E2E_DIR" "$E2E_SHOTS"
  E2E_PROJECT="$E2E_DIR/project"
  mkdir -p "$E2E_PROJECT"
  cp -p "$src/examples/demo-library/server.py" "$src/examples/demo-library/runtime-python" "$E2E_PROJECT/"
  cp -p "$bin" "$E2E_PROJECT/quenlo-menubar"
  E2E_APP="$E2E_PROJECT/quenlo-menubar"
  # Settings, login item and session of each run stay inside it, never in the user's.
  export HOME="$E2E_DIR/home" XDG_CONFIG_HOME="$E2E_DIR/config" XDG_DATA_HOME="$E2E_DIR/data"
  mkdir -p "$HOME" "$XDG_CONFIG_HOME" "$XDG_DATA_HOME"
  export LOCAL_LIBRARY_PORT=$(e2e_free_port)
  E2E_PIDS=()
  trap e2e_teardown EXIT

  local n
  for n in $(seq 91 120); do
    [[ -e /tmp/.X11-unix/X$n || -e /tmp/.X$n-lock ]] && continue
    Xvfb ":$n" -screen 0 1024x640x24 -nolisten tcp >"$E2E_DIR/xvfb.log" 2>&1 &
    E2E_PIDS+=($!)
    export DISPLAY=":$n"
    break
  done
  e2e_wait 10 xdpyinfo_ok || { echo "FAIL: Xvfb did not start"; exit 1; }
  # A dark panel, as most desktops have, so the icon's colour is checked too.
  trayer --edge top --align right --widthtype request --height 28 --tint 0x303030 --transparent true \
    --alpha 0 --SetDockType true >"$E2E_DIR/trayer.log" 2>&1 &
  E2E_PIDS+=($!)
  sleep 1
}

xdpyinfo_ok() { xwininfo -root >/dev/null 2>&1; }

e2e_wait() { # SECONDS COMMAND...
  local limit=$1; shift
  local deadline=$((SECONDS + limit))
  while ((SECONDS < deadline)); do
    "$@" && return 0
    sleep 0.2
  done
  return 1
}

e2e_teardown() {
  local pid
  for pid in "${E2E_APP_PID:-}" "${E2E_PIDS[@]}"; do
    [[ -n $pid ]] && kill "$pid" 2>/dev/null
  done
  local server
  server=$(lsof -ti "tcp:$LOCAL_LIBRARY_PORT" -sTCP:LISTEN 2>/dev/null || true)
  [[ -n $server ]] && kill $server 2>/dev/null
  wait 2>/dev/null
  return 0
}

# With a session bus the companion first waits up to 30 s for a StatusNotifierWatcher; an
# XEmbed-only desktop is played here, so it gets no bus and takes the XEmbed tray at once.
e2e_start_companion() {
  DBUS_SESSION_BUS_ADDRESS="unix:path=$E2E_DIR/no-session-bus" "$E2E_APP" >"$E2E_DIR/companion.out" 2>&1 &
  E2E_APP_PID=$!
}

server_up() { curl -s -o /dev/null -w '%{http_code}' "http://127.0.0.1:$LOCAL_LIBRARY_PORT/api/version" | grep -q 200; }

# The centre of the companion's tray icon (a small visible window of ours that the tray host
# embedded). Prints "X Y"; fails while there is none.
e2e_tray_center() {
  local wid X Y WIDTH HEIGHT SCREEN WINDOW
  for wid in $(xdotool search --onlyvisible --classname quenlo-menubar 2>/dev/null); do
    eval "$(xdotool getwindowgeometry --shell "$wid")"
    if ((WIDTH >= 12 && WIDTH <= 64 && HEIGHT >= 12 && HEIGHT <= 64)); then
      echo "$((X + WIDTH / 2)) $((Y + HEIGHT / 2))"
      return 0
    fi
  done
  return 1
}

# Prints "X Y WIDTH HEIGHT" of the companion's open menu (a visible window of ours taller
# than a tray icon); fails while none is shown.
e2e_menu_geometry() {
  local wid X Y WIDTH HEIGHT SCREEN WINDOW
  for wid in $(xdotool search --onlyvisible --classname quenlo-menubar 2>/dev/null); do
    eval "$(xdotool getwindowgeometry --shell "$wid")"
    if ((HEIGHT > 150 && WIDTH > 100)); then
      echo "$X $Y $WIDTH $HEIGHT"
      return 0
    fi
  done
  return 1
}

e2e_fail() { echo "FAIL: $*"; [[ -f $E2E_DIR/companion.out ]] && sed 's/^/  companion: /' "$E2E_DIR/companion.out"; exit 1; }

e2e_shot() { # NAME
  import -window root "$E2E_SHOTS/$1.png"
}
