#!/usr/bin/env bash
# The Windows build of the integrity layer under Wine. platform_check.cpp is cross-built with the
# resource script linked in; it hashes a corpus that a file opened in text mode, a narrow file
# name or a misjudged read boundary would hash differently, and this script holds its digests
# against Python's MD5 of the bytes the text-mode rules deliver. Its own checks (the replace step,
# links, sync, the resources as the loader finds them) print a "FAIL: ..." line each, which makes
# the comparison fail too.
#
# Usage: tests/windows/check-under-wine.sh SOURCE-ROOT SCRATCH-DIR
# Needs: python3, x86_64-w64-mingw32-g++-posix (g++-mingw-w64-x86-64-posix),
#        x86_64-w64-mingw32-windres (binutils-mingw-w64-x86-64), wine64.
# The Wine prefix lives in SCRATCH-DIR/wineprefix and is kept between runs: creating one writes
# some 700 MB.
set -euo pipefail
root=$(cd "$1" && pwd)
mkdir -p "$2"
scratch=$(cd "$2" && pwd)
work="$scratch/run"
rm -rf "$work"
mkdir -p "$work/corpus"

# Debian's wine64 package alone puts its loader in /usr/lib/wine; the wine package adds wrappers.
wine=$(command -v wine64 || command -v wine || echo /usr/lib/wine/wine64)
wineserver=$(command -v wineserver || echo /usr/lib/wine/wineserver64)
[ "$wine" = /usr/lib/wine/wine64 ] && export WINELOADER="$wine"
export WINEPREFIX="$scratch/wineprefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
# Wine turns the Unix arguments into UTF-16 through the locale: a name outside Latin-1 needs UTF-8.
export LC_ALL=C.UTF-8
unset DISPLAY WAYLAND_DISPLAY
# The marker is written only after wineboot succeeded, so an interrupted creation starts over.
if [ ! -f "$WINEPREFIX/.corvantile-ready" ]; then
    rm -rf "$WINEPREFIX"
    timeout 300 "$wine" wineboot -i </dev/null
    touch "$WINEPREFIX/.corvantile-ready"
fi

# windres preprocesses with the cross gcc; its -posix twin serves where the plain one is missing.
preprocessor=()
command -v x86_64-w64-mingw32-gcc >/dev/null || preprocessor=(--preprocessor=x86_64-w64-mingw32-cpp-posix)
(cd "$work" && x86_64-w64-mingw32-windres "${preprocessor[@]}" -I "$root/resources" \
    -i "$root/resources/CorvantileUpdate.rc" -O coff -o resources.o)
x86_64-w64-mingw32-g++-posix -std=c++17 -Wall -Wextra -Werror -O2 -I "$root" -static -municode \
    "$root/tests/windows/platform_check.cpp" "$root/integrity/md5context.cpp" \
    "$root/integrity/platformfile.cpp" "$work/resources.o" -o "$work/platform_check.exe"

python3 - "$work/corpus" "$root/resources/CorvantileUpdate.exe.manifest" >"$work/expected.txt" \
    2>"$work/names.txt" <<'PYTHON'
import hashlib, os, random, re, sys
from xml.dom import minidom
minidom.parse(sys.argv[2])  # a manifest that is not well-formed keeps the program from starting
rng = random.Random(1321)
def filler(count):
    return bytes(rng.choice(b"abcdefghijklmnopqrstuvwxyz ") for _ in range(count))
files = {
    "crlf.txt": b"one\r\ntwo\r\n",
    # A runtime reading in text mode would drop the second CR as well.
    "cr-cr-lf.txt": b"one\r\r\ntwo\r",
    "lone-cr-and-lf-cr.txt": b"a\rb\n\rc",
    "cr-before-eof-mark.txt": b"before\r\x1a\nafter",
    "crlf-across-1024.bin": filler(1023) + b"\r\n" + filler(100),
    # 4096 bytes is the C runtime's own buffer.
    "crlf-across-4096.bin": filler(4095) + b"\r\n" + filler(100),
    "random.bin": bytes(rng.choice(b"\r\n\r\nxyz\x00\xff") for _ in range(300000)),
    "更新-файл.bin": b"read by its real name\r\n",
}
for name, content in files.items():
    with open(os.path.join(sys.argv[1], name), "wb") as out:
        out.write(content)
os.mkdir(os.path.join(sys.argv[1], "a-directory"))
# A missing file and a directory hash as empty input.
for name in list(files) + ["missing.bin", "a-directory"]:
    delivered = re.sub(rb"\r(?=\n)", b"", files.get(name, b"").split(b"\x1a")[0])
    print(hashlib.md5(delivered).hexdigest() + "  " + name)
    print(name, file=sys.stderr)
PYTHON
mapfile -t names <"$work/names.txt"

status=0
(cd "$work/corpus" && timeout 120 "$wine" "$work/platform_check.exe" "${names[@]}") \
    >"$work/windows.txt" || status=$?
# Wine's server outlives the program by a few seconds: wait, so nothing of this test runs on.
timeout 60 "$wineserver" -w || true
diff -u "$work/expected.txt" "$work/windows.txt" && [ "$status" -eq 0 ]
