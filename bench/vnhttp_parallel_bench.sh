#!/bin/bash
# `vnhttp get -Z` beside `curl -Z`, measured in the same run on loopback: 200 files of
# 256 KiB from nginx into a directory, 64 at once, N rounds alternating; prints every time,
# the medians and the ratio vnhttp_time / curl_time (target: at most 1.25). Then, for 1, 8,
# 64 and 256 at once (256 runs the 200 all together), each program's median wall time, its
# thread count at the peak and its peak resident set:
#   threads  /proc/PID/status "Threads:" polled every half millisecond while the program
#            runs: a lower bound of the true peak. vnhttp's design gives the main thread,
#            the notification thread "vnhttp" and one "HttpClient" thread per transfer at
#            once (its client takes the next URL when one ends), and the sampling should
#            come to exactly that.
#   RSS      GNU time's "Maximum resident set size" (the kernel's own peak, so nothing is
#            missed between samples; it cannot go below the few MiB of `time` itself);
#            without GNU time, the last VmHWM the sampler read, a lower bound.
# The sampled and measured runs are separate from the timed ones, which run unobserved.
#
# Usage: bench/vnhttp_parallel_bench.sh [BUILD_DIR]   (default: a Release build in
#        build-bench)    VN_BENCH_ROUNDS=N (7)   VN_BENCH_TABLE_ROUNDS=N (3)
# Every program run is bounded by `timeout`; everything started is stopped on exit. Other
# work on the machine shows in the figures: they are indicative.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
# shellcheck source=bench/bench_common.sh
source "$root/bench/bench_common.sh"
bench_build "${1:-}" vnhttp
vnhttp=$build/tools/vnhttp
rounds=${VN_BENCH_ROUNDS:-7}
table_rounds=${VN_BENCH_TABLE_ROUNDS:-3}
files=200

bench_begin vnhttp-parallel-bench

mkdir -p "$work/www" "$work/out"
for i in $(seq -w 1 "$files"); do
    head -c $((256 * 1024)) /dev/urandom >"$work/www/f$i.bin"
done
chmod 755 "$work/www"
chmod 644 "$work/www/"*

nginx_port=$(free_port)
cat >"$work/nginx.conf" <<CONF
worker_processes 1;
pid $work/nginx.pid;
error_log $work/error.log;
events { worker_connections 4096; }
http {
    access_log off;
    sendfile on;
    tcp_nopush on;
    keepalive_requests 1000000;
    client_body_temp_path $work/body; proxy_temp_path $work/proxy;
    fastcgi_temp_path $work/fcgi; uwsgi_temp_path $work/uwsgi; scgi_temp_path $work/scgi;
    server { listen 127.0.0.1:$nginx_port backlog=4096; root $work/www; }
}
CONF
nginx -e "$work/error.log" -p "$work" -c "$work/nginx.conf" -g 'daemon off;' &
pids+=($!)
wait_port "$nginx_port"
urls=()
for i in $(seq -w 1 "$files"); do urls+=("http://127.0.0.1:$nginx_port/f$i.bin"); done

