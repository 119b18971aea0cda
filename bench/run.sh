#!/usr/bin/env bash
# Measures Tarnwick against a direct connection and against tinyproxy, all on 127.0.0.1:
# small-request rate and latency at three concurrency levels, bulk download rate (GET and through
# a CONNECT tunnel), Tarnwick's peak memory during bulk downloads with a fast and a slow reader,
# and whether the cost of an exchange grows as the history fills and is purged.
# Every figure is printed as a ratio against the direct baseline measured in the same run.
#
# The HTTPS part compares decryption against a direct TLS connection, a plain CONNECT tunnel
# through tinyproxy and mitmdump (with and without writing its flows), and ends with Tarnwick's
# peak memory when every request opens a tunnel of its own to an origin that speaks HTTP/2.
#
# Usage: bench/run.sh [requests-per-ab-run]   (default 2000); BENCH_ONLY=https or BENCH_ONLY=http
# runs that part only; THREADS=n gives Tarnwick n network threads (one per core unless set).
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$(pwd)
N=${1:-2000}

source bench/common.sh
install_missing nginx tinyproxy apache2-utils wrk curl procps iproute2 openssl python3 mitmproxy

cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DTARNWICK_TESTS=OFF >/dev/null
cmake --build build-bench --parallel "$(nproc)" --target tarnwick >/dev/null

WORK=$(mktemp -d /tmp/tarnwick-bench.XXXXXX)
# nginx's workers drop root's rights: they must be able to read the pages.
chmod 755 "$WORK"
PIDS=()
cleanup() {
    stop_pids
    rm -rf "$WORK"
}
trap cleanup EXIT

ORIGIN=$(pick_port 18180)
TINY=$(pick_port $((ORIGIN + 1)))
TARN=$(pick_port $((TINY + 1)))
ORIGIN_TLS=$(pick_port $((TARN + 1)))
MITM=$(pick_port $((ORIGIN_TLS + 1)))
ORIGIN_H2=$(pick_port $((MITM + 1)))

# A CA of the run's own and a certificate for localhost signed by it, for the HTTPS origin.
mkdir -p "$WORK/tls"
(
    cd "$WORK/tls"
    make_ca
    openssl req -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -keyout site.key -out site.csr \
        -subj /CN=localhost 2>/dev/null
    printf 'subjectAltName=DNS:localhost\nextendedKeyUsage=serverAuth\n' >site.ext
    openssl x509 -req -in site.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 2 -extfile site.ext \
        -out site.pem 2>/dev/null
)

# Origin: nginx with keep-alive, a 1 KiB page and a 1 GiB file.
mkdir -p "$WORK/www" "$WORK/nginx"
head -c 1024 /dev/urandom | base64 -w 0 | head -c 1024 >"$WORK/www/small.html"
truncate -s 1G "$WORK/www/big.bin"
write_nginx_conf "$WORK" <<CONF
    sendfile on;
    server {
        listen 127.0.0.1:$ORIGIN;
        root $WORK/www;
    }
    server {
        listen 127.0.0.1:$ORIGIN_TLS ssl;
        ssl_certificate $WORK/tls/site.pem;
        ssl_certificate_key $WORK/tls/site.key;
        keepalive_requests 100000;
        root $WORK/www;
    }
    server {
        listen 127.0.0.1:$ORIGIN_H2 ssl http2;
        ssl_certificate $WORK/tls/site.pem;
        ssl_certificate_key $WORK/tls/site.key;
        root $WORK/www;
    }
CONF
nginx -c "$WORK/nginx/nginx.conf" &
PIDS+=($!)

write_tinyproxy_conf "$WORK/tinyproxy.conf" "$TINY" "$ORIGIN" "$ORIGIN_TLS"
tinyproxy -d -c "$WORK/tinyproxy.conf" >/dev/null 2>&1 &
TINYPID=$!
PIDS+=($TINYPID)

