#!/usr/bin/env bash
# Usage: check-under-wine.sh SOURCE-ROOT SCRATCH-DIR; needs python3, mingw-w64 (-posix) and wine64.
# The integrity layer's Windows build with the resources linked in, under Wine: its digests of
# files that text-mode reading or a narrow name would hash differently, held against Python's.
set -euo pipefail
root=$(cd "$1" && pwd) && mkdir -p "$2/run" && work=$(cd "$2" && pwd)/run && rm -rf "${work:?}"/*
# Debian's wine64 package alone puts its loader in /usr/lib/wine; the wine package adds wrappers.
wine=$(command -v wine64 || command -v wine || echo /usr/lib/wine/wine64)
[ "$wine" = /usr/lib/wine/wine64 ] && export WINELOADER="$wine"
export WINEPREFIX="$work/../wineprefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY
# A new prefix writes some 700 MB: it is kept, and marked only once wineboot has succeeded.
[ -f "$WINEPREFIX/.corvantile-ready" ] || { rm -rf "$WINEPREFIX" &&
    timeout 300 "$wine" wineboot -i </dev/null && touch "$WINEPREFIX/.corvantile-ready"; }
# windres preprocesses with the cross gcc; its -posix twin serves where the plain one is missing.
command -v x86_64-w64-mingw32-gcc >/dev/null || cpp=--preprocessor=x86_64-w64-mingw32-cpp-posix
(cd "$work" && x86_64-w64-mingw32-windres ${cpp:-} -I "$root/resources" -O coff -o resources.o \
    -i "$root/resources/CorvantileUpdate.rc")
x86_64-w64-mingw32-g++-posix -std=c++17 -Wall -Wextra -Werror -O2 -I "$root" -static \
    "$root"/tests/windows/platform_check.cpp "$root"/integrity/{md5context,platformfile}.cpp \
    "$work/resources.o" -o "$work/platform_check.exe"
python3 - "$work" "$root/resources/CorvantileUpdate.exe.manifest" >"$work/expected.txt" <<'PYTHON'
import hashlib, re, sys
from xml.dom import minidom
assert 'level="requireAdministrator"' in minidom.parse(sys.argv[2]).toxml()
# Text-mode reading would turn CR CR LF into CR LF. In byte order, as the program lists them:
for name, content in {"cr-cr-lf.bin": b"one\r\r\ntwo\r", "mixed.bin": b"ab\r\n\r\r\n\n\r\x00" * 40000,
                      "更新-файл.bin": b"found by its real name\r\n"}.items():
    open(sys.argv[1] + "/" + name, "wb").write(content)
    print(hashlib.md5(re.sub(rb"\r(?=\n)", b"", content.split(b"\x1a")[0])).hexdigest(), name)
print("replaced 1, synced 1, icon 1, manifest 1")
PYTHON
(cd "$work" && timeout 120 "$wine" platform_check.exe | tr -d '\r') >"$work/windows.txt"
# Wine's server outlives the program by a few seconds: wait, so nothing of this test runs on.
timeout 60 "$(command -v wineserver || echo /usr/lib/wine/wineserver64)" -w || true
diff -u "$work/expected.txt" "$work/windows.txt"
