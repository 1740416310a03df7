#!/usr/bin/env bash
# Usage: check-under-wine.sh SOURCE-ROOT SCRATCH-DIR; needs python3, mingw-w64 (-posix) and wine64.
# The Windows build of the digest and the replace step, resources linked in, under Wine.
set -euo pipefail
root=$(cd "$1" && pwd) && mkdir -p "$2/run" && work=$(cd "$2" && pwd)/run && rm -rf "${work:?}"/*
wine=$(command -v wine64 || command -v wine || echo /usr/lib/wine/wine64)
[ "$wine" = /usr/lib/wine/wine64 ] && export WINELOADER="$wine"
export WINEPREFIX="$work/../wineprefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" LC_ALL=C.UTF-8
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
python3 -c 'import sys, xml.dom.minidom as m; assert "requireAdministrator" in m.parse(sys.argv[1]).toxml()' \
    "$root/resources/CorvantileUpdate.exe.manifest"
cd "$work" && printf 'one\r\r\ntwo\r' >cr-cr-lf.bin && printf 'real name\r\n' >更新-файл.bin
# Text-mode reading would turn CR CR LF into CR LF; a narrow name would find no file.
for file in *.bin; do
    echo "$(perl -0777 -pe 's/\x1a.*//s; s/\r(?=\n)//g' "$file" | md5sum | cut -c1-32) $file"
done >expected.txt && echo "replaced 1, synced 1, icon 1, manifest 1" >>expected.txt
timeout 120 "$wine" platform_check.exe | tr -d '\r' >windows.txt
# Wine's server outlives the program by a few seconds: wait, so nothing of this test runs on.
timeout 60 "$(command -v wineserver || echo /usr/lib/wine/wineserver64)" -w || true
diff -u expected.txt windows.txt
