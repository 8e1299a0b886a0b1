#!/bin/bash
# The wake path of the task threads in figures: wake-up latency of an idle thread, tasks a
# second from one producer (placed by the scheduler, and pinned to one core or two), and
# the round trip of a 1-byte ping-pong between two idle I/O task threads, each beside its
# anchor (and its floor) in the same run. The machine may be
# shared, so every row is repeated with the rows interleaved at random; the median of the
# repetitions and the best of them are reported, each with its ratio to the anchor's.
# (On the virtual machine this was written on, whole runs of the poll-based rows, the bare
# poll loop included, now and then took 30 us more per wake-up: the best run shows the
# cost without that.)
#   bench/wake_bench.sh BUILD_DIR [REPETITIONS] [WAKE_PUSHES]
# BUILD_DIR holds bench/task_bench and bench/socket_bench (a release build with
# -DVN_BUILD_BENCH=ON). Rows missing from an older build are simply not shown.
set -euo pipefail
dir=${1:?usage: $0 BUILD_DIR [REPETITIONS] [WAKE_PUSHES]}
reps=${2:-5}
export VN_BENCH_WAKE_PUSHES=${3:-3000}
out=$(mktemp -d "${TMPDIR:-/tmp}/wake_bench.XXXXXX")
trap 'rm -rf "$out"' EXIT

common=(--benchmark_repetitions="$reps" --benchmark_enable_random_interleaving=true
    --benchmark_out_format=json)
echo "$dir: $reps runs of each row; load average before: $(cut -d' ' -f1-3 /proc/loadavg)"
"$dir/bench/task_bench" --benchmark_filter='WakeLatency_(vnbase|anchor_std|floor)|Throughput' \
    "${common[@]}" --benchmark_out="$out/task.json" >"$out/task.log" 2>&1
"$dir/bench/socket_bench" --benchmark_filter='PingPong' \
    "${common[@]}" --benchmark_out="$out/socket.json" >"$out/socket.log" 2>&1

python3 - "$out/task.json" "$out/socket.json" <<'EOF'
import json, statistics, sys

rows = {}
for path in sys.argv[1:]:
    for b in json.load(open(path))["benchmarks"]:
        if b.get("run_type") != "iteration":
            continue
        parts = b["run_name"].split("/")
        name = parts[0] + "".join("/" + p for p in parts[1:] if p.startswith("cores:"))
        value = b.get("median_us", b.get("items_per_second"))
        rows.setdefault(name, []).append(value)

groups = [
    ("wake-up latency, median us (lower is better)", "BM_WakeLatency_anchor_std",
     ["BM_WakeLatency_vnbase", "BM_WakeLatency_vnbase_io", "BM_WakeLatency_floor_poll_eventfd"]),
    ("tasks per second, one producer (higher is better)", "BM_Throughput_anchor_std",
     ["BM_Throughput_vnbase", "BM_Throughput_vnbase_io"]),
    ("tasks per second, producer and worker on one core", "BM_ThroughputPlaced_anchor_std/cores:1",
     ["BM_ThroughputPlaced_vnbase/cores:1"]),
    ("tasks per second, producer and worker on two cores", "BM_ThroughputPlaced_anchor_std/cores:2",
     ["BM_ThroughputPlaced_vnbase/cores:2"]),
    ("ping-pong round trip, median us (lower is better)", "BM_PingPongBlockingPair",
     ["BM_PingPongIdleTaskIOThreads", "BM_PingPongPollEventfdFloor"]),
]
for title, anchor, names in groups:
    if anchor not in rows:
        continue
    best = max if "per second" in title else min
    a, ab = statistics.median(rows[anchor]), best(rows[anchor])
    print(title + ": median (x anchor), best (x anchor)")
    for name in [anchor] + names:
        if name not in rows:
            continue
        m, b = statistics.median(rows[name]), best(rows[name])
        fmt = (lambda v: "%.3gM" % (v / 1e6)) if "per second" in title else (lambda v: "%.2f" % v)
        print("  %-40s %8s (x%.2f)  %8s (x%.2f)  %d runs" %
              (name, fmt(m), m / a, fmt(b), b / ab, len(rows[name])))
EOF
