#!/usr/bin/env bash
# The Debian package as a user gets it: cpack builds it with only the binary, entry, icon and metainfo, dpkg
# installs it, the installed binary passes its self-test on a copy of the demo library, dpkg removes it.
# Usage: test_deb.sh BUILD_DIR SOURCE_DIR. Skipped (77) unless root with dpkg and cpack and no install of its own.
set -u
pkg=quenlo-menubar id=local.library.menubar
fail() { echo "FAIL: $*"; exit 1; }
[[ $(id -u) -eq 0 ]] && command -v dpkg cpack >/dev/null && [[ ! -e /usr/bin/$pkg ]] &&
  [[ $(dpkg-query -W -f='${db:Status-Abbrev}' $pkg 2>/dev/null) != i* ]] || { echo "SKIP: not here"; exit 77; }
trap 'dpkg --purge $pkg >/dev/null 2>&1; kill $(lsof -ti tcp:${port:-0} -sTCP:LISTEN) 2>/dev/null' EXIT
cpack --config "$1/CPackConfig.cmake" -G DEB -B "$TMPDIR/out" >"$TMPDIR/log" 2>&1 || fail "cpack: $(cat "$TMPDIR/log")"
deb=$(echo "$TMPDIR"/out/${pkg}_*.deb)
files=$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {print substr($NF, 2)}' | sort | xargs)
[[ $files == "/usr/bin/$pkg /usr/share/applications/$id.desktop /usr/share/icons/hicolor/scalable/apps/$id.svg \
/usr/share/metainfo/$id.metainfo.xml" ]] || fail "it holds $files"
dpkg -i "$deb" >"$TMPDIR/log" 2>&1 || fail "dpkg -i: $(cat "$TMPDIR/log")"
mkdir "$TMPDIR/demo" && cp "$2"/examples/demo-library/{server.py,runtime-python} "$TMPDIR/demo/"
port=$(python3 -c 'import socket; print(socket.create_server(("", 0)).getsockname()[1])')
LOCAL_LIBRARY_PORT=$port timeout 120 /usr/bin/$pkg --selftest "$TMPDIR/demo" >"$TMPDIR/log" 2>&1 &&
  [[ $(tail -n 1 "$TMPDIR/log") == 自检全部通过 ]] || fail "the installed self-test: $(cat "$TMPDIR/log")"
dpkg -r $pkg >/dev/null 2>&1 || fail "dpkg -r failed"
for f in $files; do [[ ! -e $f ]] || fail "$f is left after dpkg -r"; done
echo "PASS: built, installed, self-tested and removed $(basename "$deb")"
