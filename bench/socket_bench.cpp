// Sockets on I/O task threads against their anchor, a plain blocking socket pair, in one
// run, all over loopback:
//  - bulk: 1 GiB through two CVNTCPSocket on two CVNTaskIO threads, and through a
//    blocking pair driven by two plain threads; the same 256 KiB chunks and buffers;
//  - ping-pong: 1-byte messages between two idle CVNTaskIO threads (idle interval 50 ms,
//    as all threads of the system), median and 99th percentile round trip, beside the
//    blocking pair's, beside the floor of a wait in poll (two bare threads each polling
//    their end and an eventfd, as an idle I/O task thread does), and beside a model of the
//    designed loop (a 1 ms pump pass, then a 50 ms sleep after an idle iteration).
// Every transfer and every round-trip loop is bounded in count and in time.
#include <benchmark/benchmark.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <string.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <functional>
#include <random>
#include <thread>
#include <vector>

#include "base/vnevent.h"
#include "bench_loopback.h"
#include "fevent/vntaskio.h"
#include "net/vnnet.h"
#include "net/vnsocketi.h"
#include "task/vnscopecall.h"
#include "task/vntask.h"

namespace {

constexpr long long kBulkBytes = 1LL << 30;
constexpr int kChunk = 256 * 1024;
constexpr int kSockBuf = 4 * 1024 * 1024;
constexpr int kBulkLimitMs = 120000;  // one transfer
constexpr int kRoundTrips = 2000;
constexpr int kPingLimitMs = 30000;  // one ping-pong series

long long NowNs() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}

// A connected loopback TCP pair (blocking); both ends closed at scope end.
struct LoopbackPair {
    int a = -1;
    int b = -1;
    LoopbackPair() {
        ConnectLoopbackPair(&a, &b);
        for (int fd : {a, b}) {
            setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &kSockBuf, sizeof(kSockBuf));
            setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &kSockBuf, sizeof(kSockBuf));
        }
    }
    ~LoopbackPair() {
        if (a >= 0) close(a);
        if (b >= 0) close(b);
    }
    void NonBlocking() {
        fcntl(a, F_SETFL, fcntl(a, F_GETFL) | O_NONBLOCK);
        fcntl(b, F_SETFL, fcntl(b, F_GETFL) | O_NONBLOCK);
    }
    // Hands both ends over (non-blocking) to socket objects that close them.
    void Release() {
        NonBlocking();
        a = b = -1;
    }
    // A blocking call on either end gives up after limitMs instead of hanging the run.
    void BoundBlockingCalls(int limitMs) {
        struct timeval tv;
        tv.tv_sec = limitMs / 1000;
        tv.tv_usec = (limitMs % 1000) * 1000;
        for (int fd : {a, b}) {
            setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof(tv));
            setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
        }
    }
};

// Runs fn on task's worker and waits (bounded) for it.
struct Call : public CRefCountSafe {
    std::function<void()> fn;
    CVNEvent done{1, 0};
    int Run(CRefCount*) {
        fn();
        done.Post();
        return 0;
    }
};
bool RunOn(CVNTaskBase* task, std::function<void()> fn) {
    Call* c = new Call;
    c->fn = std::move(fn);
    bool ok =
        CVNTaskBase::PushTask(task, CScopeCall(c, c, &Call::Run)) != 0 && c->done.Wait(10000) == 1;
    c->Release();
    return ok;
}

// Two started I/O threads with the system's idle interval; stopped at scope end.
struct TwoIOThreads {
    CVNTaskIO* a = new CVNTaskIO("BenchA", 50, 1);
    CVNTaskIO* b = new CVNTaskIO("BenchB", 50, 1);
    TwoIOThreads() {
        a->Start();
        b->Start();
    }
    ~TwoIOThreads() {
        a->Stop();
        b->Stop();
        a->Release();
        b->Release();
    }
};

// ---- Bulk transfer ----