# Tarnwick in a folder of its own, with its settings file, on the offscreen platform.
mkdir -p "$WORK/tarnwick"
cp build-bench/app/tarnwick "$WORK/tarnwick/"
printf '127.0.0.1\r\n %s \r\n\r\n' "$TARN" >"$WORK/tarnwick/tarnwick.ini"
# THREADS=n runs Tarnwick with that many network threads instead of one per core.
[ -z "${THREADS:-}" ] || printf 'Threads=%s\n' "$THREADS" >"$WORK/tarnwick/tarnwick-options.ini"
printf '[General]\nEnabled=true\nExtraTrustedCA=%s\n' "$WORK/tls/ca.pem" >"$WORK/tarnwick/tarnwick-https.ini"
QT_QPA_PLATFORM=offscreen "$WORK/tarnwick/tarnwick" >"$WORK/tarnwick.out" 2>&1 &
TPID=$!
PIDS+=($TPID)

for port in $ORIGIN $TINY $TARN; do
    for _ in $(seq 1 100); do port_free "$port" || break; sleep 0.1; done
    port_free "$port" && { echo "nothing listens on $port"; cat "$WORK/tarnwick.out"; exit 1; }
done

URL_SMALL="http://127.0.0.1:$ORIGIN/small.html"
URL_BIG="http://127.0.0.1:$ORIGIN/big.bin"

# ab, one connection per request (or kept alive with KEEP=-k); prints "rate p50 p99".
ab_run() {
    local c=$1 proxy=$2 out
    if [ -n "$proxy" ]; then
        out=$(ab -q ${KEEP:-} -n "$N" -c "$c" -X "$proxy" "$URL_SMALL" 2>&1)
    else
        out=$(ab -q ${KEEP:-} -n "$N" -c "$c" "$URL_SMALL" 2>&1)
    fi
    local failed rate p50 p99
    failed=$(awk '/^Failed requests:/ {f += $3} /^Non-2xx responses:/ {f += $3} END {print f + 0}' <<<"$out")
    rate=$(awk '/^Requests per second:/ {print $4}' <<<"$out")
    p50=$(awk '$1 == "50%" {print $2}' <<<"$out")
    p99=$(awk '$1 == "99%" {print $2}' <<<"$out")
    [ "${failed:-0}" = 0 ] || echo "warning: $failed failed requests (c=$c proxy=${proxy:-none})" >&2
    echo "$rate $p50 $p99"
}

ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.2f", a / b; else print "n/a" }'; }
# CPU time (user + system) a process has used, in milliseconds.
cpu_ms() { awk -v hz="$(getconf CLK_TCK)" '{ printf "%.0f", ($14 + $15) * 1000 / hz }' "/proc/$1/stat"; }

echo "Record folder: $(df -T "$WORK/tarnwick" | awk 'NR == 2 {print $2}') file system"

peak_rss_during() {
    # Resets the peak resident size, runs the command, prints the new peak in MiB.
    echo 5 >"/proc/$TPID/clear_refs" 2>/dev/null || true
    "$@" >/dev/null
    awk '/^VmHWM:/ {printf "%.1f", $2 / 1024}' "/proc/$TPID/status"
}

if [ "${BENCH_ONLY:-}" != https ]; then
sync
echo "Small requests: $N per run, one connection per request (ab), direct baseline interleaved"
printf '%-6s %-10s %12s %8s %8s %8s\n' conc peer req/s p50ms p99ms ratio
for c in 1 10 50; do
    read -r d50 dp50 dp99 <<<"$(ab_run "$c" "")"
    read -r t50 tp50 tp99 <<<"$(ab_run "$c" "127.0.0.1:$TINY")"
    read -r d2 _ _ <<<"$(ab_run "$c" "")"
    read -r w50 wp50 wp99 <<<"$(ab_run "$c" "127.0.0.1:$TARN")"
    base=$(awk -v a="$d50" -v b="$d2" 'BEGIN { printf "%.1f", (a + b) / 2 }')
    printf '%-6s %-10s %12s %8s %8s %8s\n' "$c" direct "$base" "$dp50" "$dp99" 1.00
    printf '%-6s %-10s %12s %8s %8s %8s\n' "$c" tinyproxy "$t50" "$tp50" "$tp99" "$(ratio "$t50" "$base")"
    printf '%-6s %-10s %12s %8s %8s %8s\n' "$c" tarnwick "$w50" "$wp50" "$wp99" "$(ratio "$w50" "$base")"
done

