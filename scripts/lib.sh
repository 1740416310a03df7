# Shared by the project's scripts: the build folders they configure and the Debian packages each
# of them needs on a fresh Debian 12 machine.

corvantile_root() {
    cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd
}

# Configures a build folder of a script's own, whatever it or build/ held before: the generator
# and the development key are given every time, so a publisher's build (another key) or a build
# made with another generator cannot break the demo or the tests. An existing folder made with
# another generator is started afresh, as CMake cannot switch it.
#   configure_build FOLDER [CMAKE-OPTION...]
configure_build() {
    local build=$1
    shift
    local root
    root=$(corvantile_root)
    if [ -f "$build/CMakeCache.txt" ] && ! grep -qx 'CMAKE_GENERATOR:INTERNAL=Ninja' "$build/CMakeCache.txt"; then
        echo "$build was made with another generator than Ninja: starting it afresh"
        rm -rf "$build"
    fi
    cmake -S "$root" -B "$build" -G Ninja \
        "-DCORVANTILE_PUBLIC_KEY=$root/tests/data/keys/dev_public.pem" "$@"
}

# What every build needs: compiler, CMake with Ninja, Qt 5 and OpenSSL.
CORVANTILE_BUILD_PACKAGES=(
    build-essential cmake ninja-build pkg-config
    qtbase5-dev qtbase5-dev-tools libqt5xml5 libssl-dev openssl
)
# scripts/demo: the build, nginx and curl to serve and probe the release, python3 for a free
# port, and a font with the Chinese glyphs of the window's caption.
CORVANTILE_DEMO_PACKAGES=(
    "${CORVANTILE_BUILD_PACKAGES[@]}"
    nginx-light curl python3 fonts-wqy-microhei
)
# scripts/test: the build, the fixture server (python3), nginx, the caption's font, and the
# Windows checks (mingw-w64 cross compiler and resource compiler, Wine).
CORVANTILE_TEST_PACKAGES=(
    "${CORVANTILE_BUILD_PACKAGES[@]}"
    python3 nginx-light fonts-wqy-microhei
    binutils-mingw-w64-x86-64 g++-mingw-w64-x86-64-posix wine64
)
# scripts/fuzz: clang with libFuzzer and the sanitizer runtimes.
CORVANTILE_FUZZ_PACKAGES=(
    "${CORVANTILE_BUILD_PACKAGES[@]}"
    clang libclang-rt-14-dev
)
# bench/: Google Benchmark, nginx, curl and GNU time for the end-to-end comparison.
CORVANTILE_BENCH_PACKAGES=(
    "${CORVANTILE_BUILD_PACKAGES[@]}"
    nginx-light curl python3 time libbenchmark-dev
)

package_installed() {
    dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"
}

# Installs those of the given packages that are missing, with apt's own progress and its account
# of how much it fetches and how much disk it takes.
install_missing_packages() {
    local missing=()
    local package
    for package in "$@"; do
        package_installed "$package" || missing+=("$package")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "== Installing ${#missing[@]} missing Debian packages and what they depend on: ${missing[*]}"
    local sudo=()
    if [ "$(id -u)" -ne 0 ]; then
        if ! command -v sudo >/dev/null; then
            echo "Missing packages (${missing[*]}) and no sudo to install them: install them as root." >&2
            return 1
        fi
        sudo=(sudo)
    fi
    "${sudo[@]}" apt-get update

    # Installing nginx starts the system's nginx on port 80 and enables it at boot; the project
    # runs its own nginx on loopback ports and needs neither. A policy-rc.d that denies every
    # start is in place for the time of the installation (unless the machine has one already).
    local policy=/usr/sbin/policy-rc.d
    local own_policy=no
    if [ ! -e "$policy" ]; then
        printf '#!/bin/sh\n# Written by CorvantileUpdate scripts/lib.sh during apt-get install.\nexit 101\n' |
            "${sudo[@]}" tee "$policy" >/dev/null
        "${sudo[@]}" chmod 755 "$policy"
        own_policy=yes
    fi
    local status=0
    # sudo drops the environment, so the setting goes through env.
    "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends \
        "${missing[@]}" || status=$?
    [ $own_policy = yes ] && "${sudo[@]}" rm -f "$policy"
    if [[ " ${missing[*]} " == *" nginx-light "* ]] && [ -d /run/systemd/system ]; then
        "${sudo[@]}" systemctl disable --quiet nginx.service 2>/dev/null || true
        echo "nginx is installed but not started, and not enabled at boot (systemctl enable --now nginx would)."
    fi
    return $status
}
