#!/usr/bin/env bash
# Checks the files that ship beside the code: the Windows resource script
# compiles with the cross toolchain and carries the icon and the elevation
# manifest, the manifest asks for administrator rights, and the pictures and
# the icon have the shapes the window's fixed layout relies on.
#
# Usage: tests/resources/check-resources.sh [repo-root]
# Needs: bash, python3, x86_64-w64-mingw32-windres (binutils-mingw-w64-x86-64).
set -uo pipefail

root=${1:-"$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"}
res="$root/resources"

passed=0
failed=0
pass() { passed=$((passed + 1)); echo "PASS: $1"; }
fail() { failed=$((failed + 1)); echo "FAIL: $1"; }

# Runs "$@" and records it as one check named $name; the command's own output
# explains a failure.  Returns the command's status so later checks can depend
# on it.
check() {
    local name=$1
    shift
    local out
    if out=$("$@" 2>&1); then
        pass "$name"
    else
        [ -n "$out" ] && printf '%s\n' "$out" | sed 's/^/      /'
        fail "$name"
        return 1
    fi
}

py() { python3 - "$@"; }

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

# ---------------------------------------------------------------------------
# (a) The resource script compiles to a COFF object holding the icon group
#     IDI_ICON1, the manifest as resource 24/1, and the version block.
# ---------------------------------------------------------------------------
windres=x86_64-w64-mingw32-windres
obj="$tmp/CorvantileUpdate_res.o"

compile_rc() {
    if ! command -v "$windres" >/dev/null 2>&1; then
        echo "$windres not found (Debian package binutils-mingw-w64-x86-64)"
        return 1
    fi
    # windres preprocesses with the cross gcc by default; the host cpp does
    # the same job where only the cross binutils are installed.
    local pre=()
    command -v x86_64-w64-mingw32-gcc >/dev/null 2>&1 || pre=(--preprocessor=cpp)
    # Run from elsewhere so the file names in the script must resolve
    # through the include path, as they do in the build.
    (cd "$tmp" && "$windres" "${pre[@]}" -I "$res" -i "$res/CorvantileUpdate.rc" \
        -O coff -o "$obj") || return 1
    [ -s "$obj" ] || { echo "windres produced no object"; return 1; }
}

decompile_has_resources() {
    "$windres" -J coff -i "$obj" -O rc -o "$tmp/back.rc" || return 1
    local ok=0
    grep -aq '^"IDI_ICON1" 14 ' "$tmp/back.rc" ||
        { echo "no RT_GROUP_ICON named IDI_ICON1 in the compiled resources"; ok=1; }
    grep -aq '^1 24 ' "$tmp/back.rc" ||
        { echo "no resource of type 24 (manifest) with id 1"; ok=1; }
    grep -aq '^1 VERSIONINFO' "$tmp/back.rc" ||
        { echo "no VERSIONINFO resource"; ok=1; }
    [ "$(grep -ac ' 3 /\* RT_ICON \*/' "$tmp/back.rc")" -ge 2 ] ||
        { echo "fewer than two RT_ICON images"; ok=1; }
    return $ok
}

# The object's .rsrc must carry the manifest and the largest icon image byte
# for byte, and the version strings as UTF-16.
object_embeds_files() {
    py "$obj" "$res/CorvantileUpdate.exe.manifest" "$res/icon.ico" <<'EOF'
import struct, sys
obj = open(sys.argv[1], "rb").read()
manifest = open(sys.argv[2], "rb").read()
ico = open(sys.argv[3], "rb").read()
bad = []
if b"requireAdministrator" not in obj:
    bad.append("requireAdministrator not found in the object")
if manifest not in obj:
    bad.append("manifest file is not embedded verbatim")
_, _, count = struct.unpack_from("<HHH", ico, 0)
largest = max((struct.unpack_from("<BBBBHHII", ico, 6 + 16 * i) for i in range(count)),
              key=lambda e: e[6])
image = ico[largest[7]:largest[7] + largest[6]]
if image not in obj:
    bad.append("largest icon image is not embedded verbatim")
for text in ("IDI_ICON1", "CorvantileUpdate"):
    if text.encode("utf-16-le") not in obj:
        bad.append(text + " (UTF-16) not found in the object")
for line in bad:
    print(line)
sys.exit(1 if bad else 0)
EOF
}

