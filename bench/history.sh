#!/usr/bin/env bash
# Measures the history on 127.0.0.1 against a local nginx origin and prints one table:
#   - peak memory of a history filled with ROWS exchanges through the proxy (records on);
#   - in process (bench/HistoryBench): a filter keystroke and a row click over ROWS listed rows;
#   - how late the window's event loop runs during a keep-alive load at the default limit of 200
#     rows (purges all the time), today and for the program before the history model (2e30878);
#   - the exchange rate with a 100,000-row limit against the 200-row limit, same load;
#   - opening a ROWS-entry session (bench/make_session.py): time and peak memory.
#
# Usage: bench/history.sh [ROWS] [LOAD-SECONDS]   (defaults 100000 and 15; e.g. 5000 3 for a try)
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$(pwd)
ROWS=${1:-100000}
SECONDS_LOAD=${2:-15}
BEFORE_COMMIT=2e30878

source bench/common.sh
install_missing nginx apache2-utils wrk curl procps iproute2 python3 git

launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
export CCACHE_BASEDIR=${CCACHE_BASEDIR:-$ROOT}
echo "Building (Release)..." >&2
cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DTARNWICK_TESTS=OFF -DTARNWICK_BENCH=ON "${launcher[@]}" >/dev/null
cmake --build build-bench --parallel "$(nproc)" --target tarnwick HistoryBench >/dev/null

# The records live in memory (tmpfs) unless BENCH_TMP names another folder: right after a mass
# deletion, as every run of this script makes, ext4 spends most of a file's creation looking for an
# inode that was not freed recently, and a proxy that creates a file per record then measures that.
BENCH_TMP=${BENCH_TMP:-/dev/shm}
[ -d "$BENCH_TMP" ] && [ -w "$BENCH_TMP" ] || BENCH_TMP=/tmp
WORK=$(mktemp -d "$BENCH_TMP/tarnwick-history.XXXXXX")
# nginx's workers drop root's rights: they must be able to read the page.
chmod 755 "$WORK"
# The programs' temporary and runtime folders go with the run's folder.
mkdir -p "$WORK/tmp"
export TMPDIR=$WORK/tmp
BEFORE_TREE=$ROOT/build-bench/before-tree
PIDS=()
stop_pid() {
    # Tarnwick ends in order on SIGTERM: it deletes its records and writes its settings.
    local pid=$1
    kill -TERM "$pid" 2>/dev/null || return 0
    for _ in $(seq 1 600); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
    kill -9 "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
}
cleanup() {
    for pid in "${PIDS[@]}"; do stop_pid "$pid"; done
    if [ -d "$BEFORE_TREE" ]; then
        git worktree remove --force "$BEFORE_TREE" >/dev/null 2>&1 || rm -rf "$BEFORE_TREE"
        git worktree prune
    fi
    rm -rf "$WORK"
}
trap cleanup EXIT

wait_listening() {
    for _ in $(seq 1 100); do port_free "$1" || return 0; sleep 0.1; done
    return 1
}
ORIGIN=$(pick_port 18280)

# Origin: nginx with keep-alive and a 1 KiB page.
mkdir -p "$WORK/www" "$WORK/nginx"
head -c 1024 /dev/urandom | base64 -w 0 | head -c 1024 >"$WORK/www/small.html"
write_nginx_conf "$WORK" <<CONF
    keepalive_requests 1000000;
    server {
        listen 127.0.0.1:$ORIGIN;
        root $WORK/www;
    }
CONF
nginx -c "$WORK/nginx/nginx.conf" &
PIDS+=($!)
wait_listening "$ORIGIN" || { echo "nginx does not listen on $ORIGIN" >&2; exit 1; }
URL_SMALL="http://127.0.0.1:$ORIGIN/small.html"

# The program before the history model, with the lateness probe put into its main. Built once and
# kept in build-bench; n/a when it does not build.
BEFORE_BIN=$ROOT/build-bench/before-$BEFORE_COMMIT/tarnwick
build_before() {
    [ -x "$BEFORE_BIN" ] && return 0
    echo "Building $BEFORE_COMMIT with the lateness probe..." >&2
    git worktree add --detach "$BEFORE_TREE" "$BEFORE_COMMIT" >/dev/null 2>&1 || return 1
    cp app/LatenessProbe.h app/LatenessProbe.cpp "$BEFORE_TREE/app/"
    local main=$BEFORE_TREE/app/MainModule.cpp lists=$BEFORE_TREE/app/CMakeLists.txt
    sed -i -e 's|^#include "HttpsDecryption.h"$|&\n#include "LatenessProbe.h"|' \
        -e 's|^    exitCode = QCoreApplication::exec();$|    const std::unique_ptr<LatenessProbe> probe(LatenessProbe::fromEnvironment(nullptr));\n&|' \
        "$main"
    [ "$(grep -c LatenessProbe "$main")" = 2 ] || return 1
    # Its app library takes every .cpp of the folder; name the probe where the list is spelled out.
    grep -q 'GLOB TARNWICK_APP_SOURCES' "$lists" ||
        sed -i 's|^add_library(tarnwick_app STATIC|& LatenessProbe.cpp LatenessProbe.h|' "$lists"
    cmake -S "$BEFORE_TREE" -B "$BEFORE_TREE/build" -DCMAKE_BUILD_TYPE=Release -DTARNWICK_TESTS=OFF \
        "${launcher[@]}" >/dev/null 2>&1 || return 1
    cmake --build "$BEFORE_TREE/build" --parallel "$(nproc)" --target tarnwick >/dev/null 2>&1 || return 1
    mkdir -p "$(dirname "$BEFORE_BIN")"
    cp "$BEFORE_TREE/build/app/tarnwick" "$BEFORE_BIN"
}

