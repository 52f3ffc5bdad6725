#!/usr/bin/env bash
# The Debian package as a user gets it: cpack builds it from this build tree, its control
# data declares what the binary needs, dpkg installs it into the real system, the INSTALLED
# binary passes its self-test on a copy of the demo library, the desktop finds its entry,
# icon and metainfo, and dpkg removes it again without a trace.
#
# Usage: test_deb.sh BUILD_DIR SOURCE_DIR. Exit 77 (skipped) when not root, without dpkg or
# cpack, or when this machine already has the package or its files (a developer's own
# install is never touched). The package is removed on every way out once installed.
set -u
build=${1:?usage: test_deb.sh BUILD_DIR SOURCE_DIR}
src=${2:?usage: test_deb.sh BUILD_DIR SOURCE_DIR}
pkg=quenlo-menubar
files=(
  /usr/bin/quenlo-menubar
  /usr/share/applications/local.library.menubar.desktop
  /usr/share/icons/hicolor/scalable/apps/local.library.menubar.svg
  /usr/share/metainfo/local.library.menubar.metainfo.xml
)

skip() { echo "SKIP: $*"; exit 77; }
fail() { echo "FAIL: $*"; exit 1; }

[[ $(id -u) -eq 0 ]] || skip "installing a package needs root"
for tool in dpkg dpkg-deb dpkg-query cpack lsof python3; do
  command -v "$tool" >/dev/null || skip "$tool is not installed"
done
status=$(dpkg-query -W -f='${db:Status-Abbrev}' "$pkg" 2>/dev/null || true)
[[ -z $status || $status == un* ]] || skip "$pkg is already known to dpkg ($status); not touching it"
for f in "${files[@]}"; do
  [[ ! -e $f ]] || skip "$f already exists; not overwriting it"
done

work=${TMPDIR:-/tmp}/deb-test
rm -rf "$work"
mkdir -p "$work"
installed=0
port=""
cleanup() {
  if [[ -n $port ]]; then
    local server
    server=$(lsof -ti "tcp:$port" -sTCP:LISTEN 2>/dev/null || true)
    [[ -n $server ]] && kill $server 2>/dev/null
  fi
  if ((installed)); then
    dpkg --purge "$pkg" >"$work/purge.log" 2>&1 || { echo "could not remove $pkg:"; cat "$work/purge.log"; }
  fi
}
trap cleanup EXIT

# -- build ------------------------------------------------------------------------------
cpack --config "$build/CPackConfig.cmake" -G DEB -B "$work/out" >"$work/cpack.log" 2>&1 ||
  { cat "$work/cpack.log"; fail "cpack could not build the package"; }
