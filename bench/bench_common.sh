# Sourced by the benchmark drivers: a private work directory (removed on exit, together with
# every process whose pid is added to `pids`), a free loopback port, and a bounded wait for a
# port to accept connections.
#   bench_begin TAG      sets $work (readable by nginx workers, which run unprivileged)
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
