# Sourced by the benchmark scripts: installing what they need and finding free ports.

# Installs the Debian packages named that are missing, and what Tarnwick needs to build.
install_missing() {
    local missing=() p
    for p in "$@"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
    done
    scripts/setup.sh
    if [ ${#missing[@]} -gt 0 ]; then
        local as_root=()
        [ "$(id -u)" -eq 0 ] || as_root=(sudo)
        "${as_root[@]}" apt-get update
        DEBIAN_FRONTEND=noninteractive "${as_root[@]}" apt-get install -y --no-install-recommends "${missing[@]}"
    fi
}

port_free() { ! ss -ltnH "sport = :$1" | grep -q .; }
# The first free port from $1 up.
pick_port() {
    local p=$1
    while ! port_free "$p"; do p=$((p + 1)); done
    echo "$p"
}
