# Shared by the scripts: install what is missing, configure and build.
# shellcheck shell=bash

VARNEL_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"

VARNEL_PACKAGES=(
    cmake make g++
    qt6-base-dev qt6-base-dev-tools
    fonts-dejavu-core fonts-liberation2
    xvfb xauth
    # ip: the suites plug adapters into their own namespaces
    iproute2
)

# The transfer benchmark's TFTP peers: a server to put to and two clients.
VARNEL_BENCH_PACKAGES=(
    tftpd-hpa atftp curl
)

# varnel_install [extra packages...]: VARNEL_PACKAGES and these, what is missing.
varnel_install() {
    local missing=() pkg
    for pkg in "${VARNEL_PACKAGES[@]}" "$@"; do
        if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed'; then
            missing+=("$pkg")
        fi
    done
    [ ${#missing[@]} -eq 0 ] && return 0

    local sudo=()
    [ "$(id -u)" -ne 0 ] && sudo=(sudo)
    echo "Installing: ${missing[*]}"
    "${sudo[@]}" apt-get update -qq
    "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}"
}

# varnel_build DIR [cmake options...]
varnel_build() {
    local dir="$1"
    shift
    cmake -S "$VARNEL_ROOT" -B "$dir" -DCMAKE_BUILD_TYPE="${VARNEL_BUILD_TYPE:-RelWithDebInfo}" "$@"
    cmake --build "$dir" -j"$(nproc)"
}

# varnel_private_network COMMAND...: runs COMMAND in a network namespace of
# its own that has only loopback, brought up: the fixed ports stay private and
# nothing can leave the machine. As root directly, otherwise through a user
# namespace.
varnel_private_network() {
    local unshare=(unshare --net)
    [ "$(id -u)" -ne 0 ] && unshare=(unshare --map-root-user --net)
    "${unshare[@]}" sh -c '
        ip link set lo up || exit 1
        if ip route get 198.51.100.1 >/dev/null 2>&1; then
            echo "the private network namespace has a route off the machine" >&2
            exit 1
        fi
        exec "$@"' varnel-private-network "$@"
}
