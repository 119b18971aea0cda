# Sourced by the benchmark scripts: installing what they need, finding free ports, an nginx origin.

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

# Writes $1/nginx/nginx.conf for an nginx that serves $1/www in the foreground, keeps its files in
# $1/nginx and takes the http block's own lines (directives, servers) from standard input.
write_nginx_conf() {
    mkdir -p "$1/nginx"
    {
        cat <<CONF
worker_processes 1;
pid $1/nginx/nginx.pid;
error_log $1/nginx/error.log warn;
daemon off;
events { worker_connections 1024; }
http {
    access_log off;
    keepalive_timeout 65;
    client_body_temp_path $1/nginx/body;
    proxy_temp_path $1/nginx/proxy;
    fastcgi_temp_path $1/nginx/fastcgi;
    uwsgi_temp_path $1/nginx/uwsgi;
    scgi_temp_path $1/nginx/scgi;
CONF
        cat
        echo "}"
    } >"$1/nginx/nginx.conf"
}

# Stops every process named in PIDS: asked first, for up to 10 seconds (Tarnwick ends in order,
# deleting its records and writing its settings), then killed.
stop_pids() {
    for pid in "${PIDS[@]}"; do kill "$pid" 2>/dev/null || true; done
    for _ in $(seq 1 100); do
        alive=0
        for pid in "${PIDS[@]}"; do kill -0 "$pid" 2>/dev/null && alive=1; done
        [ "$alive" = 0 ] && break
        sleep 0.1
    done
    for pid in "${PIDS[@]}"; do kill -9 "$pid" 2>/dev/null || true; done
    wait 2>/dev/null || true
}

# A CA of the run's own in the current folder (ca.pem, ca.key), to sign the origins' certificates.
make_ca() {
    openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -keyout ca.key -out ca.pem \
        -days 2 -subj /CN=bench-ca -addext basicConstraints=critical,CA:TRUE \
        -addext keyUsage=critical,keyCertSign 2>/dev/null
}

# tinyproxy at its fastest (warnings only) on 127.0.0.1 port $2, written to file $1, opening
# tunnels to the ports after those.
write_tinyproxy_conf() {
    local file=$1 port=$2
    shift 2
    {
        printf 'Port %s\nListen 127.0.0.1\nTimeout 600\nLogLevel Warning\nMaxClients 200\nAllow 127.0.0.1\n' "$port"
        for tunnelled in "$@"; do printf 'ConnectPort %s\n' "$tunnelled"; done
    } >"$file"
}