if check "windres compiles resources/CorvantileUpdate.rc to COFF" compile_rc; then
    check "compiled resources list IDI_ICON1, manifest 24/1 and VERSIONINFO" decompile_has_resources
    check "compiled resources embed manifest, icon image and names" object_embeds_files
else
    fail "compiled resources list IDI_ICON1, manifest 24/1 and VERSIONINFO (not compiled)"
    fail "compiled resources embed manifest, icon image and names (not compiled)"
fi

# ---------------------------------------------------------------------------
# (b) The manifest is well-formed and asks for requireAdministrator.
# ---------------------------------------------------------------------------
manifest_ok() {
    py "$res/CorvantileUpdate.exe.manifest" <<'EOF'
import sys
from xml.dom import minidom
from xml.parsers.expat import ExpatError
try:
    doc = minidom.parse(sys.argv[1])
except (ExpatError, OSError) as e:
    print("manifest is not well-formed XML:", e)
    sys.exit(1)
root = doc.documentElement
bad = []
if root.localName != "assembly" or root.getAttribute("manifestVersion") != "1.0":
    bad.append("root is not <assembly manifestVersion=\"1.0\">")
levels = [e for e in doc.getElementsByTagNameNS("*", "requestedExecutionLevel")]
if len(levels) != 1:
    bad.append("expected one requestedExecutionLevel, found %d" % len(levels))
else:
    e = levels[0]
    path = []
    p = e.parentNode
    while p is not None and p.nodeType == p.ELEMENT_NODE:
        path.insert(0, p.localName)
        p = p.parentNode
    if path[-3:] != ["trustInfo", "security", "requestedPrivileges"]:
        bad.append("requestedExecutionLevel sits under " + "/".join(path))
    if e.getAttribute("level") != "requireAdministrator":
        bad.append("level is %r, not 'requireAdministrator'" % e.getAttribute("level"))
    if e.getAttribute("uiAccess") != "false":
        bad.append("uiAccess is %r, not 'false'" % e.getAttribute("uiAccess"))
wanted = {
    "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}": "Windows 7",
    "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}": "Windows 8",
    "{1f676c76-80e1-4239-95bb-83d0f6d0da78}": "Windows 8.1",
    "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}": "Windows 10/11",
}
ids = {e.getAttribute("Id").lower() for e in doc.getElementsByTagNameNS("*", "supportedOS")}
for guid, name in wanted.items():
    if guid not in ids:
        bad.append("supportedOS for %s missing" % name)
for line in bad:
    print(line)
sys.exit(1 if bad else 0)
EOF
}
check "manifest is well-formed and requests requireAdministrator" manifest_ok

# ---------------------------------------------------------------------------
# (c) The pictures are valid PNGs with the sizes the window layout assumes.
#     Read from the PNG header directly, so no image library is needed.
# ---------------------------------------------------------------------------
# png_ok FILE WIDTH HEIGHT NEED_ALPHA   (0 for WIDTH/HEIGHT = "at most 12")
png_ok() {
    py "$@" <<'EOF'
import struct, sys, zlib
path, want_w, want_h, need_alpha = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), sys.argv[4] == "1"
try:
    data = open(path, "rb").read()
except OSError as e:
    print(e)
    sys.exit(1)
if data[:8] != b"\x89PNG\r\n\x1a\n":
    print(path, "has no PNG signature")
    sys.exit(1)