# Sets `cmd` to the command line of tool (vnhttp or curl) fetching every file, N at once,
# into $work/out (emptied first by the callers).
command_for() {
    if [ "$1" = vnhttp ]; then
        cmd=("$vnhttp" get -s -Z --parallel-max "$2" --output-dir "$work/out" "${urls[@]}")
    else
        cmd=(curl -s -Z --parallel-max "$2" --output-dir "$work/out" --remote-name-all
            "${urls[@]}")
    fi
}
seconds() { # runs the command, prints its wall time in seconds; fails with the command
    local t0 t1
    t0=$(date +%s.%N)
    timeout 300 "$@" >/dev/null 2>&1 || { echo "bench: failed: $1 ... (status $?)" >&2; return 1; }
    t1=$(date +%s.%N)
    awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.3f", b - a }'
}
# Runs the command under the sampler; prints "peak_threads vmhwm_kib".
sampled() {
    timeout 300 python3 - "$@" <<'PY'
import os, re, sys, time
argv = sys.argv[1:]
null = os.open(os.devnull, os.O_WRONLY)
pid = os.posix_spawnp(argv[0], argv, os.environ,
                      file_actions=[(os.POSIX_SPAWN_DUP2, null, 1), (os.POSIX_SPAWN_DUP2, null, 2)])
peak = hwm = 0
while True:
    done, status = os.waitpid(pid, os.WNOHANG)
    if done:
        break
    try:
        with open("/proc/%d/status" % pid) as f:
            text = f.read()
        peak = max(peak, int(re.search(r"^Threads:\s+(\d+)", text, re.M).group(1)))
        hwm = max(hwm, int(re.search(r"^VmHWM:\s+(\d+)", text, re.M).group(1)))
    except (OSError, AttributeError):
        pass  # between the end and the reaping
    time.sleep(0.0005)
if os.waitstatus_to_exitcode(status) != 0:
    sys.exit("bench: failed under the sampler: %s ..." % argv[0])
print(peak, hwm)
PY
}
# Prints the peak resident set in KiB of the command: GNU time's figure.
max_rss() {
    timeout 300 /usr/bin/time -f %M -o "$work/rss" "$@" >/dev/null 2>&1 ||
        { echo "bench: failed under time: $1 ..." >&2; return 1; }
    cat "$work/rss"
}
have_time=no
/usr/bin/time -f %M true >/dev/null 2>&1 && have_time=yes
check_copies() { # every file arrived whole
    for i in $(seq -w 1 "$files"); do
        cmp -s "$work/www/f$i.bin" "$work/out/f$i.bin" ||
            { echo "bench: $1's copy of f$i.bin differs" >&2; exit 1; }
    done
}
median() { printf "%s\n" "$@" | sort -n | awk '{ v[NR] = $1 } END {
    print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

# One untimed run each: both must bring every file whole.
for tool in vnhttp curl; do
    rm -f "$work/out/"*
    command_for "$tool" 64
    timeout 300 "${cmd[@]}" >/dev/null 2>&1 || { echo "bench: $tool failed" >&2; exit 1; }
    check_copies "$tool"
done

echo "$files files of 256 KiB from nginx into a directory, 64 at once, $rounds rounds"
vn_times=()
curl_times=()
for round in $(seq 1 "$rounds"); do
    rm -f "$work/out/"*
    command_for vnhttp 64
    t_vn=$(seconds "${cmd[@]}")
    rm -f "$work/out/"*
    command_for curl 64
    t_curl=$(seconds "${cmd[@]}")
    vn_times+=("$t_vn")
    curl_times+=("$t_curl")
    printf "round %d: vnhttp %s s, curl %s s\n" "$round" "$t_vn" "$t_curl"
done
awk -v vm="$(median "${vn_times[@]}")" -v cm="$(median "${curl_times[@]}")" 'BEGIN {
    printf "\n%-30s %10s %10s %8s %8s\n", "", "vnhttp", "curl", "ratio", "target"
    printf "%-30s %10.3f %10.3f %8.2f %8s  %s\n", "median time, s (vnhttp/curl)", vm, cm,
        vm / cm, "<=1.25", (vm / cm <= 1.25) ? "met" : "ABOVE"
    printf "%-30s %10.1f %10.1f\n", "MiB/s (median)", 50 / vm, 50 / cm
}'

echo
echo "at once: median wall time of $table_rounds rounds; threads at the peak (sampled); peak RSS"
declare -A threads rss  # by tool
printf "%-8s %12s %12s %10s %10s %12s %12s\n" "at once" "vnhttp s" "curl s" \
    "vn thr" "curl thr" "vn RSS MiB" "curl RSS MiB"
for n in 1 8 64 256; do
    vt=()
    ct=()
    for _ in $(seq 1 "$table_rounds"); do
        rm -f "$work/out/"*
        command_for vnhttp "$n"
        vt+=("$(seconds "${cmd[@]}")")
        rm -f "$work/out/"*
        command_for curl "$n"
        ct+=("$(seconds "${cmd[@]}")")
    done
    for tool in vnhttp curl; do
        rm -f "$work/out/"*
        command_for "$tool" "$n"
        peaks=$(sampled "${cmd[@]}")
        read -r "threads[$tool]" "rss[$tool]" <<<"$peaks"
        check_copies "$tool"
        if [ "$have_time" = yes ]; then
            rm -f "$work/out/"*
            rss[$tool]=$(max_rss "${cmd[@]}")
        fi
    done
    printf "%-8s %12.3f %12.3f %10d %10d %12.1f %12.1f\n" "$n" "$(median "${vt[@]}")" \
        "$(median "${ct[@]}")" "${threads[vnhttp]}" "${threads[curl]}" \
        "$(awk -v k="${rss[vnhttp]}" 'BEGIN { print k / 1024 }')" \
        "$(awk -v k="${rss[curl]}" 'BEGIN { print k / 1024 }')"
done
if [ "$have_time" = yes ]; then
    echo "(RSS: GNU time's maximum resident set size)"
else
    echo "(RSS: the last VmHWM sampled; GNU time is not installed)"
fi
