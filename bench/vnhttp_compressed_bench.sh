#!/bin/bash
# `vnhttp get --compressed` beside `curl --compressed`, measured in the same run on loopback:
# a 64 MiB log-like text file (it compresses about 7 times) from nginx, gzip-coded, decoded
# into a file by each client in turn, N rounds alternating; prints every time, the medians
# and the ratio curl_time / vnhttp_time (target: at least 0.90).
#
# nginx serves a copy compressed once beforehand (gzip_static), so the clients' inflating,
# not nginx's deflating, is what is timed; VN_BENCH_GZIP=dynamic has nginx compress every
# answer itself instead (gzip on, level 1).
#
# Usage: bench/vnhttp_compressed_bench.sh [BUILD_DIR]   (default: a Release build in
#        build-bench)    VN_BENCH_ROUNDS=N (5)   VN_BENCH_GZIP=static|dynamic (static)
# Every program run is bounded by `timeout`; everything started is stopped on exit.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
# shellcheck source=bench/bench_common.sh
source "$root/bench/bench_common.sh"
bench_build "${1:-}" vnhttp
vnhttp=$build/tools/vnhttp
rounds=${VN_BENCH_ROUNDS:-5}
mode=${VN_BENCH_GZIP:-static}
case "$mode" in
    static | dynamic) ;;
    *)
        echo "bench: VN_BENCH_GZIP is static or dynamic" >&2
        exit 64
        ;;
esac

bench_begin vnhttp-compressed-bench
seconds() { # runs the command, prints its wall time in seconds; fails with the command
    local t0 t1
    t0=$(date +%s.%N)
    timeout 300 "$@" >/dev/null 2>&1 || { echo "bench: failed: $*" >&2; return 1; }
    t1=$(date +%s.%N)
    awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.3f", b - a }'
}

mkdir -p "$work/www" "$work/out"
# Increasing times, a few dozen peers, varying sizes and durations: what a server log looks
# like, so the ratio is a real one (repeated bytes would inflate a thousandfold).
python3 - "$work/www/log.txt" <<'PY'
import random, sys, time
rnd = random.Random(1)
paths = ["/api/v2/messages", "/api/v2/presence", "/api/v1/roster", "/files/chunk",
         "/api/v2/sessions", "/status"]
words = ["session opened", "message queued", "peer went away", "retrying after reset",
         "file chunk stored", "presence update", "roster synced"]
peers = ["10.0.%d.%d" % (rnd.randint(0, 3), rnd.randint(1, 254)) for _ in range(40)]
size, n, t = 64 * 1024 * 1024, 0, 1714521600.0
with open(sys.argv[1], "w") as f:
    while n < size:
        t += rnd.expovariate(50)
        tm = time.gmtime(t)
        line = ("%04d-%02d-%02d %02d:%02d:%02d.%03d INFO [worker-%d] %s %s status=%d "
                "peer=%s bytes=%d took=%dms %s\n" % (
                    tm.tm_year, tm.tm_mon, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec,
                    int(t * 1000) % 1000, rnd.randint(1, 8), rnd.choice(("GET", "POST")),
                    rnd.choice(paths), rnd.choice((200, 200, 200, 204, 304, 404)),
                    rnd.choice(peers), rnd.randint(0, 99999), rnd.randint(0, 999),
                    rnd.choice(words)))
        f.write(line)
        n += len(line)
PY
if [ "$mode" = static ]; then
    gzip -6 -k "$work/www/log.txt"
    gzip_conf="gzip_static on;"
else
    gzip_conf="gzip on; gzip_comp_level 1; gzip_min_length 0; gzip_types text/plain;"
fi
chmod 755 "$work/www"
chmod 644 "$work/www/"*
plain_size=$(stat -c %s "$work/www/log.txt")

nginx_port=$(free_port)
cat >"$work/nginx.conf" <<CONF
worker_processes 1;
pid $work/nginx.pid;
error_log $work/error.log;
events { worker_connections 1024; }
http {
    log_format c '\$status \$body_bytes_sent "\$http_accept_encoding"';
    access_log $work/access.log c;
    default_type text/plain;
    sendfile on;
    tcp_nopush on;
    $gzip_conf
    client_body_temp_path $work/body; proxy_temp_path $work/proxy;
    fastcgi_temp_path $work/fcgi; uwsgi_temp_path $work/uwsgi; scgi_temp_path $work/scgi;
    server { listen 127.0.0.1:$nginx_port; root $work/www; }
}
CONF
nginx -e "$work/error.log" -p "$work" -c "$work/nginx.conf" -g 'daemon off;' &
pids+=($!)
wait_port "$nginx_port"
url=http://127.0.0.1:$nginx_port/log.txt

# One untimed fetch each: both copies must be the text, and the body must come coded.
timeout 300 "$vnhttp" get -s --compressed "$url" -o "$work/out/vnhttp.txt"
timeout 300 curl -s --compressed -o "$work/out/curl.txt" "$url"
for copy in vnhttp curl; do
    cmp -s "$work/www/log.txt" "$work/out/$copy.txt" ||
        { echo "bench: $copy's decoded copy differs" >&2; exit 1; }
done
wire=$(awk '$1 == 200 { n = $2 } END { print n + 0 }' "$work/access.log")
if [ "$wire" -ge "$plain_size" ]; then
    echo "bench: the body did not come compressed ($wire bytes)" >&2
    exit 1
fi
awk -v p="$plain_size" -v w="$wire" -v m="$mode" 'BEGIN {
    printf "%.1f MiB of text, %.1f MiB gzip-coded on the wire (%.1fx), nginx gzip %s\n",
        p / 1048576, w / 1048576, p / w, m }'

vn_times=()
curl_times=()
for round in $(seq 1 "$rounds"); do
    rm -f "$work/out/"*
    t_vn=$(seconds "$vnhttp" get -s --compressed "$url" -o "$work/out/vnhttp.txt")
    rm -f "$work/out/"*
    t_curl=$(seconds curl -s --compressed -o "$work/out/curl.txt" "$url")
    vn_times+=("$t_vn")
    curl_times+=("$t_curl")
    printf "round %d: vnhttp %s s, curl %s s\n" "$round" "$t_vn" "$t_curl"
done

median() { printf "%s\n" "$@" | sort -n | awk '{ v[NR] = $1 } END {
    print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
best() { printf "%s\n" "$@" | sort -n | head -1; }
awk -v vm="$(median "${vn_times[@]}")" -v cm="$(median "${curl_times[@]}")" \
    -v vb="$(best "${vn_times[@]}")" -v cb="$(best "${curl_times[@]}")" \
    -v mib="$(awk -v p="$plain_size" 'BEGIN { print p / 1048576 }')" 'BEGIN {
    printf "\n%-28s %10s %10s %8s %8s\n", "", "vnhttp", "curl", "ratio", "target"
    printf "%-28s %10.3f %10.3f %8.2f %8s  %s\n", "median time, s (curl/vnhttp)", vm, cm,
        cm / vm, ">=0.90", (cm / vm >= 0.9) ? "met" : "BELOW"
    printf "%-28s %10.3f %10.3f %8.2f\n", "best time, s", vb, cb, cb / vb
    printf "%-28s %10.1f %10.1f\n", "decoded MiB/s (median)", mib / vm, mib / cm
}'
