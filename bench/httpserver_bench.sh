#!/bin/sh
# The embedded HTTP server against nginx in the same run, on loopback; nginx as its users
# would set it up (worker_processes auto, keepalive_requests raised), or with one worker
# (VN_BENCH_WORKERS=1):
#   1. wrk -t2 at 10, 50 and 190 connections (VN_BENCH_CONNS): 1 KiB answers (Accept_SendBuf
#      from inside OnRequest) against nginx serving a 1 KiB file; runs alternate, the best
#      of each is compared.
#   2. curl downloading a 256 MiB file (Accept_SendFile) against nginx serving it.
#   3. Resident memory of the server idle and with 200 idle kept-alive connections.
# Usage: bench/httpserver_bench.sh BUILD_DIR [SECONDS]   (BUILD_DIR built with
#   -DVN_BUILD_BENCH=ON, target httpserver_bench; a plain optimised build).
#   VN_BENCH_ROUNDS     rounds per connection count (default 2); best and median reported
#   VN_BENCH_BASELINE   an earlier httpserver_bench binary, measured in the same rounds
#                       (a before/after figure beside nginx)
set -eu
build=${1:?usage: $0 BUILD_DIR [SECONDS]}
secs=${2:-10}
bench=$build/bench/httpserver_bench
[ -x "$bench" ] || { echo "no $bench" >&2; exit 1; }

dir=$(mktemp -d "${TMPDIR:-/tmp}/httpsvr-bench-XXXXXX")
pids=""
cleanup() {
    for p in $pids; do kill "$p" 2>/dev/null || true; done
    wait 2>/dev/null || true
    rm -rf "$dir"
}
trap cleanup EXIT INT TERM

head -c 1024 /dev/zero | tr '\0' b > "$dir/1k.bin"
head -c 268435456 /dev/urandom > "$dir/big.bin"

freeport() {
    python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'
}
nport=$(freeport)
workers=${VN_BENCH_WORKERS:-auto}
conns=${VN_BENCH_CONNS:-10 50 190}
cat > "$dir/nginx.conf" <<EOF
worker_processes $workers;
daemon off;
pid $dir/nginx.pid;
error_log $dir/nginx.err;
events { worker_connections 1024; }
http {
    access_log off;
    sendfile on;
    keepalive_requests 1000000;
    client_body_temp_path $dir;
    proxy_temp_path $dir; fastcgi_temp_path $dir; uwsgi_temp_path $dir; scgi_temp_path $dir;
    server { listen 127.0.0.1:$nport; root $dir; }
}
EOF
nginx -c "$dir/nginx.conf" -p "$dir" &
pids="$pids $!"

"$bench" "$dir" > "$dir/port" &
bpid=$!
pids="$pids $bpid"
baseline=${VN_BENCH_BASELINE:-}
if [ -n "$baseline" ]; then
    "$baseline" "$dir" > "$dir/bport" &
    pids="$pids $!"
fi
for _ in $(seq 100); do
    [ -s "$dir/port" ] && curl -s -o /dev/null "http://127.0.0.1:$nport/1k.bin" && break
    sleep 0.1
done
vport=$(cat "$dir/port")
echo "nginx on $nport, vnbase server on $vport (pid $bpid)"
bport=""
if [ -n "$baseline" ]; then
    for _ in $(seq 100); do [ -s "$dir/bport" ] && break; sleep 0.1; done
    bport=$(cat "$dir/bport")
    echo "baseline server on $bport"
fi

rss() { awk '/VmRSS/ {print $2}' "/proc/$1/status"; }
rss_idle=$(rss "$bpid")

rps() { wrk -t2 -c"$2" -d"${secs}s" "$1" | awk '/Requests\/sec/ {print $2} /Socket errors|Non-2xx/ {print "ERR " $0 > "/dev/stderr"}'; }
rounds=${VN_BENCH_ROUNDS:-2}
for c in $conns; do
    all_n=""; all_v=""; all_b=""
    for round in $(seq "$rounds"); do
        n=$(rps "http://127.0.0.1:$nport/1k.bin" "$c")
        v=$(rps "http://127.0.0.1:$vport/buf" "$c")
        b=""
        [ -n "$bport" ] && b=$(rps "http://127.0.0.1:$bport/buf" "$c")
        echo "c$c round $round: nginx $n req/s, vnbase $v req/s${b:+, baseline $b req/s}"
        all_n="$all_n $n"; all_v="$all_v $v"; all_b="$all_b $b"
    done
    python3 - "$c" "$workers" "$all_n" "$all_v" "$all_b" <<'PY'
import statistics, sys
c, workers = sys.argv[1], sys.argv[2]
n, v, b = ([float(x) for x in a.split()] for a in sys.argv[3:6])
for how, f in (("best", max), ("median", statistics.median)):
    line = "wrk -t2 -c%s 1 KiB, %s: nginx(%s) %.0f req/s, vnbase %.0f req/s, ratio %.2f" % (
        c, how, workers, f(n), f(v), f(v) / f(n))
    if b:
        line += "; baseline %.0f req/s, ratio %.2f" % (f(b), f(b) / f(n))
    print(line)
PY
done

speed() { curl -s -o /dev/null -w '%{speed_download}' "$1"; }
best_n=0; best_v=0
for round in 1 2 3; do
    n=$(speed "http://127.0.0.1:$nport/big.bin")
    v=$(speed "http://127.0.0.1:$vport/file")
    best_n=$(python3 -c "print(max($best_n, $n))")
    best_v=$(python3 -c "print(max($best_v, $v))")
done
echo "curl 256 MiB: nginx $(python3 -c "print(round($best_n/1048576))") MiB/s, vnbase $(python3 -c "print(round($best_v/1048576))") MiB/s, ratio $(python3 -c "print(round($best_v/$best_n, 2))") (target >= 0.5)"

# 200 kept-alive connections, each after one answered request, held while the resident
# size is read (finished connections are swept after 5 s, so it is read at once).
rss_200=$(python3 - "$vport" "$bpid" <<'EOF'
import socket, sys
port, pid = int(sys.argv[1]), sys.argv[2]
conns = []
for _ in range(200):
    s = socket.create_connection(("127.0.0.1", port), timeout=5)
    s.sendall(b"GET /buf HTTP/1.1\r\nHost: x\r\n\r\n")
    got = b""
    while not got.endswith(b"b" * 1024):
        got += s.recv(65536)
    conns.append(s)
rss = [l.split()[1] for l in open("/proc/%s/status" % pid) if l.startswith("VmRSS")][0]
print(rss)
for s in conns:
    s.close()
EOF
)
echo "resident: idle $rss_idle KiB, with 200 kept-alive connections $rss_200 KiB, +$(( (rss_200 - rss_idle) / 1024 )) MiB (target <= 64 MiB)"
