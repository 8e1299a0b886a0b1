// Task thread wake-up latency, throughput and delayed-task accuracy, each beside its
// anchor in the same run: a plain worker on std::mutex + std::condition_variable +
// std::deque<std::function<void()>>, and (for wake-up latency only) a literal sleep-poll
// loop that sleeps 50 ms whenever its queue is empty, as the idle interval once did. The
// I/O task thread (which waits in poll) has rows of its own, and the wake-up latency has a
// floor: a bare thread that waits in poll on an eventfd written by every push.
//   build-rel/bench/task_bench
// Counts (environment): VN_BENCH_WAKE_PUSHES (default 10000 pushes about 1 ms apart),
// VN_BENCH_POLL_PUSHES (default 200, the sleep-poll row), VN_BENCH_TIMERS (default 1000
// delayed tasks of 10 ms), VN_BENCH_TASKS (default 1000000 empty tasks).
#include <benchmark/benchmark.h>

#include <poll.h>
#include <sched.h>
#include <stdlib.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

#include "base/vnevent.h"
#include "base/vntime.h"
#include "fevent/vntaskio.h"
#include "task/vnrefcount.h"
#include "task/vnscopecall.h"
#include "task/vntask.h"

namespace {

using Clock = std::chrono::steady_clock;

long EnvCount(const char* name, long fallback) {
    const char* v = getenv(name);
    long n = v != nullptr ? atol(v) : 0;
    return n > 0 ? n : fallback;
}

// Records percentiles of samples (microseconds) as counters of the benchmark row.
void Report(benchmark::State& state, std::vector<double>& us) {
    std::sort(us.begin(), us.end());
    state.counters["samples"] = static_cast<double>(us.size());
    state.counters["median_us"] = us[us.size() / 2];
    state.counters["p99_us"] = us[us.size() * 99 / 100];
    state.counters["max_us"] = us.back();
}

// ---- anchor: the plain standard-library worker ----------------------------------------
class StdWorker {
public:
    StdWorker() : m_thread([this] { Loop(); }) {}
    ~StdWorker() {
        {
            std::lock_guard<std::mutex> g(m_mu);
            m_stop = true;
        }
        m_cv.notify_one();
        m_thread.join();
    }
    void Push(std::function<void()> fn) {
        {
            std::lock_guard<std::mutex> g(m_mu);
            m_queue.push_back(std::move(fn));
        }
        m_cv.notify_one();
    }

private:
    void Loop() {
        for (;;) {
            std::function<void()> fn;
            {
                std::unique_lock<std::mutex> l(m_mu);
                m_cv.wait(l, [this] { return m_stop || !m_queue.empty(); });
                if (m_queue.empty()) return;
                fn = std::move(m_queue.front());
                m_queue.pop_front();
            }
            fn();
        }
    }
    std::mutex m_mu;
    std::condition_variable m_cv;
    std::deque<std::function<void()>> m_queue;
    bool m_stop = false;
    std::thread m_thread;
};

// ---- the sleep-poll loop: what a 50 ms idle sleep without waking costs ------------------
class SleepPollWorker {
public:
    SleepPollWorker() : m_thread([this] { Loop(); }) {}
    ~SleepPollWorker() {
        m_stop = true;
        m_thread.join();
    }
    void Push(std::function<void()> fn) {
        std::lock_guard<std::mutex> g(m_mu);
        m_queue.push_back(std::move(fn));
    }

private:
    void Loop() {
        while (!m_stop) {
            std::function<void()> fn;
            {
                std::lock_guard<std::mutex> g(m_mu);
                if (!m_queue.empty()) {
                    fn = std::move(m_queue.front());
                    m_queue.pop_front();
                }
            }
            if (fn) {
                fn();
            } else {
                vn_msleep(50);
            }
        }
    }
    std::mutex m_mu;
    std::deque<std::function<void()>> m_queue;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

// ---- floor: a bare thread waiting in poll on an eventfd ------------------------------
// What waking a thread through poll costs on this machine: every push writes the eventfd,
// the worker waits in poll for at most the idle interval, reads the counter and runs what
// it took from its queue.
class PollEventfdWorker {
public:
    PollEventfdWorker()
        : m_fd(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)), m_thread([this] { Loop(); }) {}
    ~PollEventfdWorker() {
        m_stop = true;
        Signal();
        m_thread.join();
        close(m_fd);
    }
    void Push(std::function<void()> fn) {
        {
            std::lock_guard<std::mutex> g(m_mu);
            m_queue.push_back(std::move(fn));
        }
        Signal();
    }

private:
    void Signal() {
        unsigned long long one = 1;
        if (write(m_fd, &one, sizeof(one)) < 0) abort();
    }
    void Loop() {
        std::deque<std::function<void()>> batch;
        while (!m_stop) {
            struct pollfd p = {m_fd, POLLIN, 0};
            if (poll(&p, 1, 50) > 0) {
                unsigned long long n;
                if (read(m_fd, &n, sizeof(n)) < 0 && errno != EAGAIN) abort();
            }
            {
                std::lock_guard<std::mutex> g(m_mu);
                batch.swap(m_queue);
            }
            for (auto& fn : batch)
                fn();
            batch.clear();
        }
    }
    int m_fd;
    std::mutex m_mu;
    std::deque<std::function<void()>> m_queue;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

// ---- vnbase call targets --------------------------------------------------------------
struct Stamp : public CRefCountSafe {
    std::atomic<long long> ranAt{0};
    std::atomic<int> runs{0};
    CVNEvent done;
    int Run(CRefCount*) {
        ranAt.store(Clock::now().time_since_epoch().count(), std::memory_order_release);
        runs.fetch_add(1, std::memory_order_release);
        return 0;
    }
    int Noop(CRefCount*) { return 0; }
    int Last(CRefCount*) {
        done.Post();
        return 0;
    }
};

double UsSince(long long startTicks, long long endTicks) {
    return std::chrono::duration<double, std::micro>(Clock::duration(endTicks - startTicks))
        .count();
}

// Waits for the n-th run (yielding: the pusher must not keep a core from the worker).
void WaitRuns(const std::atomic<int>& runs, int n) {
    while (runs.load(std::memory_order_acquire) < n)
        std::this_thread::sleep_for(std::chrono::microseconds(50));
}

// ---- wake-up latency ------------------------------------------------------------------
// A push to an idle worker until the task runs, pushes about 1 ms apart.
template <class PushFn>
void MeasureWake(benchmark::State& state, long pushes, int gapMs, PushFn push, Stamp* stamp,
                 bool randomGap) {
    std::vector<double> us;
    us.reserve(static_cast<size_t>(pushes));
    std::mt19937 rng(1);
    for (auto _ : state) {
        us.clear();
        for (long i = 0; i < pushes; ++i) {
            int gap = randomGap ? static_cast<int>(rng() % static_cast<unsigned>(gapMs)) : gapMs;
            std::this_thread::sleep_for(std::chrono::milliseconds(gap));  // worker goes idle
            const int before = stamp->runs.load();
            long long pushedAt = Clock::now().time_since_epoch().count();
            push();
            WaitRuns(stamp->runs, before + 1);
            us.push_back(UsSince(pushedAt, stamp->ranAt.load(std::memory_order_acquire)));
        }
    }
    Report(state, us);
}

// The same on a task thread of the library, started here and released after.
void MeasureWakeOnTask(benchmark::State& state, CVNTaskBase* task) {
    task->Start();
    Stamp* stamp = new Stamp;
    CScopeCall call(stamp, stamp, &Stamp::Run);
    MeasureWake(
        state, EnvCount("VN_BENCH_WAKE_PUSHES", 10000), 1,
        [&] { CVNTaskBase::PushTask(task, call); }, stamp, false);
    task->Stop();
    task->Release();
    stamp->Release();
}

void BM_WakeLatency_vnbase(benchmark::State& state) {
    MeasureWakeOnTask(state, new CVNTaskBase("BenchWake", 50, 1));
}
BENCHMARK(BM_WakeLatency_vnbase)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_WakeLatency_vnbase_io(benchmark::State& state) {
    MeasureWakeOnTask(state, new CVNTaskIO("BenchWakeIO", 50, 1));
}
BENCHMARK(BM_WakeLatency_vnbase_io)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

// The same on a worker of the standard library's kind (Push(std::function)).
template <class Worker>
void MeasureWakeOn(benchmark::State& state, long pushes, int gapMs, bool randomGap) {
    Worker worker;
    Stamp* stamp = new Stamp;
    MeasureWake(
        state, pushes, gapMs, [&] { worker.Push([stamp] { stamp->Run(nullptr); }); }, stamp,
        randomGap);
    stamp->Release();
}

void BM_WakeLatency_floor_poll_eventfd(benchmark::State& state) {
    MeasureWakeOn<PollEventfdWorker>(state, EnvCount("VN_BENCH_WAKE_PUSHES", 10000), 1, false);
}
BENCHMARK(BM_WakeLatency_floor_poll_eventfd)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

void BM_WakeLatency_anchor_std(benchmark::State& state) {
    MeasureWakeOn<StdWorker>(state, EnvCount("VN_BENCH_WAKE_PUSHES", 10000), 1, false);
}
BENCHMARK(BM_WakeLatency_anchor_std)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

// Pushes land at random points of the 50 ms sleep, so this row estimates the old
// behaviour with fewer pushes (each costs tens of milliseconds).
void BM_WakeLatency_sleep_poll_50ms_estimate(benchmark::State& state) {
    MeasureWakeOn<SleepPollWorker>(state, EnvCount("VN_BENCH_POLL_PUSHES", 200), 50, true);
}
BENCHMARK(BM_WakeLatency_sleep_poll_50ms_estimate)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// ---- throughput -----------------------------------------------------------------------
// Empty tasks pushed from one thread; the time runs until the last one ran.
void PushEmptyTasks(benchmark::State& state, CVNTaskBase* task) {
    const long n = EnvCount("VN_BENCH_TASKS", 1000000);
    Stamp* stamp = new Stamp;
    CScopeCall noop(stamp, stamp, &Stamp::Noop);
    CScopeCall last(stamp, stamp, &Stamp::Last);
    for (auto _ : state) {
        for (long i = 1; i < n; ++i)
            CVNTaskBase::PushTask(task, noop);
        CVNTaskBase::PushTask(task, last);
        stamp->done.Wait(-1);
    }
    state.SetItemsProcessed(state.iterations() * n);
    stamp->Release();
}

void PushEmptyTasks(benchmark::State& state, StdWorker& worker) {
    const long n = EnvCount("VN_BENCH_TASKS", 1000000);
    CVNEvent done;
    long counter = 0;  // worker only
    for (auto _ : state) {
        for (long i = 1; i < n; ++i)
            worker.Push([&counter] { ++counter; });
        worker.Push([&done] { done.Post(); });
        done.Wait(-1);
    }
    benchmark::DoNotOptimize(counter);
    state.SetItemsProcessed(state.iterations() * n);
}

// On a task thread of the library, started here and released after.
void PushEmptyTasksOnTask(benchmark::State& state, CVNTaskBase* task) {
    task->Start();
    PushEmptyTasks(state, task);
    task->Stop();
    task->Release();
}

void BM_Throughput_vnbase(benchmark::State& state) {
    PushEmptyTasksOnTask(state, new CVNTaskBase("BenchThroughput", 50, 1));
}
BENCHMARK(BM_Throughput_vnbase)->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_Throughput_vnbase_io(benchmark::State& state) {
    PushEmptyTasksOnTask(state, new CVNTaskIO("BenchThroughIO", 50, 1));
}
BENCHMARK(BM_Throughput_vnbase_io)->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_Throughput_anchor_std(benchmark::State& state) {
    StdWorker worker;
    PushEmptyTasks(state, worker);
}
BENCHMARK(BM_Throughput_anchor_std)->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();

// ---- throughput with the threads placed --------------------------------------------
// The rows above leave placement to the scheduler, and their ratio swings with it: with the
// producer and the worker on one core the queue is filled and drained in turns with warm
// caches; on two cores they run at once and every line they share (the queue, and for
// vnbase the reference count of the call's target, which the producer's copy and the
// worker's release both write) crosses between the cores for each task. These rows pin
// the producer to the first core the process may use and the worker to the same one
// (cores:1) or the second (cores:2).
class Placement {
public:
    explicit Placement(int cores) {
        CPU_ZERO(&m_saved);
        sched_getaffinity(0, sizeof(m_saved), &m_saved);
        for (int c = 0, found = 0; c < CPU_SETSIZE && found < 2; ++c) {
            if (CPU_ISSET(c, &m_saved)) m_cpu[found++] = c;
        }
        if (cores == 1) m_cpu[1] = m_cpu[0];
        m_ok = m_cpu[0] >= 0 && m_cpu[1] >= 0;
        if (m_ok) PinCaller(m_cpu[0]);
    }
    ~Placement() { sched_setaffinity(0, sizeof(m_saved), &m_saved); }
    bool ok() const { return m_ok; }
    int worker() const { return m_cpu[1]; }
    static void PinCaller(int cpu) {
        cpu_set_t one;
        CPU_ZERO(&one);
        CPU_SET(cpu, &one);
        sched_setaffinity(0, sizeof(one), &one);
    }

private:
    cpu_set_t m_saved;
    int m_cpu[2] = {-1, -1};
    bool m_ok = false;
};

struct Pinner : public CRefCountSafe {
    int cpu = 0;
    CVNEvent done;
    int Run(CRefCount*) {
        Placement::PinCaller(cpu);
        done.Post();
        return 0;
    }
};

void BM_ThroughputPlaced_vnbase(benchmark::State& state) {
    Placement place(static_cast<int>(state.range(0)));
    if (!place.ok()) {
        state.SkipWithError("fewer than two cores");
        return;
    }
    CVNTaskBase* task = new CVNTaskBase("BenchPlaced", 50, 1);
    task->Start();
    Pinner* pin = new Pinner;
    pin->cpu = place.worker();
    CVNTaskBase::PushTask(task, CScopeCall(pin, pin, &Pinner::Run));
    pin->done.Wait(-1);
    PushEmptyTasks(state, task);
    task->Stop();
    task->Release();
    pin->Release();
}
BENCHMARK(BM_ThroughputPlaced_vnbase)
    ->ArgName("cores")
    ->Arg(1)
    ->Arg(2)
    ->Iterations(3)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

void BM_ThroughputPlaced_anchor_std(benchmark::State& state) {
    Placement place(static_cast<int>(state.range(0)));
    if (!place.ok()) {
        state.SkipWithError("fewer than two cores");
        return;
    }
    StdWorker worker;
    CVNEvent pinned;
    const int cpu = place.worker();
    worker.Push([&pinned, cpu] {
        Placement::PinCaller(cpu);
        pinned.Post();
    });
    pinned.Wait(-1);
    PushEmptyTasks(state, worker);
}
BENCHMARK(BM_ThroughputPlaced_anchor_std)
    ->ArgName("cores")
    ->Arg(1)
    ->Arg(2)
    ->Iterations(3)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// ---- delayed-task accuracy ------------------------------------------------------------
// 10 ms delayed tasks on an idle thread, one after the other: how late each one ran.
void BM_TimerLateness_vnbase(benchmark::State& state) {
    const long n = EnvCount("VN_BENCH_TIMERS", 1000);
    CVNTaskBase* task = new CVNTaskBase("BenchTimer", 50, 1);
    task->Start();
    Stamp* stamp = new Stamp;
    CScopeCall call(stamp, stamp, &Stamp::Run);
    std::vector<double> us;
    for (auto _ : state) {
        for (long i = 0; i < n; ++i) {
            const int before = stamp->runs.load();
            long long pushedAt = Clock::now().time_since_epoch().count();
            CVNTaskBase::PushDelayTask(task, call, 10, etask_once);
            WaitRuns(stamp->runs, before + 1);
            us.push_back(UsSince(pushedAt, stamp->ranAt.load()) - 10000.0);
        }
    }
    Report(state, us);
    task->Release();
    stamp->Release();
}
BENCHMARK(BM_TimerLateness_vnbase)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
