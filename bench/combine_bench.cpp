// The framed stream socket against its anchor, plain blocking framing, over loopback:
//  - receive: 64 MiB of packets (1 KiB and 16 KiB) written by a plain blocking thread,
//    taken in whole by a CVNCombineTCPSocket on a CVNTaskIO thread, beside a blocking
//    reader that reads each head and then its body;
//  - send from four threads: 16 MiB of 1 KiB packets through the locked variant's Send
//    (a busy queue is waited out on OnSend), beside four threads that send whole packets
//    on a blocking descriptor under a mutex. A plain blocking thread reads in both.
// Every transfer is bounded in time; a run that times out is reported as an error.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "base/vnevent.h"
#include "bench_loopback.h"
#include "fevent/vntaskio.h"
#include "net/vnsocketi.h"
#include "task/vnscopecall.h"
#include "task/vntask.h"

namespace {

constexpr long long kRecvBytes = 64LL << 20;
constexpr long long kSendBytes = 16LL << 20;
constexpr int kLimitMs = 60000;
constexpr int kSenders = 4;

long long NowNs() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}

bool GetLen(const char* buf, unsigned int len, unsigned int* total) {
    if (len < 4) return false;
    const unsigned char* p = reinterpret_cast<const unsigned char*>(buf);
    *total = (static_cast<unsigned int>(p[0]) << 24) | (static_cast<unsigned int>(p[1]) << 16) |
             (static_cast<unsigned int>(p[2]) << 8) | p[3];
    return true;
}

std::string Packet(unsigned int total) {
    std::string p(total, 'x');
    p[0] = static_cast<char>(total >> 24);
    p[1] = static_cast<char>(total >> 16);
    p[2] = static_cast<char>(total >> 8);
    p[3] = static_cast<char>(total);
    return p;
}

// A connected loopback pair, blocking, every blocking call bounded by kLimitMs.
struct Pair {
    int a = -1;
    int b = -1;
    Pair() {
        ConnectLoopbackPair(&a, &b);
        struct timeval tv = {kLimitMs / 1000, 0};
        for (int fd : {a, b}) {
            setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof(tv));
            setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
        }
    }
    ~Pair() {
        if (a >= 0) close(a);
        if (b >= 0) close(b);
    }
    // Hands b over, non-blocking, to a socket object that closes it.
    int TakeB() {
        fcntl(b, F_SETFL, fcntl(b, F_GETFL) | O_NONBLOCK);
        int fd = b;
        b = -1;
        return fd;
    }
};

bool WriteAll(int fd, const char* p, size_t n) {
    while (n > 0) {
        ssize_t w = write(fd, p, n);
        if (w <= 0) return false;
        p += w;
        n -= static_cast<size_t>(w);
    }
    return true;
}

bool ReadAll(int fd, char* p, size_t n) {
    while (n > 0) {
        ssize_t r = read(fd, p, n);
        if (r <= 0) return false;
        p += r;
        n -= static_cast<size_t>(r);
    }
    return true;
}

// Reads framed packets until `bytes` arrived; false on a bad head, an error or time-out.
bool ReadFramed(int fd, long long bytes) {
    std::vector<char> buf(1 << 20);
    long long got = 0;
    while (got < bytes) {
        unsigned int total = 0;
        if (!ReadAll(fd, buf.data(), 4) || !GetLen(buf.data(), 4, &total) || total < 4 ||
            total > buf.size() || !ReadAll(fd, buf.data() + 4, total - 4)) {
            return false;
        }
        got += total;
    }
    return true;
}

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

// Counts delivered bytes and OnSend reports; waiters are woken on every change.
struct Sink : public CVNICombineTCPSocketSink {
    std::mutex mu;
    std::condition_variable cv;
    long long bytes = 0;
    long long sends = 0;
    bool closed = false;
    void OnRecv(const char*, unsigned int len, CVNICombineTCPSocket*) override {
        std::lock_guard<std::mutex> g(mu);
        bytes += len;
        cv.notify_all();
    }
    void OnSend(CVNICombineTCPSocket*) override {
        std::lock_guard<std::mutex> g(mu);
        ++sends;
        cv.notify_all();
    }
    void OnClose(CVNICombineTCPSocket*) override {
        std::lock_guard<std::mutex> g(mu);
        closed = true;
        cv.notify_all();
    }
};

// ---- Receive ----

void BM_RecvBlockingFraming(benchmark::State& state) {
    const std::string p = Packet(static_cast<unsigned int>(state.range(0)));
    for (auto _ : state) {
        Pair pair;
        long long t0 = NowNs();
        std::thread writer([&] {
            for (long long sent = 0; sent < kRecvBytes; sent += static_cast<long long>(p.size())) {
                if (!WriteAll(pair.a, p.data(), p.size())) return;
            }
        });
        bool ok = ReadFramed(pair.b, kRecvBytes);
        writer.join();
        state.SetIterationTime(static_cast<double>(NowNs() - t0) / 1e9);
        if (!ok) state.SkipWithError("blocking transfer failed");
    }
    state.SetBytesProcessed(state.iterations() * kRecvBytes);
}
BENCHMARK(BM_RecvBlockingFraming)
    ->Arg(1024)
    ->Arg(16384)
    ->UseManualTime()
    ->Iterations(3)
    ->Unit(benchmark::kMillisecond);