echo
echo "Small requests kept alive (ab -k), c=10; last column against tinyproxy"
printf '%-10s %12s %8s %8s %8s %10s\n' peer req/s p50ms p99ms ratio vs-tiny
read -r kd kdp50 kdp99 <<<"$(KEEP=-k ab_run 10 "")"
read -r kt ktp50 ktp99 <<<"$(KEEP=-k ab_run 10 "127.0.0.1:$TINY")"
read -r kw kwp50 kwp99 <<<"$(KEEP=-k ab_run 10 "127.0.0.1:$TARN")"
printf '%-10s %12s %8s %8s %8s %10s\n' direct "$kd" "$kdp50" "$kdp99" 1.00 ""
printf '%-10s %12s %8s %8s %8s %10s\n' tinyproxy "$kt" "$ktp50" "$ktp99" "$(ratio "$kt" "$kd")" 1.00
printf '%-10s %12s %8s %8s %8s %10s\n' tarnwick "$kw" "$kwp50" "$kwp99" "$(ratio "$kw" "$kd")" "$(ratio "$kw" "$kt")"

echo
echo "Tail latency over 20 s of keep-alive load across purges (wrk --latency, c=10), in ms"
printf 'wrk.path = "%s"\n' "$URL_SMALL" >"$WORK/proxied.lua"
wrk_tail() {
    wrk -t 2 -c 10 -d 20s --latency -s "$WORK/proxied.lua" "http://127.0.0.1:$1/" 2>&1 |
        awk '$1 == "99%" {p99 = $2} $1 == "Latency" && !max {max = $4} END {print p99, max}' |
        awk '{ for (i = 1; i <= 2; i++) { v = $i; f = 1; if (v ~ /us$/) f = 0.001; else if (v ~ /ms$/) f = 1; else if (v ~ /s$/) f = 1000;
               sub(/[a-z]+$/, "", v); printf "%.2f ", v * f } print "" }'
}
printf '%-10s %10s %10s\n' peer p99 max
read -r tp99 tmax <<<"$(wrk_tail "$TINY")"
read -r wp99 wmax <<<"$(wrk_tail "$TARN")"
printf '%-10s %10s %10s\n' tinyproxy "$tp99" "$tmax"
printf '%-10s %10s %10s\n' tarnwick "$wp99" "$wmax"

echo
echo "Proxy CPU per 1 KiB exchange (ms), c=10, recording every exchange"
printf '%-24s %10s %10s\n' client tinyproxy tarnwick
for mode in "" -k; do
    t0=$(cpu_ms "$TINYPID"); KEEP=$mode ab_run 10 "127.0.0.1:$TINY" >/dev/null; t1=$(cpu_ms "$TINYPID")
    w0=$(cpu_ms "$TPID"); KEEP=$mode ab_run 10 "127.0.0.1:$TARN" >/dev/null; w1=$(cpu_ms "$TPID")
    printf '%-24s %10s %10s\n' "ab ${mode:-(new connection)}" \
        "$(awk -v a="$t0" -v b="$t1" -v n="$N" 'BEGIN { printf "%.3f", (b - a) / n }')" \
        "$(awk -v a="$w0" -v b="$w1" -v n="$N" 'BEGIN { printf "%.3f", (b - a) / n }')"
done

echo
echo "Cost as the history fills and is purged (250 requests a batch, c=10, 200-row purge)"
printf '%-6s %12s %8s\n' batch req/s ratio
first=""
for b in 1 2 3 4 5 6; do
    rate=$(ab -q -n 250 -c 10 -X "127.0.0.1:$TARN" "$URL_SMALL" 2>&1 | awk '/^Requests per second:/ {print $4}')
    [ -n "$first" ] || first=$rate
    printf '%-6s %12s %8s\n' "$b" "$rate" "$(ratio "$rate" "$first")"
done

# Each bulk download leaves a 1 GiB reply record; let the disk settle between phases.
sync
# Bulk: MB/s of the 1 GiB reply, the better of two runs (the first read of the file is often slow).
bulk() {
    local speed code size best=0
    for _ in 1 2; do
        read -r code size speed <<<"$(curl -s -o /dev/null -w '%{http_code} %{size_download} %{speed_download}' "$@")"
        [ "$code" = 200 ] && [ "$size" = 1073741824 ] || echo "warning: status $code, $size bytes for $*" >&2
        best=$(awk -v a="$best" -v b="$speed" 'BEGIN { print (b > a) ? b : a }')
    done
    awk -v s="$best" 'BEGIN { printf "%.1f", s / 1048576 }'
}

