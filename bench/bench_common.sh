# shellcheck shell=bash
# Sourced by the benchmark drivers: the programs under test (a Release build made here unless
# a build folder is given), a private work directory (removed on exit, together with
# every process whose pid is added to `pids`), a free loopback port, and a bounded wait for a
# port to accept connections.
#   bench_build DIR TARGET...   sets $build: DIR, or build-bench made Release with TARGETs
#   bench_begin TAG      sets $work (readable by nginx workers, which run unprivileged)
bench_build() {
    local root
    root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
    build=${1:-$root/build-bench}
    if [ -z "${1:-}" ]; then
        cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVN_BUILD_TESTS=OFF \
            -DVN_BUILD_DEMO=OFF -DVN_BUILD_BENCH=ON >/dev/null
        cmake --build "$build" -j 2 --target "${@:2}" >/dev/null
    fi
}
bench_begin() {
    work=$(mktemp -d "${TMPDIR:-/tmp}/$1.XXXXXX")
    chmod 755 "$work"
    pids=()
    trap bench_cleanup EXIT
}
bench_cleanup() {
    for pid in "${pids[@]}"; do kill -TERM "$pid" 2>/dev/null || true; done
    for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
    rm -rf "$work"
}
free_port() {
    python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}
wait_port() {
    for _ in $(seq 1 200); do
        (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null && return 0
        sleep 0.05
    done
    echo "bench: nothing listens on port $1" >&2
    return 1
}
