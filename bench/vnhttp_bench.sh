#!/bin/bash
# vnhttp beside its anchors, measured in the same run on loopback:
#   serve  wrk -t2 -c50 fetching a 1 KiB file from `vnhttp serve` and from nginx (sendfile,
#          keepalive_requests 1000000, no access log) with `worker_processes auto` (target:
#          at least 0.7x its requests per second) and with one worker (the earlier anchor,
#          target 0.6x); rounds interleave the servers, medians are compared
#   get    a 256 MiB file from nginx into a file with `vnhttp get` and with curl, best of
#          three each (target: at least 0.8x curl's throughput)
# Usage: bench/vnhttp_bench.sh [BUILD_DIR]   (default: a Release build in build-bench)
#   VN_BENCH_SECONDS   seconds of each wrk run (default 5)
#   VN_BENCH_ROUNDS    serve rounds (default 3)
#   VN_BENCH_ONLY      "serve" or "get": run that half alone
#   VN_BENCH_BASELINE  a directory holding an earlier vnhttp and its libvnbase.so.1 (copied
#                      out of a build): measured in the same rounds, for a before/after figure
# Every program run is bounded by `timeout`; everything started is stopped on exit.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
# shellcheck source=bench/bench_common.sh
source "$root/bench/bench_common.sh"
bench_build "${1:-}" vnhttp
vnhttp=$build/tools/vnhttp
duration=${VN_BENCH_SECONDS:-5}
rounds=${VN_BENCH_ROUNDS:-3}
only=${VN_BENCH_ONLY:-}
baseline=${VN_BENCH_BASELINE:-}
if [ -n "$baseline" ] && [ ! -x "$baseline/vnhttp" ]; then
    echo "bench: no vnhttp in $baseline" >&2
    exit 1
fi