# start_tarnwick NAME BINARY [OPTIONS-LINES]: the program in $WORK/NAME on a free port, offscreen,
# with the lateness probe writing to $WORK/NAME/probe.txt. Sets TARN_PID and TARN_PORT.
start_tarnwick() {
    local dir=$WORK/$1
    mkdir -p "$dir"
    cp "$2" "$dir/tarnwick"
    TARN_PORT=$(pick_port $((ORIGIN + 1)))
    printf '127.0.0.1\r\n %s \r\n\r\n' "$TARN_PORT" >"$dir/tarnwick.ini"
    [ -z "${3:-}" ] || printf '%b' "$3" >"$dir/tarnwick-options.ini"
    QT_QPA_PLATFORM=offscreen TARNWICK_PROBE="$dir/probe.txt" "$dir/tarnwick" >"$dir/out.txt" 2>&1 &
    TARN_PID=$!
    PIDS+=($TARN_PID)
    wait_listening "$TARN_PORT" || { echo "$1 does not listen on $TARN_PORT" >&2; cat "$dir/out.txt" >&2; exit 1; }
}
stop_tarnwick() {
    stop_pid "$TARN_PID"
    local kept=()
    for pid in "${PIDS[@]}"; do [ "$pid" = "$TARN_PID" ] || kept+=("$pid"); done
    PIDS=("${kept[@]}")
}
kib() { awk -v f="$1:" '$1 == f {print $2}' "/proc/$TARN_PID/status"; }
mib() { awk -v a="$1" 'BEGIN { printf "%.1f", a / 1024 }'; }

# wrk through the proxy: absolute-form request lines, c=10 kept alive. Prints requests/s.
cat >"$WORK/proxy.lua" <<LUA
wrk.path = "$URL_SMALL"
wrk.headers["Host"] = "127.0.0.1:$ORIGIN"
LUA
wrk_rate() {
    local out
    out=$(wrk -t 2 -c 10 -d "${SECONDS_LOAD}s" -s "$WORK/proxy.lua" "http://127.0.0.1:$1" 2>&1)
    grep -q 'Non-2xx\|Socket errors' <<<"$out" && echo "warning: wrk: $(grep 'Non-2xx\|Socket errors' <<<"$out")" >&2
    awk '/^Requests\/sec:/ {print $2}' <<<"$out"
}
# "p99 max" of a probe file, in ms.
lateness() {
    [ -s "$1" ] || { echo "n/a n/a"; return; }
    sort -n "$1" | awk '{ v[NR] = $1 } END { i = int(NR * 0.99 + 0.999); if (i < 1) i = 1; print v[i], v[NR] }'
}
# A load run of the program in $WORK/NAME: sets RUN_RATE, RUN_P99 and RUN_MAX.
load_run() {
    start_tarnwick "$1" "$2" "${3:-}"
    sleep 0.5
    RUN_RATE=$(wrk_rate "$TARN_PORT")
    stop_tarnwick
    read -r RUN_P99 RUN_MAX <<<"$(lateness "$WORK/$1/probe.txt")"
}

TABLE=()
row() { TABLE+=("$(printf '%-54s %-10s %10s  %s' "$1" "$2" "$3" "$4")"); }
# verdict VALUE OP LIMIT: ok when VALUE OP LIMIT holds, n/a without a value.
verdict() {
    [[ $1 =~ ^[0-9.]+$ ]] || { echo n/a; return; }
    awk -v v="$1" -v l="$3" -v op="$2" 'BEGIN { ok = (op == "<=") ? v <= l : v < l; print ok ? "ok" : "MISSED" }'
}

