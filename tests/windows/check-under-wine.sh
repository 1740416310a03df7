#!/usr/bin/env bash
# Runs the Windows side of the integrity layer: platform_check.cpp is built twice from the same
# sources, for Linux with g++ and for 64-bit Windows with mingw-w64, and the Windows build runs
# under Wine. The two builds hash the same files and their lines must agree; the Windows build's
# digest must also agree with the C runtime's own text-mode reading; replacing a file must leave
# the new content after success and the old content after a failure, also while the target is
# held open without sharing; and the resource script must give the icon and the elevation
# manifest to the executable it is linked into.
#
# Usage: tests/windows/check-under-wine.sh SOURCE-ROOT SCRATCH-DIR
# Needs: bash, g++, python3, x86_64-w64-mingw32-g++-posix (g++-mingw-w64-x86-64-posix),
#        x86_64-w64-mingw32-windres (binutils-mingw-w64-x86-64), wine64.
# The Wine prefix lives in SCRATCH-DIR/wineprefix and is kept between runs: creating one writes
# some 700 MB. Everything else in SCRATCH-DIR is made afresh.
set -uo pipefail

if [ $# -ne 2 ]; then
    echo "usage: $0 SOURCE-ROOT SCRATCH-DIR" >&2
    exit 2
fi
root=$(cd "$1" && pwd) || exit 2
mkdir -p "$2" || exit 2
scratch=$(cd "$2" && pwd) || exit 2

started=$(date +%s)
bin="$scratch/bin"
work="$scratch/run"
prefix="$scratch/wineprefix"
rm -rf "$bin" "$work"
mkdir -p "$bin" "$work"

passed=0
failed=0
pass() { passed=$((passed + 1)); echo "PASS: $1"; }
fail() { failed=$((failed + 1)); echo "FAIL: $1"; }

# Runs "$@" as the check named $1; the command's output explains a failure, and its lines that
# start with "note: " are shown after a success too.
check() {
    local name=$1
    shift
    local out
    if out=$("$@" 2>&1); then
        pass "$name"
        printf '%s\n' "$out" | sed -n 's/^note: /      /p'
    else
        [ -n "$out" ] && printf '%s\n' "$out" | sed 's/^/      /'
        fail "$name"
        return 1
    fi
}

finish() {
    echo "check-under-wine: took $(($(date +%s) - started)) s"
    echo "check-under-wine: $passed passed, $failed failed"
    [ "$failed" -eq 0 ]
    exit
}

# ---------------------------------------------------------------------------
# Tools. Debian's wine64 package alone puts its loader in /usr/lib/wine; the wine package adds
# the wrappers on the PATH.
# ---------------------------------------------------------------------------
cross=x86_64-w64-mingw32-g++-posix
windres=x86_64-w64-mingw32-windres
wine=
for candidate in wine64 wine /usr/lib/wine/wine64; do
    if command -v "$candidate" >/dev/null 2>&1; then
        wine=$(command -v "$candidate")
        break
    fi
done
wineserver=
for candidate in wineserver /usr/lib/wine/wineserver64 /usr/lib/wine/wineserver; do
    if command -v "$candidate" >/dev/null 2>&1; then
        wineserver=$(command -v "$candidate")
        break
    fi
done
missing=()
for tool in g++ python3 "$cross" "$windres" timeout; do
    command -v "$tool" >/dev/null 2>&1 || missing+=("$tool")
done
[ -n "$wine" ] || missing+=(wine64)
[ -n "$wineserver" ] || missing+=(wineserver)
if [ ${#missing[@]} -gt 0 ]; then
    fail "tools present (missing: ${missing[*]}; scripts/test installs them)"
    finish
fi
pass "tools present"

export WINEPREFIX="$prefix"
export WINEDEBUG=-all
# No Mono or Gecko installer dialogs when the prefix is made.
export WINEDLLOVERRIDES="mscoree,mshtml="
# Wine turns the Unix arguments into UTF-16 through the locale's character set: it must be UTF-8
# for a name outside Latin-1 to reach the program intact.
export LC_ALL=C.UTF-8
unset DISPLAY WAYLAND_DISPLAY
[ "$(basename "$wine")" = wine64 ] && [ "$(dirname "$wine")" = /usr/lib/wine ] &&
    export WINELOADER="$wine"

# Every Wine call is bounded, so a hung prefix fails the test instead of stalling ctest.
run_wine() { timeout 120 "$wine" "$@"; }

# ---------------------------------------------------------------------------
# The Wine prefix: made once (its marker is written only after wineboot succeeded, so an
# interrupted creation is started over).
# ---------------------------------------------------------------------------
prepare_prefix() {
    if [ -f "$prefix/.corvantile-ready" ]; then
        echo "prefix: reused"
        return 0
    fi
    rm -rf "$prefix"
    local begin
    begin=$(date +%s)
    timeout 300 "$wine" wineboot -i </dev/null || { echo "wineboot -i failed"; return 1; }
    touch "$prefix/.corvantile-ready"
    echo "prefix: created in $(($(date +%s) - begin)) s"
}
if out=$(prepare_prefix 2>&1); then
    printf '%s\n' "$out" | sed -n 's/^prefix: /      prefix: /p'
    pass "Wine prefix ready"
else
    printf '%s\n' "$out" | sed 's/^/      /'
    fail "Wine prefix ready"
    finish
fi

# ---------------------------------------------------------------------------
# Both builds, from the same three sources, warnings as errors.
# ---------------------------------------------------------------------------
sources=("$root/tests/windows/platform_check.cpp" "$root/integrity/md5context.cpp"
    "$root/integrity/platformfile.cpp")
flags=(-std=c++17 -Wall -Wextra -Werror -O2 -I "$root")
native="$bin/platform_check"
windows="$bin/platform_check.exe"
resources="$bin/CorvantileUpdate_res.o"

check "native build with g++" g++ "${flags[@]}" "${sources[@]}" -o "$native" || finish

compile_resources() {
    # windres preprocesses with the cross gcc; its -posix twin serves where the plain name is
    # not installed.
    local pre=()
    command -v x86_64-w64-mingw32-gcc >/dev/null 2>&1 ||
        pre=(--preprocessor=x86_64-w64-mingw32-cpp-posix)
    # Run from elsewhere, so the icon and the manifest are found through -I as in the build.
    (cd "$bin" && "$windres" "${pre[@]}" -I "$root/resources" \
        -i "$root/resources/CorvantileUpdate.rc" -O coff -o "$resources")
}
resource_object=()
if check "windres compiles resources/CorvantileUpdate.rc" compile_resources; then
    resource_object=("$resources")
fi

# The resources are linked into the test program, so the Windows loader itself can be asked for
# them below; without them the program still builds for the other checks.
check "Windows build with $cross -static" \
    "$cross" "${flags[@]}" -static -municode "${sources[@]}" "${resource_object[@]}" \
    -o "$windows" || finish

platform_is() {
    local expected=$1
    shift
    local got
    got=$("$@") || { echo "exit status $?"; return 1; }
    [ "$got" = "$expected" ] || { echo "reports '$got', expected '$expected'"; return 1; }
}
check "native build runs as posix" platform_is posix "$native" platform || finish
check "Windows build runs under Wine as windows" platform_is windows run_wine "$windows" platform ||
    finish

# ---------------------------------------------------------------------------
# The corpus: every shape of line break and end mark the text-mode rules must get right.
# ---------------------------------------------------------------------------
corpus="$work/corpus"
mkdir -p "$corpus"
python3 - "$corpus" >"$work/names.txt" <<'EOF' || { fail "corpus generated"; finish; }
import os, random, sys

directory = sys.argv[1]
rng = random.Random(1321)


def filler(count):
    # Text without CR, LF or 0x1A, so the interesting bytes are only where a file puts them.
    return bytes(rng.choice(b"abcdefghijklmnopqrstuvwxyz0123456789 ") for _ in range(count))


# Random bytes with line breaks ten times as dense and no 0x1A, so a few MiB are hashed whole.
dense = bytes.maketrans(bytes([0x1a, 0, 1, 2, 3, 4, 5, 6, 7]),
                        bytes([0x0d, 0x0d, 0x0d, 0x0d, 0x0d, 0x0a, 0x0a, 0x0a, 0x0a]))
plain = b"a file whose name is not Latin-1, read by that name\n"

files = [
    ("empty.bin", b""),
    ("lf-only.txt", b"one\ntwo\nthree\n"),
    ("crlf.txt", b"one\r\ntwo\r\nthree\r\n"),
    ("cr-only.txt", b"one\rtwo\rthree"),
    ("cr-cr-lf.txt", b"one\r\r\ntwo\r\r\nthree"),
    ("lf-cr.txt", b"one\n\rtwo\n\r"),
    ("lone-cr-at-end.txt", b"one\r\ntwo\r"),
    ("two-crs-at-end.txt", b"one\r\r"),
    ("eof-mark-middle.txt", b"before\r\n\x1aafter\r\n"),
    ("eof-mark-first.txt", b"\x1aafter\r\n"),
    ("eof-mark-last.txt", b"before\r\n\x1a"),
    ("cr-before-eof-mark.txt", b"before\r\x1a\nafter"),
    ("crlf-across-1024.bin", filler(1023) + b"\r\n" + filler(100)),
    ("crlf-across-2048.bin", filler(2047) + b"\r\n" + filler(100)),
    # 4096 bytes is the C runtime's own buffer, where its reading carries a CR over.
    ("crlf-across-4096.bin", filler(4095) + b"\r\n" + filler(100)),
    ("cr-across-1024-then-text.bin", filler(1023) + b"\rx" + filler(100)),
    ("cr-cr-lf-across-1024.bin", filler(1023) + b"\r\r\n" + filler(100)),
    ("cr-across-1024-then-eof-mark.bin", filler(1023) + b"\r\x1a" + filler(100)),
    ("exactly-1024.bin", filler(1024)),
    ("exactly-1024-cr-last.bin", filler(1023) + b"\r"),
    ("exactly-2048.bin", filler(2046) + b"\r\n"),
    ("exactly-2048-cr-last.bin", filler(2047) + b"\r"),
    ("random-raw.bin", rng.randbytes(3 * 1024 * 1024)),
    ("random-dense-line-breaks.bin", rng.randbytes(5 * 1024 * 1024 + 517).translate(dense)),
    ("with space.txt", b"a name with a blank\r\n"),
    ("更新-файл.bin", plain),
    ("same-content-ascii.bin", plain),
]
for name, content in files:
    with open(os.path.join(directory, name), "wb") as out:
        out.write(content)
os.mkdir(os.path.join(directory, "a-directory"))
# A missing file and a directory both hash as empty input.
for name in [name for name, _ in files] + ["missing.bin", "a-directory"]:
    print(name)
EOF
mapfile -t names <"$work/names.txt"
pass "corpus generated (${#names[@]} names)"

empty_digest=d41d8cd98f00b204e9800998ecf8427e

# "<digest>  <name>" for exactly the names given, in their order.
well_formed() {
    python3 - "$1" "$work/names.txt" <<'EOF'
import re, sys
lines = open(sys.argv[1], "rb").read().decode("utf-8").split("\n")
names = open(sys.argv[2], "rb").read().decode("utf-8").split("\n")
if lines[-1] != "" or names[-1] != "":
    sys.exit("output or name list does not end with a line break")
lines, names = lines[:-1], names[:-1]
bad = [line for line in lines if not re.fullmatch(r"[0-9a-f]{32}  .+", line)]
if bad:
    sys.exit("malformed lines: %r" % bad[:3])
got = [line[34:] for line in lines]
if got != names:
    sys.exit("names differ from the ones given: %r" % [g for g, n in zip(got, names) if g != n][:3])
EOF
}

# The digests that must be of empty input are those of files the rules leave empty; every other
# file must hash to something else, so two builds that both read nothing cannot agree by accident.
empty_only_where_expected() {
    local expected_empty="empty.bin eof-mark-first.txt missing.bin a-directory"
    local digest name bad=0
    while read -r digest name; do
        if [[ " $expected_empty " == *" $name "* ]]; then
            [ "$digest" = "$empty_digest" ] || { echo "$name: $digest, not empty input"; bad=1; }
        else
            [ "$digest" != "$empty_digest" ] || { echo "$name hashes as empty input"; bad=1; }
        fi
    done <"$1"
    return $bad
}

(cd "$corpus" && "$native" digest "${names[@]}") >"$work/native.txt" 2>"$work/native.err"
native_status=$?
(cd "$corpus" && run_wine "$windows" digest "${names[@]}") >"$work/windows.txt" \
    2>"$work/windows.err"
windows_status=$?
check "native digest exits 0" test "$native_status" -eq 0
check "Windows digest exits 0 under Wine" test "$windows_status" -eq 0
check "native digest prints one line per name" well_formed "$work/native.txt"
check "Windows digest prints one line per name, names intact" well_formed "$work/windows.txt"
check "native digest is of empty input exactly where the rules leave nothing" \
    empty_only_where_expected "$work/native.txt"
check "Windows and native digests agree line by line" \
    diff -u "$work/native.txt" "$work/windows.txt"

(cd "$corpus" && run_wine "$windows" runtime-text-digest "${names[@]}") >"$work/runtime.txt" \
    2>"$work/runtime.err"
check "the Windows C runtime's own text-mode reading gives the same digests" \
    diff -u "$work/runtime.txt" "$work/windows.txt"

digest_of() { awk -v name="$2" 'substr($0, 35) == name { print substr($0, 1, 32) }' "$1"; }

non_latin1_by_real_name() {
    local wide ascii whole
    wide=$(digest_of "$work/windows.txt" "更新-файл.bin")
    ascii=$(digest_of "$work/windows.txt" same-content-ascii.bin)
    # The content holds neither CR nor 0x1A, so its digest is the plain MD5 of the file.
    whole=$(md5sum <"$corpus/same-content-ascii.bin" | cut -c1-32)
    [ -n "$wide" ] || { echo "no line for the non-Latin-1 name"; return 1; }
    [ "$wide" != "$empty_digest" ] || { echo "the non-Latin-1 name hashes as empty input"; return 1; }
    [ "$wide" = "$ascii" ] || { echo "$wide differs from the ASCII twin's $ascii"; return 1; }
    [ "$wide" = "$whole" ] || { echo "$wide differs from md5sum's $whole"; return 1; }
}
check "Windows build hashes the file named outside Latin-1 by its real name" \
    non_latin1_by_real_name

# ---------------------------------------------------------------------------
# Replacing files. Each build works on its own copies; contents hold CR LF and 0x1A so that any
# translation on the way would show.
# ---------------------------------------------------------------------------
old_content=$'old\r\ncontent\x1a kept after a failure\r\n'
new_content=$'new\r\ncontent\x1a installed in one step\r\n\r'

# run_program BUILD ARGS...: the build's stdout in $output and its exit status in $status.
run_program() {
    local build=$1
    shift
    if [ "$build" = windows ]; then
        output=$(run_wine "$windows" "$@" 2>/dev/null)
    else
        output=$("$native" "$@" 2>/dev/null)
    fi
    status=$?
}

same_bytes() { # FILE CONTENT
    local expected="$work/expected.$$"
    printf '%s' "$2" >"$expected"
    cmp "$1" "$expected" || { echo "$1 does not hold the expected bytes"; return 1; }
}

replace_over_existing() {
    local build=$1 dir="$work/replace-$1/over-existing"
    mkdir -p "$dir" && cd "$dir" || return 1
    printf '%s' "$old_content" >"更新-файл.dll"
    printf '%s' "$new_content" >"更新-файл.dll.update"
    run_program "$build" replace "更新-файл.dll.update" "更新-файл.dll"
    [ "$status" -eq 0 ] && [ "$output" = ok ] || { echo "status $status: $output"; return 1; }
    same_bytes "更新-файл.dll" "$new_content" || return 1
    [ ! -e "更新-файл.dll.update" ] || { echo "the source is still there"; return 1; }
    [ "$(ls -A)" = "更新-файл.dll" ] || { echo "left behind: $(ls -A)"; return 1; }
}

replace_over_directory() {
    local build=$1 dir="$work/replace-$1/over-directory"
    mkdir -p "$dir/target/inside" && cd "$dir" || return 1
    printf '%s' "$old_content" >target/inside/file.bin
    printf '%s' "$new_content" >target.update
    run_program "$build" replace target.update target
    [ "$status" -eq 1 ] || { echo "status $status, expected 1: $output"; return 1; }
    [[ "$output" == "failed: "?* ]] || { echo "no reason reported: '$output'"; return 1; }
    echo "note: reason: ${output#failed: }"
    [ -d target ] || { echo "the directory is gone"; return 1; }
    same_bytes target/inside/file.bin "$old_content" || return 1
    same_bytes target.update "$new_content" || return 1
}

replace_missing_source() {
    local build=$1 dir="$work/replace-$1/missing-source"
    mkdir -p "$dir" && cd "$dir" || return 1
    printf '%s' "$old_content" >target.bin
    run_program "$build" replace target.bin.update target.bin
    [ "$status" -eq 1 ] || { echo "status $status, expected 1: $output"; return 1; }
    [[ "$output" == "failed: "?* ]] || { echo "no reason reported: '$output'"; return 1; }
    echo "note: reason: ${output#failed: }"
    same_bytes target.bin "$old_content" || return 1
}

replace_held_target() {
    local dir="$work/replace-windows/held-target"
    mkdir -p "$dir" && cd "$dir" || return 1
    printf '%s' "$old_content" >"更新-файл.exe"
    printf '%s' "$new_content" >"更新-файл.exe.update"
    run_program windows replace-locked "更新-файл.exe.update" "更新-файл.exe"
    sed 's/^/note: /' <<<"$output"
    [ "$status" -eq 1 ] || { echo "status $status, expected 1"; return 1; }
    [[ "$(head -n1 <<<"$output")" == "held: "* ]] || { echo "the target was not held"; return 1; }
    [[ "$(tail -n1 <<<"$output")" == "failed: "?* ]] || { echo "no failure reported"; return 1; }
    same_bytes "更新-файл.exe" "$old_content" || return 1
    same_bytes "更新-файл.exe.update" "$new_content" || return 1
}

open_undecodable() {
    run_program "$1" open-undecodable
    [ "$status" -eq 0 ] || { echo "status $status: $output"; return 1; }
}

for build in native windows; do
    check "$build: replace over an existing file leaves exactly the new content" \
        replace_over_existing "$build"
    check "$build: replace onto a directory fails and leaves both" \
        replace_over_directory "$build"
    check "$build: replace from a missing source fails and leaves the target" \
        replace_missing_source "$build"
    check "$build: a name that is not UTF-8 fails to open like a missing file" \
        open_undecodable "$build"
done
check "windows: replace while the target is held without sharing fails and leaves both" \
    replace_held_target

# ---------------------------------------------------------------------------
# Links: a folder that is a link or junction is found on the way to a file below it, and a real
# folder is not. Wine shows a Unix symbolic link as the folder it points to, so on Windows only a
# junction made through the Windows API can be seen; where Wine cannot make one, that is noted.
# Syncing installed files must succeed, by volume or file by file.
# ---------------------------------------------------------------------------
expect_output() { # EXPECTED BUILD COMMAND...
    local expected=$1
    shift
    run_program "$@"
    [ "$status" -eq 0 ] && [ "$output" = "$expected" ] ||
        { echo "status $status, reports '$output', expected '$expected'"; return 1; }
}

native_folder_link() {
    local dir="$work/links-native"
    mkdir -p "$dir/install/real" "$dir/elsewhere" && cd "$dir/install" || return 1
    ln -s ../elsewhere plugins || return 1
    expect_output plugins native link-on-the-way plugins/x.dll || return 1
    expect_output none native link-on-the-way real/x.dll || return 1
    expect_output none native link-on-the-way plugins
}

windows_junction() {
    local dir="$work/links-windows"
    mkdir -p "$dir/install/real" "$dir/elsewhere" && cd "$dir/install" || return 1
    expect_output none windows link-on-the-way "real\\x.dll" || return 1
    run_program windows make-junction plugins ../elsewhere
    if [ "$output" != made ]; then
        echo "note: Wine cannot make a junction here ($output); junctions are not checked"
        return 0
    fi
    expect_output plugins windows link-on-the-way "plugins\\x.dll" || return 1
    expect_output plugins windows link-on-the-way plugins/x.dll
}

sync_files() {
    local build=$1 dir="$work/sync-$1"
    mkdir -p "$dir/sub" && cd "$dir" || return 1
    printf '%s' "$new_content" >"更新-файл.dll"
    printf '%s' "$new_content" >sub/b.dll
    expect_output ok "$build" sync "更新-файл.dll" sub/b.dll || return 1
    run_program "$build" sync missing.dll
    [ "$status" -eq 1 ] && [[ "$output" == "failed: "?* ]] ||
        { echo "a missing file: status $status, '$output'"; return 1; }
}

check "native: a folder that is a symbolic link is found on the way" native_folder_link
check "windows: a folder that is a junction is found on the way" windows_junction
for build in native windows; do
    check "$build: syncing installed files succeeds, and fails for a missing one" sync_files "$build"
done

# ---------------------------------------------------------------------------
# Resources: the compiled object holds them, and the loader finds them in the linked executable.
# ---------------------------------------------------------------------------
object_holds_resources() {
    [ -s "$resources" ] || { echo "no resource object"; return 1; }
    "$windres" -J coff -i "$resources" -O rc -o "$bin/decompiled.rc" || return 1
    grep -aq '^"IDI_ICON1" 14 ' "$bin/decompiled.rc" ||
        { echo "no icon group IDI_ICON1 in the object"; return 1; }
    grep -aq 'requireAdministrator' "$resources" ||
        { echo "no requireAdministrator in the object"; return 1; }
}
check "resource object holds IDI_ICON1 and requireAdministrator" object_holds_resources
check "Windows loader finds IDI_ICON1 and the requireAdministrator manifest" \
    run_wine "$windows" resources

# Wine's server outlives the last program by a few seconds; wait for it, so no process of this
# test is left running.
timeout 60 "$wineserver" -w
finish
