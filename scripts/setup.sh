#!/usr/bin/env bash
# Installs, from Debian's packages, whatever Tarnwick needs to build, run and test that is not
# on the machine yet. Does nothing when everything is there. With --tests it also installs what
# only the tests use (a real browser for the HTTPS test).
set -euo pipefail

packages=(
    build-essential cmake g++ pkg-config
    qt6-base-dev qt6-base-dev-tools libgl-dev
    zlib1g-dev libbrotli-dev libzstd-dev
    libgtest-dev googletest
    libssl-dev libnghttp2-dev
    curl openssl xvfb xauth x11-apps imagemagick
)
if [ "${1:-}" = --tests ]; then
    packages+=(chromium nghttp2-server)
fi

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
        missing+=("$p")
    fi
done

if [ ${#missing[@]} -eq 0 ]; then
    exit 0
fi

echo "Installing: ${missing[*]}"
if [ "$(id -u)" -eq 0 ]; then
    as_root=()
else
    as_root=(sudo)
fi
"${as_root[@]}" apt-get update
DEBIAN_FRONTEND=noninteractive "${as_root[@]}" apt-get install -y --no-install-recommends "${missing[@]}"
