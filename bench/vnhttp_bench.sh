#!/bin/bash
# vnhttp beside its anchors, measured in the same run on loopback:
#   serve  wrk -t2 -c50 fetching a 1 KiB file from `vnhttp serve` and from nginx with one
#          worker (target: at least 0.6x nginx's requests per second)
#   get    a 256 MiB file from nginx into a file with `vnhttp get` and with curl, best of
#          three each (target: at least 0.8x curl's throughput)
# Usage: bench/vnhttp_bench.sh [BUILD_DIR]   (default: a Release build in build-bench)
# Every program run is bounded by `timeout`; everything started is stopped on exit.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
# shellcheck source=bench/bench_common.sh
source "$root/bench/bench_common.sh"
bench_build "${1:-}" vnhttp
vnhttp=$build/tools/vnhttp
duration=${VN_BENCH_SECONDS:-5}

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

mkdir -p "$work/www" "$work/out"
head -c 1024 /dev/urandom >"$work/www/1k.bin"
head -c $((256 * 1024 * 1024)) /dev/urandom >"$work/www/256m.bin"
chmod 755 "$work/www"
chmod 644 "$work/www/"*

nginx_port=$(free_port)
cat >"$work/nginx.conf" <<CONF
worker_processes 1;
pid $work/nginx.pid;
error_log $work/error.log;
events { worker_connections 1024; }
http {
    access_log off;
    sendfile on;
    tcp_nopush on;
    keepalive_requests 1000000;
    client_body_temp_path $work/body; proxy_temp_path $work/proxy;
    fastcgi_temp_path $work/fcgi; uwsgi_temp_path $work/uwsgi; scgi_temp_path $work/scgi;
    server { listen 127.0.0.1:$nginx_port; root $work/www; }
}
CONF
nginx -e "$work/error.log" -p "$work" -c "$work/nginx.conf" -g 'daemon off;' &
pids+=($!)
wait_port "$nginx_port"

"$vnhttp" serve "$work/www" --port 0 >"$work/serve.out" 2>/dev/null &
pids+=($!)
for _ in $(seq 1 100); do
    grep -q 'http://' "$work/serve.out" && break
    sleep 0.05
done
vn_url=$(grep -o 'http://127.0.0.1:[0-9]*' "$work/serve.out")
ng_url=http://127.0.0.1:$nginx_port

echo "serve: wrk -t2 -c50 -d${duration}s on a 1 KiB file"
vn_rps=$(rps "$vn_url/1k.bin")
ng_rps=$(rps "$ng_url/1k.bin")

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
cmp -s "$work/www/256m.bin" "$work/out/vnhttp.bin" || { echo "bench: vnhttp's copy differs" >&2; exit 1; }

awk -v vr="$vn_rps" -v nr="$ng_rps" -v vt="$best_vn" -v ct="$best_curl" 'BEGIN {
    mib = 256
    printf "\n%-34s %14s %14s %8s %8s\n", "", "vnhttp", "anchor", "ratio", "target"
    printf "%-34s %14.0f %14.0f %8.2f %8s  %s\n", "serve 1 KiB, requests/s (nginx)", vr, nr,
        vr / nr, ">=0.60", (vr / nr >= 0.6) ? "met" : "BELOW"
    printf "%-34s %14.0f %14.0f %8.2f %8s  %s\n", "get 256 MiB, MiB/s (curl)", mib / vt, mib / ct,
        ct / vt, ">=0.80", (ct / vt >= 0.8) ? "met" : "BELOW"
}'