bench_begin vnhttp-bench
seconds() {  # runs the command, prints its wall time in seconds
    local t0 t1
    t0=$(date +%s.%N)
    timeout 120 "$@" >/dev/null 2>&1
    t1=$(date +%s.%N)
    awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.3f", b - a }'
}
rps() {  # wrk requests per second against a URL (after a one-second warm-up)
    timeout 30 wrk -t2 -c50 -d1s "$1" >/dev/null 2>&1 || true
    timeout $((duration + 30)) wrk -t2 -c50 -d"${duration}s" "$1" |
        awk '/Requests\/sec:/ { print $2 }'
}
median() {  # of the numbers given
    printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END {
        print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}
# The two below run in this shell (not in $(...)), so that `pids` keeps what they start; each
# sets `url`.
start_nginx() {  # WORKERS: starts nginx in its own directory
    local dir=$work/nginx-$1 port
    port=$(free_port)
    mkdir -p "$dir"
    cat >"$dir/nginx.conf" <<CONF
worker_processes $1;
pid $dir/nginx.pid;
error_log $dir/error.log;
events { worker_connections 1024; }
http {
    access_log off;
    sendfile on;
    tcp_nopush on;
    keepalive_requests 1000000;
    client_body_temp_path $dir/body; proxy_temp_path $dir/proxy;
    fastcgi_temp_path $dir/fcgi; uwsgi_temp_path $dir/uwsgi; scgi_temp_path $dir/scgi;
    server { listen 127.0.0.1:$port; root $work/www; }
}
CONF
    nginx -e "$dir/error.log" -p "$dir" -c "$dir/nginx.conf" -g 'daemon off;' >/dev/null 2>&1 &
    pids+=($!)
    wait_port "$port"
    url=http://127.0.0.1:$port
}
start_serve() {  # NAME PROGRAM [LIBRARY_DIR]: starts `vnhttp serve`
    local out=$work/serve-$1.out
    LD_LIBRARY_PATH=${3:-${LD_LIBRARY_PATH:-}} "$2" serve "$work/www" --port 0 >"$out" \
        2>/dev/null &
    pids+=($!)
    for _ in $(seq 1 100); do
        grep -q 'http://' "$out" && break
        sleep 0.05
    done
    url=$(grep -o 'http://127.0.0.1:[0-9]*' "$out")
}

mkdir -p "$work/www" "$work/out"
head -c 1024 /dev/urandom >"$work/www/1k.bin"
[ "$only" = serve ] || head -c $((256 * 1024 * 1024)) /dev/urandom >"$work/www/256m.bin"
chmod 755 "$work/www"
chmod 644 "$work/www/"*

start_nginx 1
ng_url=$url
start_nginx auto
auto_url=$url
start_serve new "$vnhttp"
vn_url=$url
base_url=
if [ -n "$baseline" ]; then
    start_serve baseline "$baseline/vnhttp" "$baseline"
    base_url=$url
fi

echo "load before: $(cut -d' ' -f1-3 /proc/loadavg) ($(nproc) cores)"
vn=() auto=() one=() base=()
if [ "$only" != get ]; then
    echo "serve: wrk -t2 -c50 -d${duration}s on a 1 KiB file, $rounds rounds"
    for r in $(seq 1 "$rounds"); do
        vn+=("$(rps "$vn_url/1k.bin")")
        auto+=("$(rps "$auto_url/1k.bin")")
        one+=("$(rps "$ng_url/1k.bin")")
        [ -z "$base_url" ] || base+=("$(rps "$base_url/1k.bin")")
        echo "  round $r: vnhttp ${vn[-1]}  nginx auto ${auto[-1]}  nginx 1 worker ${one[-1]}" \
            "${base_url:+ baseline ${base[-1]}}"
    done
fi

best_vn=0
best_curl=0
if [ "$only" != serve ]; then
    echo "get: 256 MiB from nginx into a file, best of three"
    best_vn=999999
    best_curl=999999
    for _ in 1 2 3; do
        rm -f "$work/out/"*
        t=$(seconds curl -s -o "$work/out/curl.bin" "$ng_url/256m.bin")
        best_curl=$(awk -v a="$best_curl" -v b="$t" 'BEGIN { print (b < a) ? b : a }')
        rm -f "$work/out/"*
        t=$(seconds "$vnhttp" get -s "$ng_url/256m.bin" -o "$work/out/vnhttp.bin")
        best_vn=$(awk -v a="$best_vn" -v b="$t" 'BEGIN { print (b < a) ? b : a }')
    done
    cmp -s "$work/www/256m.bin" "$work/out/vnhttp.bin" ||
        { echo "bench: vnhttp's copy differs" >&2; exit 1; }
fi
echo "load after: $(cut -d' ' -f1-3 /proc/loadavg)"

vr=0 ar=0 nr=0 br=0
if [ "$only" != get ]; then
    vr=$(median "${vn[@]}")
    ar=$(median "${auto[@]}")
    nr=$(median "${one[@]}")
    [ -z "$base_url" ] || br=$(median "${base[@]}")
fi
awk -v vr="$vr" -v ar="$ar" -v nr="$nr" -v br="$br" -v vt="$best_vn" -v ct="$best_curl" \
    -v serve="$([ "$only" != get ] && echo 1 || echo 0)" \
    -v get="$([ "$only" != serve ] && echo 1 || echo 0)" 'BEGIN {
    mib = 256
    printf "\n%-40s %12s %12s %8s %8s\n", "", "vnhttp", "anchor", "ratio", "target"
    if (serve) {
        printf "%-40s %12.0f %12.0f %8.2f %8s  %s\n", "serve 1 KiB, req/s (nginx auto, median)",
            vr, ar, vr / ar, ">=0.70", (vr / ar >= 0.7) ? "met" : "BELOW"
        printf "%-40s %12.0f %12.0f %8.2f %8s  %s\n", "serve 1 KiB, req/s (nginx 1 worker)", vr,
            nr, vr / nr, ">=0.60", (vr / nr >= 0.6) ? "met" : "BELOW"
        if (br > 0)
            printf "%-40s %12.0f %12.0f %8.2f\n", "serve 1 KiB, req/s (baseline vnhttp)", vr, br,
                vr / br
    }
    if (get)
        printf "%-40s %12.0f %12.0f %8.2f %8s  %s\n", "get 256 MiB, MiB/s (curl)", mib / vt,
            mib / ct, ct / vt, ">=0.80", (ct / vt >= 0.8) ? "met" : "BELOW"
}'
