#!/usr/bin/env bash
# Measures how long headless Chromium takes to load two HTTPS pages to their load event, cold
# (a fresh profile each time), directly and through four proxies: a tinyproxy CONNECT tunnel,
# Tarnwick tunnelling, Tarnwick decrypting and mitmdump decrypting. The origin is nginx with
# HTTP/2; the pages spread their resources over three host names. Prints the median of LOADS
# loads (7 unless set) of each page through each path, its ratio to the direct load, and the
# protocol Chromium used inside the tunnel (h2 or http/1.1) as the page reported it.
#
# Chromium calls hosts of its own whatever it is told, so everything runs in a network
# namespace that has only a loopback interface, and in a mount namespace whose /etc/hosts sends
# the page hosts to 127.0.0.1 for the proxies. Needs root (or sudo) for both.
#
# Usage: bench/pageload.sh
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$(pwd)
LOADS=${LOADS:-7}
# Whatever is left after this many seconds is not loaded; the table says how many loads it has.
BUDGET=${BUDGET:-540}
HOSTS=(www.pageload.test static.pageload.test img.pageload.test)

if [ -z "${PAGELOAD_INSIDE:-}" ]; then
    source bench/common.sh
    install_missing nginx tinyproxy chromium mitmproxy curl procps iproute2 openssl python3 util-linux
    cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DTARNWICK_TESTS=OFF >/dev/null
    cmake --build build-bench --parallel "$(nproc)" --target tarnwick >/dev/null
    as_root=()
    [ "$(id -u)" -eq 0 ] || as_root=(sudo)
    exec "${as_root[@]}" env PAGELOAD_INSIDE=1 LOADS="$LOADS" BUDGET="$BUDGET" unshare -n -m "$ROOT/bench/pageload.sh" "$@"
fi

# From here on, inside the namespaces.
source bench/common.sh
ip link set lo up
STARTED=$SECONDS

WORK=$(mktemp -d /tmp/tarnwick-pageload.XXXXXX)
# nginx's workers drop root's rights: they must be able to read the pages.
chmod 755 "$WORK"
PIDS=()
CHROMEPID=""
cleanup() {
    [ -z "$CHROMEPID" ] || kill -9 -- "-$CHROMEPID" 2>/dev/null || true
    stop_pids
    rm -rf "$WORK"
}
trap cleanup EXIT

# The page hosts are 127.0.0.1 for every program here; the mount namespace keeps this private.
printf '127.0.0.1 localhost %s\n' "${HOSTS[*]}" >"$WORK/hosts"
mount --bind "$WORK/hosts" /etc/hosts

ORIGIN=443
TINY=$(pick_port 18280)
TTUN=$(pick_port $((TINY + 1)))
TDEC=$(pick_port $((TTUN + 1)))
MITM=$(pick_port $((TDEC + 1)))

# A CA of the run's own and a certificate of its own for each page host, signed by it: one
# certificate for all three would let Chromium share one HTTP/2 connection among the hosts.
mkdir -p "$WORK/tls"
(
    cd "$WORK/tls"
    make_ca
    for host in "${HOSTS[@]}"; do
        openssl req -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -keyout "$host.key" -out "$host.csr" \
            -subj "/CN=$host" 2>/dev/null
        printf 'subjectAltName=DNS:%s\nextendedKeyUsage=serverAuth\n' "$host" >"$host.ext"
        openssl x509 -req -in "$host.csr" -CA ca.pem -CAkey ca.key -CAcreateserial -days 2 -extfile "$host.ext" \
            -out "$host.pem" 2>/dev/null
    done
)

python3 bench/make_pages.py "$WORK/www" "${HOSTS[@]}"
# Each page asks its own host for /done?run=NAME&ms=..&proto=.. once loaded: the log of those.
REPORTS="$WORK/nginx/reports.log"
{
    cat <<CONF
    include /etc/nginx/mime.types;
    sendfile on;
    log_format report '\$args';
CONF
    for host in "${HOSTS[@]}"; do
        cat <<CONF
    server {
        listen 127.0.0.1:$ORIGIN ssl http2;
        server_name $host;
        ssl_certificate $WORK/tls/$host.pem;
        ssl_certificate_key $WORK/tls/$host.key;
        root $WORK/www;
        location = /done {
            access_log $REPORTS report;
            return 204;
        }
    }
CONF
    done
} | write_nginx_conf "$WORK"
nginx -c "$WORK/nginx/nginx.conf" &
PIDS+=($!)

write_tinyproxy_conf "$WORK/tinyproxy.conf" "$TINY" "$ORIGIN"
tinyproxy -d -c "$WORK/tinyproxy.conf" >/dev/null 2>&1 &
PIDS+=($!)

# Two Tarnwicks, each in a folder of its own on the offscreen platform: one only tunnels, the
# other decrypts and trusts the run's CA for the origin.
tarnwick_start() {
    local folder="$WORK/$1" port=$2
    mkdir -p "$folder"
    cp build-bench/app/tarnwick "$folder/"
    printf '127.0.0.1\r\n %s \r\n\r\n' "$port" >"$folder/tarnwick.ini"
    [ "$1" = tunnel ] || printf '[General]\nEnabled=true\nExtraTrustedCA=%s\n' "$WORK/tls/ca.pem" \
        >"$folder/tarnwick-https.ini"
    QT_QPA_PLATFORM=offscreen "$folder/tarnwick" >"$WORK/$1.out" 2>&1 &
    PIDS+=($!)
}
tarnwick_start tunnel "$TTUN"
tarnwick_start decrypt "$TDEC"

mkdir -p "$WORK/mitm"
mitmdump --listen-host 127.0.0.1 --listen-port "$MITM" --set confdir="$WORK/mitm" \
    --set ssl_verify_upstream_trusted_ca="$WORK/tls/ca.pem" -q >"$WORK/mitm.out" 2>&1 &