void BM_BulkBlockingPair(benchmark::State& state) {
    std::vector<char> out(kChunk, 'x');
    std::vector<char> in(kChunk);
    for (auto _ : state) {
        LoopbackPair pair;
        pair.BoundBlockingCalls(kBulkLimitMs);
        std::atomic<long long> got{0};
        long long start = NowNs();
        std::thread receiver([&] {
            long long n = 0;
            while (n < kBulkBytes) {
                ssize_t k = recv(pair.b, in.data(), in.size(), 0);
                if (k <= 0) break;  // end, error or the bound ran out
                n += k;
            }
            got = n;
        });
        long long sent = 0;
        while (sent < kBulkBytes) {
            ssize_t k = send(pair.a, out.data(),
                             static_cast<size_t>(std::min<long long>(kChunk, kBulkBytes - sent)),
                             MSG_NOSIGNAL);
            if (k <= 0) break;
            sent += k;
        }
        receiver.join();
        state.SetIterationTime(static_cast<double>(NowNs() - start) / 1e9);
        if (got.load() != kBulkBytes) {
            state.SkipWithError("blocking transfer incomplete");
            break;
        }
    }
    state.SetBytesProcessed(state.iterations() * kBulkBytes);
}
BENCHMARK(BM_BulkBlockingPair)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);

struct BulkSender : public CVNITCPSocketSink {
    std::vector<char> buf = std::vector<char>(kChunk, 'x');
    long long sent = 0;
    void OnSend(CVNITCPSocket* s) override {
        while (sent < kBulkBytes) {
            int n = s->Send(buf.data(),
                            static_cast<int>(std::min<long long>(kChunk, kBulkBytes - sent)));
            if (n <= 0) break;  // full: this Send asked for the next OnSend
            sent += n;
        }
    }
    void OnRecv(CVNITCPSocket*) override {}
    void OnClose(CVNITCPSocket*) override {}
};

struct BulkReceiver : public CVNITCPSocketSink {
    std::vector<char> buf = std::vector<char>(kChunk);
    long long got = 0;
    long long doneNs = 0;
    CVNEvent done{1, 0};
    void OnRecv(CVNITCPSocket* s) override {
        for (;;) {
            int n = s->Recv(buf.data(), kChunk);
            if (n <= 0) break;
            got += n;
        }
        if (got >= kBulkBytes && doneNs == 0) {
            doneNs = NowNs();
            done.Post();
        }
    }
    void OnSend(CVNITCPSocket*) override {}
    void OnClose(CVNITCPSocket*) override { done.Post(); }
};

void BM_BulkTaskIOSockets(benchmark::State& state) {
    TwoIOThreads io;
    for (auto _ : state) {
        LoopbackPair pair;
        int fdA = pair.a;
        int fdB = pair.b;
        pair.Release();
        BulkSender sender;
        BulkReceiver receiver;
        CVNITCPSocket* sa = nullptr;
        CVNITCPSocket* sb = nullptr;
        RunOn(io.b, [&] {
            sb = VNCreateTCPSocket();
            sb->SetSink(&receiver);
            sb->Attach(fdB);
        });
        long long start = NowNs();
        RunOn(io.a, [&] {  // the first OnSend starts the transfer
            sa = VNCreateTCPSocket();
            sa->SetSink(&sender);
            sa->Attach(fdA);
        });
        bool finished = receiver.done.Wait(kBulkLimitMs) == 1;
        RunOn(io.a, [&] { delete sa; });
        RunOn(io.b, [&] { delete sb; });
        if (!finished || receiver.got != kBulkBytes) {
            state.SkipWithError("task-thread transfer incomplete or over its time bound");
            break;
        }
        state.SetIterationTime(static_cast<double>(receiver.doneNs - start) / 1e9);
    }
    state.SetBytesProcessed(state.iterations() * kBulkBytes);
}
BENCHMARK(BM_BulkTaskIOSockets)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);

// ---- Ping-pong of 1-byte messages ----