echo
echo "Bulk download of 1 GiB"
printf '%-22s %10s %8s\n' path MB/s ratio
dbulk=$(bulk "$URL_BIG")
tbulk=$(bulk -x "127.0.0.1:$TINY" "$URL_BIG")
wbulk=$(bulk -x "127.0.0.1:$TARN" "$URL_BIG")
tcon=$(bulk -p -x "127.0.0.1:$TINY" "$URL_BIG")
wcon=$(bulk -p -x "127.0.0.1:$TARN" "$URL_BIG")
printf '%-22s %10s %8s\n' direct "$dbulk" 1.00
printf '%-22s %10s %8s\n' "tinyproxy GET" "$tbulk" "$(ratio "$tbulk" "$dbulk")"
printf '%-22s %10s %8s\n' "tarnwick GET" "$wbulk" "$(ratio "$wbulk" "$dbulk")"
printf '%-22s %10s %8s\n' "tinyproxy CONNECT" "$tcon" "$(ratio "$tcon" "$dbulk")"
printf '%-22s %10s %8s\n' "tarnwick CONNECT" "$wcon" "$(ratio "$wcon" "$dbulk")"

echo
echo "Tarnwick peak resident memory (MiB), target under 64"
fast=$(peak_rss_during curl -s -o /dev/null -x "127.0.0.1:$TARN" "$URL_BIG")
slow=$(peak_rss_during curl -s -o /dev/null --limit-rate 64M -r 0-268435455 -x "127.0.0.1:$TARN" "$URL_BIG")
printf 'fast reader, 1 GiB:             %s\n' "$fast"
printf 'slow reader, 256 MiB at 64 MB/s: %s\n' "$slow"
fi

[ "${BENCH_ONLY:-}" != http ] || exit 0
echo
echo "HTTPS: $N requests of 1 KiB, c=10; each figure against the direct TLS baseline"
echo 5 >"/proc/$TPID/clear_refs" 2>/dev/null || true
mitm_start() {
    mkdir -p "$WORK/mitm"
    mitmdump --listen-host 127.0.0.1 --listen-port "$MITM" --set confdir="$WORK/mitm" \
        --set ssl_verify_upstream_trusted_ca="$WORK/tls/ca.pem" -q "$@" >"$WORK/mitm.out" 2>&1 &
    MITMPID=$!
    PIDS+=($MITMPID)
    for _ in $(seq 1 100); do port_free "$MITM" || break; sleep 0.1; done
}
mitm_stop() { kill "$MITMPID" 2>/dev/null || true; wait "$MITMPID" 2>/dev/null || true; }
TCA="$WORK/tarnwick/ca/tarnwick-ca.pem"
tls_run() { python3 bench/tls_load.py --port "$ORIGIN_TLS" -n "$1" -c 10 "${@:2}"; }
printf '%-26s %12s %8s %8s %8s\n' "peer (keep-alive)" req/s p50ms p99ms ratio
row() { printf '%-26s %12s %8s %8s %8s\n' "$1" "$2" "$3" "$4" "$(ratio "$2" "$5")"; }
for mode in --keepalive ""; do
    n=$N
    [ -z "$mode" ] && { n=$((N / 4)); echo; printf '%-26s\n' "one handshake per request"; }
    read -r d dp50 dp99 _ <<<"$(tls_run "$n" $mode --cafile "$WORK/tls/ca.pem")"
    read -r t tp50 tp99 _ <<<"$(tls_run "$n" $mode --cafile "$WORK/tls/ca.pem" --proxy "$TINY")"
    read -r w wp50 wp99 wf <<<"$(tls_run "$n" $mode --cafile "$TCA" --proxy "$TARN")"
    mitm_start
    read -r m mp50 mp99 _ <<<"$(tls_run "$n" $mode --cafile "$WORK/mitm/mitmproxy-ca-cert.pem" --proxy "$MITM")"
    mitm_stop
    mitm_start -w "$WORK/mitm/flows"
    read -r mw mwp50 mwp99 _ <<<"$(tls_run "$n" $mode --cafile "$WORK/mitm/mitmproxy-ca-cert.pem" --proxy "$MITM")"
    mitm_stop
    row direct "$d" "$dp50" "$dp99" "$d"
    row "tinyproxy tunnel" "$t" "$tp50" "$tp99" "$d"
    row "tarnwick decrypting" "$w" "$wp50" "$wp99" "$d"
    row "mitmdump" "$m" "$mp50" "$mp99" "$d"
    row "mitmdump -w" "$mw" "$mwp50" "$mwp99" "$d"
    [ "${wf:-0}" = 0 ] || echo "warning: $wf failed requests through tarnwick" >&2
    printf '%-26s %12s x mitmdump\n' "tarnwick against mitmdump" "$(ratio "$w" "$m")"
