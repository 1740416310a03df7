# Shared by the project's scripts: installs what a fresh Debian 12 machine is missing.

corvantile_root() {
    cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd
}

# Every Debian package the build, the tests, the demo and the benchmarks use.
CORVANTILE_PACKAGES=(
    build-essential cmake ninja-build pkg-config
    qtbase5-dev qtbase5-dev-tools libqt5xml5 libssl-dev openssl
    python3 xvfb xauth x11-apps imagemagick
    nginx-light curl time strace
    binutils-mingw-w64-x86-64 g++-mingw-w64-x86-64-posix wine64
    libbenchmark-dev clang libclang-rt-14-dev
)

install_missing_packages() {
    local missing=()
    local package
    for package in "$@"; do
        dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" \
            || missing+=("$package")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "Installing: ${missing[*]}"
    local sudo=()
    if [ "$(id -u)" -ne 0 ]; then
        if ! command -v sudo >/dev/null; then
            echo "Missing packages (${missing[*]}) and no sudo to install them: install them as root." >&2
            return 1
        fi
        sudo=(sudo)
    fi
    "${sudo[@]}" apt-get update -qq
    # sudo drops the environment, so the setting goes through env.
    "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
        "${missing[@]}" >/dev/null
}