void ReportRoundTrips(benchmark::State& state, std::vector<long long> rttNs) {
    std::sort(rttNs.begin(), rttNs.end());
    if (rttNs.empty()) return;
    state.counters["median_us"] = static_cast<double>(rttNs[rttNs.size() / 2]) / 1000.0;
    state.counters["p99_us"] = static_cast<double>(rttNs[rttNs.size() * 99 / 100]) / 1000.0;
    state.counters["round_trips"] = static_cast<double>(rttNs.size());
}

void BM_PingPongBlockingPair(benchmark::State& state) {
    std::vector<long long> rtt;
    for (auto _ : state) {
        LoopbackPair pair;
        pair.BoundBlockingCalls(kPingLimitMs);
        std::thread echo([&] {
            char c;
            for (int i = 0; i < kRoundTrips; ++i) {
                if (recv(pair.b, &c, 1, 0) != 1 || send(pair.b, &c, 1, MSG_NOSIGNAL) != 1) break;
            }
        });
        long long deadline = NowNs() + kPingLimitMs * 1000000LL;
        for (int i = 0; i < kRoundTrips && NowNs() < deadline; ++i) {
            char c = 'p';
            long long t0 = NowNs();
            if (send(pair.a, &c, 1, MSG_NOSIGNAL) != 1 || recv(pair.a, &c, 1, 0) != 1) break;
            rtt.push_back(NowNs() - t0);
        }
        shutdown(pair.a, SHUT_RDWR);  // ends the echo thread should the series stop early
        echo.join();
    }
    ReportRoundTrips(state, rtt);
}
BENCHMARK(BM_PingPongBlockingPair)->Iterations(1)->Unit(benchmark::kMillisecond);

// The floor of a thread that waits in poll: each side is a bare thread that polls its
// non-blocking end and an eventfd (never written; an idle I/O task thread watches one for
// pushes) for at most the idle interval, reads the byte and sends it on. What an I/O task
// thread adds to a round trip is the distance to this row.
void BM_PingPongPollEventfdFloor(benchmark::State& state) {
    std::vector<long long> rtt;
    for (auto _ : state) {
        LoopbackPair pair;
        pair.NonBlocking();
        const long long deadline = NowNs() + kPingLimitMs * 1000000LL;
        // One side's loop: wait in poll, then read what came; pinger times and sends the
        // next byte, echo sends it back. Ends by count, by deadline or on end of stream.
        auto side = [deadline, &rtt](int fd, bool pinger) {
            int efd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
            char c = 'p';
            long long sentNs = NowNs();
            bool ok = !pinger || send(fd, &c, 1, MSG_NOSIGNAL) == 1;
            int seen = 0;
            while (ok && seen < kRoundTrips && NowNs() < deadline) {
                struct pollfd fds[2] = {{fd, POLLIN, 0}, {efd, POLLIN, 0}};
                if (poll(fds, 2, 50) <= 0 || (fds[0].revents & POLLIN) == 0) continue;
                ssize_t k = recv(fd, &c, 1, MSG_DONTWAIT);
                if (k == 0 || (k < 0 && errno != EAGAIN)) break;
                if (k < 0) continue;
                ++seen;
                if (pinger) {
                    long long now = NowNs();
                    rtt.push_back(now - sentNs);
                    if (seen >= kRoundTrips) break;
                    sentNs = now;
                }
                if (send(fd, &c, 1, MSG_NOSIGNAL) != 1) break;
            }
            close(efd);
            if (pinger) shutdown(fd, SHUT_RDWR);  // ends the echo side
        };
        std::thread echo(side, pair.b, false);
        side(pair.a, true);
        echo.join();
    }
    ReportRoundTrips(state, rtt);
}
BENCHMARK(BM_PingPongPollEventfdFloor)->Iterations(1)->Unit(benchmark::kMillisecond);