debs=("$work"/out/"$pkg"_*.deb)
[[ ${#debs[@]} -eq 1 && -f ${debs[0]} ]] || fail "cpack made no single .deb: ${debs[*]}"
deb=${debs[0]}
echo "package: $(basename "$deb")"

# -- control data -----------------------------------------------------------------------
[[ $(dpkg-deb -f "$deb" Package) == "$pkg" ]] || fail "the package is not called $pkg"
[[ $(dpkg-deb -f "$deb" Architecture) == "$(dpkg --print-architecture)" ]] || fail "wrong architecture"
depends=$(dpkg-deb -f "$deb" Depends)
echo "Depends: $depends"
declared=$(tr ',|' '\n\n' <<<"$depends" | sed 's/(.*)//; s/[[:space:]]//g' | sort -u)
for runtime in qt6-qpa-plugins lsof; do
  grep -qx "$runtime" <<<"$declared" || fail "Depends lacks $runtime, which the binary needs at run time"
done

# Exactly the four files (no test, header or static library came along).
contents=$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {print $NF}' | sed 's|^\.||' | sort)
expected=$(printf '%s\n' "${files[@]}" | sort)
[[ $contents == "$expected" ]] || fail "the package holds other files than expected:
$contents"

# Every library the packaged binary links belongs to a declared dependency.
mkdir -p "$work/unpacked"
dpkg-deb -x "$deb" "$work/unpacked"
needed=$(objdump -p "$work/unpacked/usr/bin/quenlo-menubar" 2>/dev/null | awk '$1 == "NEEDED" {print $2}')
[[ -n $needed ]] || fail "cannot read the binary's NEEDED entries (objdump)"
while read -r lib; do
  path=$(ldconfig -p | awk -v l="$lib" '$1 == l {print $NF; exit}')
  [[ -n $path ]] || fail "$lib is not on this system"
  owner=$(dpkg -S "$(readlink -f "$path")" 2>/dev/null | head -1 | cut -d: -f1)
  [[ -n $owner ]] || owner=$(dpkg -S "$path" 2>/dev/null | head -1 | cut -d: -f1)
  [[ -n $owner ]] || fail "no package owns $path ($lib)"
  grep -qx "$owner" <<<"$declared" || fail "$lib comes from $owner, which Depends does not declare"
done <<<"$needed"

# -- install ----------------------------------------------------------------------------
installed=1
dpkg -i "$deb" >"$work/install.log" 2>&1 || { cat "$work/install.log"; fail "dpkg -i failed"; }
[[ $(dpkg-query -W -f='${db:Status-Abbrev}' "$pkg") == ii* ]] || fail "$pkg is not fully installed"
listed=$(dpkg -L "$pkg")
for f in "${files[@]}"; do
  grep -qx "$f" <<<"$listed" || fail "dpkg does not list $f"
  [[ -f $f ]] || fail "$f is missing after the install"
done
[[ -x /usr/bin/quenlo-menubar ]] || fail "the binary is not executable"

# The desktop finds the program, the icon and the metainfo through their names.
entry=/usr/share/applications/local.library.menubar.desktop
key() { sed -n "s/^$1=//p" "$entry" | head -1; }
[[ $(PATH=/usr/bin:/bin command -v "$(key Exec)") == /usr/bin/quenlo-menubar ]] || fail "Exec does not find the installed binary"
[[ -f /usr/share/icons/hicolor/scalable/apps/$(key Icon).svg ]] || fail "no installed icon is named $(key Icon)"
[[ $(key Name) == 本地Quenlo ]] || fail "the entry is not called 本地Quenlo"
[[ $(key NoDisplay) == false && $(key Categories) == "Utility;" && $(key X-GNOME-UsesNotifications) == true ]] ||
  fail "the entry is hidden, in another category, or does not say that it notifies"
meta=/usr/share/metainfo/local.library.menubar.metainfo.xml
python3 - "$meta" "$entry" <<'EOF' || fail "the metainfo does not point at the installed entry and binary"
import os, sys, xml.etree.ElementTree as ET
root = ET.parse(sys.argv[1]).getroot()
entry = os.path.basename(sys.argv[2])
assert root.findtext("launchable[@type='desktop-id']") == entry
assert root.findtext("id") + ".desktop" == entry
assert os.access("/usr/bin/" + root.findtext("provides/binary"), os.X_OK)
EOF
if command -v desktop-file-validate >/dev/null; then
  desktop-file-validate "$entry" || fail "desktop-file-validate rejects the installed entry"
else
  echo "SKIP: desktop-file-validate is not installed"
fi
if command -v appstreamcli >/dev/null; then
  appstreamcli validate --no-net "$meta" >"$work/appstream.log" 2>&1 ||
    { cat "$work/appstream.log"; fail "appstreamcli rejects the installed metainfo"; }
else
  echo "SKIP: appstreamcli is not installed"
fi

# -- the installed binary's self-test on a copy of the demo library ------------------------
demo="$work/demo"
mkdir -p "$demo"
cp -p "$src/examples/demo-library/server.py" "$src/examples/demo-library/runtime-python" "$demo/"
port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
selftest=0
LOCAL_LIBRARY_PORT=$port timeout 120 /usr/bin/quenlo-menubar --selftest "$demo" >"$work/selftest.out" 2>&1 || selftest=$?
sed 's/^/  selftest: /' "$work/selftest.out"
[[ $selftest -eq 0 ]] || fail "the installed self-test exited with $selftest"
[[ $(tail -n 1 "$work/selftest.out") == 自检全部通过 ]] || fail "the self-test's last line is not 自检全部通过"
grep -q "^OK: 服务已拉起" "$work/selftest.out" || fail "the self-test did not start the demo library"

# -- remove -----------------------------------------------------------------------------
dpkg -r "$pkg" >"$work/remove.log" 2>&1 || { cat "$work/remove.log"; fail "dpkg -r failed"; }
status=$(dpkg-query -W -f='${db:Status-Abbrev}' "$pkg" 2>/dev/null || true)
[[ -z $status || $status == un* || $status == rc* ]] || fail "$pkg is still installed after dpkg -r ($status)"
for f in "${files[@]}"; do
  [[ ! -e $f ]] || fail "$f is left after dpkg -r"
done
dpkg --purge "$pkg" >/dev/null 2>&1
installed=0
echo "PASS: built, installed, self-tested and removed $(basename "$deb")"
