# Shared by the set-up scripts: install missing Debian packages, build.
set -euo pipefail

QUAVERLINK_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"

install_packages() {
    local missing=()
    for package in "$@"; do
        dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" \
            || missing+=("$package")
    done
    if ((${#missing[@]})); then
        echo "Installing: ${missing[*]}"
        local sudo=""
        [[ $(id -u) -eq 0 ]] || sudo="sudo"
        $sudo apt-get update -qq
        DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
    fi
}

BUILD_PACKAGES=(g++ cmake make pkg-config qt6-base-dev libgl-dev fonts-dejavu-core unixodbc unixodbc-dev odbc-mariadb
    libsqlite3-dev fonts-noto-core fonts-noto-cjk fonts-noto-color-emoji)

build_tree() {
    local dir="$1"; shift
    cmake -S "$QUAVERLINK_ROOT" -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
    cmake --build "$dir" -j "$(nproc)"
}
