#!/usr/bin/env bash
# The files the desktops read, before any package is built: the desktop entry and the
# AppStream metainfo pass their validators and name each other, the app icon renders at
# every size of a macOS iconset, and the bundle's Info.plist (configured on every OS from
# the same template) is a property list with every value filled in.
#
# Usage: test_resources.sh BUILD_DIR SOURCE_DIR ICONSET_TOOL. Exit 77 (skipped) without
# desktop-file-validate, appstreamcli or python3.
set -u
build=${1:?usage: test_resources.sh BUILD_DIR SOURCE_DIR ICONSET_TOOL}
src=${2:?usage: test_resources.sh BUILD_DIR SOURCE_DIR ICONSET_TOOL}
iconset_tool=${3:?usage: test_resources.sh BUILD_DIR SOURCE_DIR ICONSET_TOOL}
id=local.library.menubar
res="$src/resources"

fail() { echo "FAIL: $*"; exit 1; }
for tool in desktop-file-validate appstreamcli python3; do
  command -v "$tool" >/dev/null || { echo "SKIP: $tool is not installed"; exit 77; }
done

desktop-file-validate "$res/$id.desktop" || fail "desktop-file-validate rejects $id.desktop"
appstreamcli validate --no-net "$res/$id.metainfo.xml" || fail "appstreamcli rejects $id.metainfo.xml"

# The entry, the metainfo and the icon agree on the id and the program.
python3 - "$res" "$id" <<'EOF' || fail "the desktop entry, metainfo and icon do not agree"
import configparser, sys, xml.etree.ElementTree as ET
res, app_id = sys.argv[1], sys.argv[2]
entry = configparser.ConfigParser(interpolation=None)
entry.optionxform = str
entry.read(f"{res}/{app_id}.desktop", encoding="utf-8")
d = entry["Desktop Entry"]
meta = ET.parse(f"{res}/{app_id}.metainfo.xml").getroot()
problems = []
if meta.findtext("id") != app_id:
    problems.append("metainfo id")
if meta.findtext("launchable[@type='desktop-id']") != app_id + ".desktop":
    problems.append("metainfo launchable")
if meta.findtext("provides/binary") != d["Exec"].split()[0]:
    problems.append("metainfo binary vs Exec")
if meta.findtext("name") != d["Name"]:
    problems.append("names")
if d["Icon"] != app_id:
    problems.append("Icon")
if [c.text + ";" for c in meta.findall("categories/category")] != [c + ";" for c in d["Categories"].split(";") if c]:
    problems.append("categories")
svg = ET.parse(f"{res}/{app_id}.svg").getroot()
if not svg.tag.endswith("svg") or svg.get("viewBox") is None:
    problems.append("icon is not an SVG with a view box")
if problems:
    print("disagree:", ", ".join(problems))
    sys.exit(1)
EOF

# Every iconset size renders, at its size, not blank (the tool checks the ink).
out="${TMPDIR:-/tmp}/$id.iconset"
rm -rf "$out"
"$iconset_tool" "$res/$id.svg" "$out" >/dev/null || fail "the icon does not render into an iconset"
python3 - "$out" <<'EOF' || fail "the iconset has wrong files or sizes"
import os, re, struct, sys
folder = sys.argv[1]
names = sorted(os.listdir(folder))
want = sorted(f"icon_{s}x{s}{x}.png" for s in (16, 32, 128, 256, 512) for x in ("", "@2x"))
assert names == want, names
for name in names:
    with open(os.path.join(folder, name), "rb") as f:
        head = f.read(24)
    assert head[:8] == b"\x89PNG\r\n\x1a\n", name
    width, height = struct.unpack(">II", head[16:24])
    side = int(re.match(r"icon_(\d+)x", name).group(1)) * (2 if "@2x" in name else 1)
    assert (width, height) == (side, side), (name, width, height)
EOF
echo "not an SVG" >"${TMPDIR:-/tmp}/broken.svg"
if "$iconset_tool" "${TMPDIR:-/tmp}/broken.svg" "${TMPDIR:-/tmp}/broken.iconset" 2>/dev/null; then
  fail "the icon tool accepts a broken SVG"
fi

# The bundle's property list: parses, every value filled in, the accessory flag set.
python3 - "$build/Info.plist" "$id" <<'EOF' || fail "Info.plist is not what the bundle needs"
import plistlib, sys
with open(sys.argv[1], "rb") as f:
    plist = plistlib.load(f)
empty = [k for k, v in plist.items() if isinstance(v, str) and (not v or "${" in v or "@" in v)]
assert not empty, f"unfilled: {empty}"
assert plist["CFBundleIdentifier"] == sys.argv[2]
assert plist["CFBundleExecutable"] == "quenlo-menubar"
assert plist["CFBundleName"] == plist["CFBundleDisplayName"] == "本地Quenlo"
assert plist["CFBundleIconFile"] == sys.argv[2] + ".icns"
assert plist["LSUIElement"] is True
assert plist["CFBundlePackageType"] == "APPL"
EOF
echo "PASS: desktop entry, metainfo, icon and Info.plist"