# Walk every chunk and verify its CRC, so a truncated or damaged file fails.
pos, chunks = 8, []
while pos + 12 <= len(data):
    length, kind = struct.unpack_from(">I4s", data, pos)
    if pos + 12 + length > len(data):
        print(path, "is truncated inside chunk", kind)
        sys.exit(1)
    body = data[pos + 8:pos + 8 + length]
    crc, = struct.unpack_from(">I", data, pos + 8 + length)
    if zlib.crc32(kind + body) & 0xffffffff != crc:
        print(path, "chunk", kind, "has a bad CRC")
        sys.exit(1)
    chunks.append((kind, body))
    pos += 12 + length
if not chunks or chunks[0][0] != b"IHDR" or chunks[-1][0] != b"IEND":
    print(path, "does not start with IHDR and end with IEND")
    sys.exit(1)
w, h, depth, ctype = struct.unpack_from(">IIBB", chunks[0][1], 0)
bad = []
if want_w and w != want_w:
    bad.append("width %d, expected %d" % (w, want_w))
if want_h and h != want_h:
    bad.append("height %d, expected %d" % (h, want_h))
if not want_w and not 0 < w <= 12:
    bad.append("width %d, expected 1..12 so the sign stays inside the indicator at 100%%" % w)
if not want_h and not 0 < h <= 12:
    bad.append("height %d, expected 1..12 to fit the 12-pixel indicator" % h)
if need_alpha and ctype not in (4, 6) and not any(k == b"tRNS" for k, _ in chunks):
    bad.append("colour type %d has no alpha" % ctype)
for line in bad:
    print(path + ":", line)
sys.exit(1 if bad else 0)
EOF
}
check "pic2/bg2.png is a 960x580 PNG" png_ok "$res/pic2/bg2.png" 960 580 0
check "pic2/progressBarBackground.png is a 511x132 PNG with alpha" \
    png_ok "$res/pic2/progressBarBackground.png" 511 132 1
check "pic2/progressSign.png is a PNG with alpha at most 12x12" \
    png_ok "$res/pic2/progressSign.png" 0 0 1

# ---------------------------------------------------------------------------
# (d) icon.ico is a real multi-size icon with 16 and 256 pixel images.
# ---------------------------------------------------------------------------
ico_ok() {
    py "$res/icon.ico" <<'EOF'
import struct, sys
path = sys.argv[1]
try:
    data = open(path, "rb").read()
except OSError as e:
    print(e)
    sys.exit(1)
if len(data) < 6:
    print(path, "is too short for an ICONDIR")
    sys.exit(1)
reserved, kind, count = struct.unpack_from("<HHH", data, 0)
if reserved != 0 or kind != 1 or count == 0:
    print(path, "has no valid ICONDIR (reserved %d, type %d, count %d)" % (reserved, kind, count))
    sys.exit(1)
if len(data) < 6 + 16 * count:
    print(path, "is too short for its %d directory entries" % count)
    sys.exit(1)
bad, sizes = [], set()
for i in range(count):
    w, h, colours, res_, planes, bits, size, offset = struct.unpack_from("<BBBBHHII", data, 6 + 16 * i)
    w, h = w or 256, h or 256
    if offset + size > len(data) or size < 8:
        bad.append("entry %d (%dx%d) points outside the file" % (i, w, h))
        continue
    image = data[offset:offset + size]
    if image[:8] == b"\x89PNG\r\n\x1a\n":
        iw, ih = struct.unpack_from(">II", image, 16)
    else:
        hdr, iw, ih2 = struct.unpack_from("<Iii", image, 0)
        ih = ih2 // 2  # the DIB height counts the colour and the mask rows
        if hdr != 40:
            bad.append("entry %d is neither PNG nor a BITMAPINFOHEADER DIB" % i)
            continue
    if (iw, ih) != (w, h):
        bad.append("entry %d says %dx%d but holds a %dx%d image" % (i, w, h, iw, ih))
    sizes.add((w, h))
for need in ((16, 16), (256, 256)):
    if need not in sizes:
        bad.append("no %dx%d image (has %s)" % (need + (sorted(sizes),)))
for line in bad:
    print(path + ":", line)
sys.exit(1 if bad else 0)
EOF
}
check "icon.ico is a valid ICO holding 16x16 and 256x256 images" ico_ok

echo "check-resources: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