void BM_RecvCombineSocket(benchmark::State& state) {
    const std::string p = Packet(static_cast<unsigned int>(state.range(0)));
    CVNTaskIO* io = new CVNTaskIO("BenchComb", 50, 1);
    io->Start();
    for (auto _ : state) {
        Pair pair;
        Sink sink;
        CVNICombineTCPSocket* s = nullptr;
        int fd = pair.TakeB();
        long long t0 = NowNs();
        RunOn(io, [&] {
            s = VNCreateCombineTCPSocket();
            s->SetSink(&sink);
            s->SetPacketInfo(4, GetLen, 16384 + 128);
            s->Attach(fd);
        });
        std::thread writer([&] {
            for (long long sent = 0; sent < kRecvBytes; sent += static_cast<long long>(p.size())) {
                if (!WriteAll(pair.a, p.data(), p.size())) return;
            }
        });
        bool ok;
        {
            std::unique_lock<std::mutex> l(sink.mu);
            ok = sink.cv.wait_for(l, std::chrono::milliseconds(kLimitMs), [&] {
                return sink.bytes >= kRecvBytes || sink.closed;
            }) && sink.bytes == kRecvBytes;
        }
        state.SetIterationTime(static_cast<double>(NowNs() - t0) / 1e9);
        writer.join();
        RunOn(io, [&] { delete s; });
        if (!ok) state.SkipWithError("framed transfer failed");
    }
    state.SetBytesProcessed(state.iterations() * kRecvBytes);
    io->Stop();
    io->Release();
}
BENCHMARK(BM_RecvCombineSocket)
    ->Arg(1024)
    ->Arg(16384)
    ->UseManualTime()
    ->Iterations(3)
    ->Unit(benchmark::kMillisecond);

// ---- Send from four threads ----

void BM_SendMutexBlocking(benchmark::State& state) {
    const std::string p = Packet(1024);
    const long long perThread = kSendBytes / kSenders / static_cast<long long>(p.size());
    for (auto _ : state) {
        Pair pair;
        std::mutex mu;
        long long t0 = NowNs();
        std::vector<std::thread> senders;
        senders.reserve(kSenders);
        for (int t = 0; t < kSenders; ++t) {
            senders.emplace_back([&] {
                for (long long i = 0; i < perThread; ++i) {
                    std::lock_guard<std::mutex> g(mu);
                    if (!WriteAll(pair.b, p.data(), p.size())) return;
                }
            });
        }
        bool ok = ReadFramed(pair.a, perThread * kSenders * static_cast<long long>(p.size()));
        for (std::thread& th : senders)
            th.join();
        state.SetIterationTime(static_cast<double>(NowNs() - t0) / 1e9);
        if (!ok) state.SkipWithError("blocking transfer failed");
    }
    state.SetBytesProcessed(state.iterations() * kSendBytes);
}
BENCHMARK(BM_SendMutexBlocking)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);

void BM_SendCombineFourThreads(benchmark::State& state) {
    const std::string p = Packet(1024);
    const long long perThread = kSendBytes / kSenders / static_cast<long long>(p.size());
    CVNTaskIO* io = new CVNTaskIO("BenchCombSend", 50, 1);
    io->Start();
    std::atomic<long long> refused{0};
    for (auto _ : state) {
        Pair pair;
        Sink sink;
        CVNICombineTCPSocket* s = nullptr;
        int fd = pair.TakeB();
        RunOn(io, [&] {
            s = VNCreateCombineTCPSocket_MutilThread();
            s->SetSink(&sink);
            s->SetPacketInfo(4, GetLen, 4096);
            s->Attach(fd);
        });
        long long t0 = NowNs();
        const long long deadline = t0 + kLimitMs * 1000000LL;
        std::atomic<bool> failed{false};
        std::vector<std::thread> senders;
        senders.reserve(kSenders);
        for (int t = 0; t < kSenders; ++t) {
            senders.emplace_back([&] {
                for (long long i = 0; i < perThread && !failed; ++i) {
                    for (;;) {
                        long long seen;
                        {
                            std::lock_guard<std::mutex> g(sink.mu);
                            seen = sink.sends;
                        }
                        if (s->Send(p.data(), static_cast<unsigned int>(p.size())) != 0) break;
                        ++refused;
                        if (NowNs() > deadline) {
                            failed = true;
                            return;
                        }
                        std::unique_lock<std::mutex> l(sink.mu);
                        sink.cv.wait_for(l, std::chrono::milliseconds(100),
                                         [&] { return sink.sends != seen; });
                    }
                }
            });
        }
        bool ok = ReadFramed(pair.a, perThread * kSenders * static_cast<long long>(p.size()));
        for (std::thread& th : senders)
            th.join();
        state.SetIterationTime(static_cast<double>(NowNs() - t0) / 1e9);
        RunOn(io, [&] { delete s; });
        if (!ok || failed) state.SkipWithError("framed transfer failed");
    }
    state.SetBytesProcessed(state.iterations() * kSendBytes);
    state.counters["refused"] = static_cast<double>(refused.load());
    io->Stop();
    io->Release();
}
BENCHMARK(BM_SendCombineFourThreads)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