PIDS+=($!)

for port in $ORIGIN $TINY $TTUN $TDEC $MITM; do
    for _ in $(seq 1 100); do port_free "$port" || break; sleep 0.1; done
    port_free "$port" && { echo "nothing listens on $port"; cat "$WORK"/*.out; exit 1; }
done

CONTENDERS=(direct tinyproxy tarnwick-tunnel tarnwick-decrypt mitmdump)
declare -A PROXY=([tinyproxy]=$TINY [tarnwick-tunnel]=$TTUN [tarnwick-decrypt]=$TDEC [mitmdump]=$MITM)

# One cold load: a fresh profile, the page named $1 through the contender $2, run name $3.
# Prints "ms protocol missing-resources", or nothing when the page did not report within 60 s.
load_page() {
    local page=$1 contender=$2 run=$3 profile proxy=() line=""
    profile=$(mktemp -d "$WORK/profile.XXXXXX")
    [ "$contender" = direct ] || proxy=(--proxy-server="http://127.0.0.1:${PROXY[$contender]}")
    # In a session of its own, so that its helper processes end with it.
    setsid chromium --headless=new --no-sandbox --disable-gpu --disable-quic --no-first-run \
        --no-default-browser-check --disable-background-networking --disable-component-update \
        --disable-sync --disable-extensions --disable-default-apps --proxy-bypass-list='<-loopback>' \
        --ignore-certificate-errors --host-resolver-rules='MAP * 127.0.0.1' \
        --user-data-dir="$profile" "${proxy[@]}" "https://${HOSTS[0]}/$page.html?run=$run" \
        >>"$WORK/chromium.log" 2>&1 &
    CHROMEPID=$!
    for _ in $(seq 1 600); do
        line=$(grep -m1 "^run=$run&" "$REPORTS" 2>/dev/null || true)
        [ -z "$line" ] || break
        sleep 0.1
    done
    kill -- "-$CHROMEPID" 2>/dev/null || true
    for _ in $(seq 1 50); do kill -0 "$CHROMEPID" 2>/dev/null || break; sleep 0.1; done
    kill -9 -- "-$CHROMEPID" 2>/dev/null || true
    wait "$CHROMEPID" 2>/dev/null || true
    CHROMEPID=""
    rm -rf "$profile"
    [ -z "$line" ] || sed -E 's/.*&ms=([0-9]+)&proto=([^&]*)&missing=(-?[0-9]+).*/\1 \2 \3/' <<<"$line"
}

# A first load warms the disk cache for Chromium's own files; it is not counted.
load_page light direct warmup >/dev/null
# Loads are interleaved, one of each contender in turn, so that a busy moment of the machine
# falls on all of them alike.
declare -A TIMES PROTO
stopped=""
for page in light heavy; do
    for i in $(seq 1 "$LOADS"); do
        for c in "${CONTENDERS[@]}"; do
            if [ $((SECONDS - STARTED)) -ge "$BUDGET" ]; then
                stopped=yes
                break 3
            fi
            read -r ms proto missing <<<"$(load_page "$page" "$c" "$page-$c-$i")" || true
            if [ -z "${ms:-}" ]; then
                echo "warning: $page through $c did not load within 60 s" >&2
            elif [ "$missing" != 0 ]; then
                echo "warning: $page through $c lacked $missing resources; not counted" >&2
            else
                TIMES[$page,$c]+="$ms "
                PROTO[$page,$c]=$proto
            fi
        done
    done
done

median() { tr ' ' '\n' <<<"$1" | awk NF | sort -n | awk '{ v[NR] = $1 } END { if (NR) print v[int((NR + 1) / 2)]; else print "" }'; }
count() { wc -w <<<"$1" | tr -d ' '; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (a != "" && b > 0) printf "%.2f", a / b; else print "n/a" }'; }

echo
echo "Cold page loads to the load event: median of $LOADS loads, ms, against direct"
echo "light: 60 resources; heavy: 200 resources, 20 of them pictures of 1 MiB; over 3 host names"
printf '%-6s %-18s %8s %6s %7s %s\n' page contender ms ratio loads protocol
declare -A MED
for page in light heavy; do
    for c in "${CONTENDERS[@]}"; do
        MED[$page,$c]=$(median "${TIMES[$page,$c]:-}")
        printf '%-6s %-18s %8s %6s %7s %s\n' "$page" "$c" "${MED[$page,$c]:-n/a}" \
            "$(ratio "${MED[$page,$c]}" "${MED[$page,direct]}")" \
            "$(count "${TIMES[$page,$c]:-}")/$LOADS" "${PROTO[$page,$c]:-}"
    done
done

echo
echo "Targets: Tarnwick decrypting at most 1.10 x direct, and faster than mitmdump"
for page in light heavy; do
    d=$(ratio "${MED[$page,tarnwick-decrypt]}" "${MED[$page,direct]}")
    m=$(ratio "${MED[$page,tarnwick-decrypt]}" "${MED[$page,mitmdump]}")
    printf '%-6s %s x direct (%s), %s x mitmdump (%s)\n' "$page" \
        "$d" "$(awk -v r="$d" 'BEGIN { print (r != "n/a" && r <= 1.10) ? "met" : "missed" }')" \
        "$m" "$(awk -v r="$m" 'BEGIN { print (r != "n/a" && r < 1) ? "met" : "missed" }')"
done
echo "Chromium spoke ${PROTO[heavy,tarnwick-decrypt]:-${PROTO[light,tarnwick-decrypt]:-nothing}}" \
    "inside Tarnwick's decrypted tunnel"
[ -z "$stopped" ] || echo "warning: stopped after $BUDGET s; some loads were not made" >&2