// Side A: sends a byte, times its return, sends the next.
struct Pinger : public CVNITCPSocketSink {
    std::vector<long long> rttNs;
    long long sentNs = 0;
    long long deadlineNs = 0;
    CVNEvent done{1, 0};
    void Ping(CVNITCPSocket* s) {
        sentNs = NowNs();
        char c = 'p';
        if (s->Send(&c, 1) != 1) done.Post();
    }
    void OnRecv(CVNITCPSocket* s) override {
        char c;
        if (s->Recv(&c, 1) != 1) return;
        long long now = NowNs();
        rttNs.push_back(now - sentNs);
        if (static_cast<int>(rttNs.size()) >= kRoundTrips || now > deadlineNs) {
            done.Post();
            return;
        }
        Ping(s);
    }
    void OnSend(CVNITCPSocket*) override {}
    void OnClose(CVNITCPSocket*) override { done.Post(); }
};

// Side B: sends every byte back.
struct Ponger : public CVNITCPSocketSink {
    void OnRecv(CVNITCPSocket* s) override {
        char c;
        while (s->Recv(&c, 1) == 1)
            s->Send(&c, 1);
    }
    void OnSend(CVNITCPSocket*) override {}
    void OnClose(CVNITCPSocket*) override {}
};

// The designed loop, modelled: an iteration's pump pass sees readiness only during its
// 1 ms select; an iteration that found nothing sleeps 50 ms. So a thread listens in 1 ms
// windows every 51 ms, the first right after it handled something, and a message waits
// for the receiver's next window. Returns the median round trip in ms over random phases.
double DesignedLoopModelMedianMs() {
    const double kPass = 1.0;
    const double kCycle = kPass + 50.0;
    // The first moment >= m at which a thread whose last handled event was at h sees m.
    auto seen = [&](double h, double m) {
        double k = std::max(0.0, std::ceil((m - h - kPass) / kCycle));
        double window = h + k * kCycle;
        return std::max(m, window);
    };
    std::mt19937 rng(7);
    std::uniform_real_distribution<double> phase(0.0, kCycle);
    std::vector<double> rtt;
    for (int series = 0; series < 100; ++series) {
        double hA = 0.0;
        double hB = -phase(rng);
        double s = 0.0;
        for (int i = 0; i < 50; ++i) {
            double b = seen(hB, s);
            hB = b;
            double a = seen(hA, b);
            hA = a;
            rtt.push_back(a - s);
            s = a;
        }
    }
    std::sort(rtt.begin(), rtt.end());
    return rtt[rtt.size() / 2];
}

void BM_PingPongIdleTaskIOThreads(benchmark::State& state) {
    TwoIOThreads io;
    std::vector<long long> rtt;
    for (auto _ : state) {
        LoopbackPair pair;
        int fdA = pair.a;
        int fdB = pair.b;
        pair.Release();
        Pinger pinger;
        Ponger ponger;
        CVNITCPSocket* sa = nullptr;
        CVNITCPSocket* sb = nullptr;
        RunOn(io.b, [&] {
            sb = VNCreateTCPSocket();
            sb->SetSink(&ponger);
            sb->Attach(fdB);
        });
        RunOn(io.a, [&] {
            sa = VNCreateTCPSocket();
            sa->SetSink(&pinger);
            sa->Attach(fdA);
            pinger.deadlineNs = NowNs() + kPingLimitMs * 1000000LL;
            pinger.Ping(sa);
        });
        // Bounded: the series ends by count or by the pinger's deadline; this wait adds
        // a margin for a peer that went silent.
        pinger.done.Wait(kPingLimitMs + 5000);
        RunOn(io.a, [&] { delete sa; });
        RunOn(io.b, [&] { delete sb; });
        rtt.insert(rtt.end(), pinger.rttNs.begin(), pinger.rttNs.end());
    }
    ReportRoundTrips(state, rtt);
    state.counters["designed_loop_model_median_ms"] = DesignedLoopModelMedianMs();
}
BENCHMARK(BM_PingPongIdleTaskIOThreads)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