# 1. The history filled through the proxy, records on.
echo "Filling the history with $ROWS exchanges..." >&2
start_tarnwick fill build-bench/app/tarnwick 'HistoryLimit=1000000\n'
sleep 1
base=$(kib VmRSS)
fill=$(ab -q -k -n "$ROWS" -c 10 -X "127.0.0.1:$TARN_PORT" "$URL_SMALL" 2>&1)
failed=$(awk '/^Failed requests:/ {f += $3} /^Non-2xx responses:/ {f += $3} END {print f + 0}' <<<"$fill")
[ "$failed" = 0 ] || echo "warning: $failed failed requests while filling" >&2
# The history takes reports in batches; let the last ones land.
last=-1
for _ in $(seq 1 50); do
    records=$(find "$WORK/fill/requests" -maxdepth 1 -type f | wc -l)
    [ "$records" = "$last" ] && break
    last=$records
    sleep 0.2
done
peak=$(kib VmHWM)
fill_rate=$(awk '/^Requests per second:/ {print $4}' <<<"$fill")
stop_tarnwick
fill_mib=$(mib $((peak - base)))
row "1. Peak RSS above start, $ROWS rows via proxy (MiB)" "<= 150" "$fill_mib" "$(verdict "$fill_mib" '<=' 150)"

# 2. The window in process.
echo "Timing the window over $ROWS rows..." >&2
view=$(build-bench/bench/HistoryBench view "$ROWS")
get() { awk -v k="$2" '$1 == k {print $2}' <<<"$1"; }
filter_ms=$(get "$view" filter_ms)
click_ms=$(get "$view" click_ms)
row "2. Filter keystroke to view updated, median (ms)" "<= 200" "$filter_ms" "$(verdict "$filter_ms" '<=' 200)"
row "2. Row click to record in pane, median (ms)" "<= 100" "$click_ms" "$(verdict "$click_ms" '<=' 100)"

# 3 and 4. Lateness and rate under a keep-alive load.
echo "Load runs of ${SECONDS_LOAD}s each..." >&2
load_run limit200 build-bench/app/tarnwick
rate200=$RUN_RATE p99=$RUN_P99 max=$RUN_MAX
load_run limit100k build-bench/app/tarnwick 'HistoryLimit=100000\n'
rate100k=$RUN_RATE
if build_before; then
    load_run before "$BEFORE_BIN"
    bp99=$RUN_P99 bmax=$RUN_MAX
else
    echo "warning: $BEFORE_COMMIT did not build with the probe" >&2
    bp99=n/a bmax=n/a
fi
row "3. Event-loop lateness p99, limit 200 (ms)" "<= 16" "$p99" "$(verdict "$p99" '<=' 16)"
row "3. Event-loop lateness max, limit 200 (ms)" "<= 100" "$max" "$(verdict "$max" '<=' 100)"
row "3. Today's figure ($BEFORE_COMMIT) lateness p99 (ms)" "" "$bp99" ""
row "3. Today's figure ($BEFORE_COMMIT) lateness max (ms)" "" "$bmax" ""
ratio=$(awk -v a="$rate100k" -v b="$rate200" 'BEGIN { if (b > 0) printf "%.3f", a / b; else print "n/a" }')
deviation=$(awk -v r="$ratio" 'BEGIN { d = r - 1; if (d < 0) d = -d; printf "%.3f", d }')
row "4. Exchanges/s, limit 100000" "" "$rate100k" ""
row "4. Exchanges/s, limit 200" "" "$rate200" ""
row "4. Ratio 100000 / 200" "0.90-1.10" "$ratio" "$(verdict "$deviation" '<=' 0.10)"

# 5. Opening a saved session.
echo "Writing and opening a $ROWS-entry session..." >&2
python3 bench/make_session.py "$WORK/history.har" "$ROWS"
opened=$(build-bench/bench/HistoryBench open "$WORK/history.har")
rm -f "$WORK/history.har"
open_s=$(get "$opened" open_s)
open_mib=$(get "$opened" open_peak_mib)
[ "$(get "$opened" open_rows)" = "$ROWS" ] || echo "warning: the session opened $(get "$opened" open_rows) rows" >&2
row "5. Open a $ROWS-entry session (s)" "< 15" "$open_s" "$(verdict "$open_s" '<' 15)"
row "5. Peak RSS above the window's, opening it (MiB)" "<= 400" "$open_mib" "$(verdict "$open_mib" '<=' 400)"

echo
echo "History benchmark: $ROWS rows, ${SECONDS_LOAD}s loads (wrk c=10 kept alive), origin nginx on 127.0.0.1," \
    "records on $(df -T "$WORK" | awk 'NR == 2 {print $2}')"
echo "Filled at $fill_rate exchanges/s (ab -k c=10); $last record files; window: $(get "$view" click_shown)" \
    "of $(get "$view" click_tries) clicks showed their record; filter max $(get "$view" filter_max_ms) ms"
printf '%-54s %-10s %10s  %s\n' figure target measured verdict
printf '%s\n' "${TABLE[@]}"