done

echo
echo "HTTPS bulk download of 64 MiB (mitmdump holds whole bodies in memory; larger ones do not finish)"
truncate -s 64M "$WORK/www/big64.bin"
URL_TLS_BIG="https://localhost:$ORIGIN_TLS/big64.bin"
tls_bulk() {
    local speed code size best=0
    for _ in 1 2; do
        read -r code size speed <<<"$(curl -s --max-time 120 -o /dev/null -w '%{http_code} %{size_download} %{speed_download}' "$@" "$URL_TLS_BIG")"
        [ "$code" = 200 ] && [ "$size" = 67108864 ] || echo "warning: status $code, $size bytes for $*" >&2
        best=$(awk -v a="$best" -v b="$speed" 'BEGIN { print (b > a) ? b : a }')
    done
    awk -v s="$best" 'BEGIN { printf "%.1f", s / 1048576 }'
}
printf '%-26s %10s %8s\n' path MB/s ratio
db=$(tls_bulk --cacert "$WORK/tls/ca.pem")
tb=$(tls_bulk --cacert "$WORK/tls/ca.pem" -x "127.0.0.1:$TINY")
wb=$(tls_bulk --cacert "$TCA" -x "127.0.0.1:$TARN")
mitm_start
mb=$(tls_bulk --cacert "$WORK/mitm/mitmproxy-ca-cert.pem" -x "127.0.0.1:$MITM")
mitm_stop
printf '%-26s %10s %8s\n' direct "$db" 1.00
printf '%-26s %10s %8s\n' "tinyproxy tunnel" "$tb" "$(ratio "$tb" "$db")"
printf '%-26s %10s %8s\n' "tarnwick decrypting" "$wb" "$(ratio "$wb" "$db")"
printf '%-26s %10s %8s\n' "mitmdump" "$mb" "$(ratio "$mb" "$db")"
printf 'tarnwick against mitmdump %s, against the plain tunnel %s\n' \
    "$(ratio "$wb" "$mb")" "$(ratio "$wb" "$tb")"
printf 'tarnwick peak resident memory over the HTTPS runs: %s MiB (target under 96)\n' \
    "$(awk '/^VmHWM:/ {printf "%.1f", $2 / 1024}' "/proc/$TPID/status")"

echo
echo "Decrypted keep-alive requests over HTTP/2 and over HTTP/1.1: one curl, 20 requests at once"
h2n=$((N / 2))
multiplexed() {
    local t0 t1
    t0=$(date +%s.%N)
    curl -s -Z --parallel-max 20 --max-time 120 "$@" --cacert "$TCA" -x "127.0.0.1:$TARN" \
        "https://localhost:$ORIGIN_TLS/small.html?[1-$h2n]" >/dev/null
    t1=$(date +%s.%N)
    awk -v a="$t0" -v b="$t1" -v n="$h2n" 'BEGIN { printf "%.0f", n / (b - a) }'
}
h1rate=$(multiplexed --http1.1)
h2rate=$(multiplexed --http2)
printf '%-26s %12s %8s\n' "browser side" req/s ratio
printf '%-26s %12s %8s\n' "HTTP/1.1 (20 connections)" "$h1rate" 1.00
printf '%-26s %12s %8s\n' "HTTP/2 (one connection)" "$h2rate" "$(ratio "$h2rate" "$h1rate")"

echo
echo "Tarnwick peak resident memory (MiB) with an HTTP/2 origin: $N requests of 1 KiB, a tunnel each, c=10"
printf '%s (target under 96)\n' \
    "$(peak_rss_during python3 bench/tls_load.py --port "$ORIGIN_H2" -n "$N" -c 10 --cafile "$TCA" --proxy "$TARN")"
