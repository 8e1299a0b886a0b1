// The descriptor event pump: the cost of one pass that finds nothing to do over 64
// registered idle descriptors (the pump's capacity), against its anchor, a bare poll(2)
// over the same 64 descriptors. Both passes use a zero wait, so the figure is the CPU cost
// of a pass, not the time it may spend waiting.
#include <benchmark/benchmark.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <vector>

#include "fevent/vnfevent.h"
#include "fevent/vnfevent_internal.h"

namespace {

void NeverCalled(void*, int, int, void*) {
    abort();
}

// 64 idle descriptors: both ends of 32 local stream pairs, nothing ever written.
struct IdleDescriptors {
    std::vector<int> fds;
    IdleDescriptors() {
        for (int i = 0; i < VN_FE_CAPACITY / 2; ++i) {
            int sv[2];
            if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, sv) != 0) {
                abort();
            }
            fds.push_back(sv[0]);
            fds.push_back(sv[1]);
        }
    }
    ~IdleDescriptors() {
        for (int fd : fds)
            close(fd);
    }
};

void BM_PumpPassIdle64(benchmark::State& state) {
    IdleDescriptors idle;
    void* pump = vnfe_alloc();
    for (int fd : idle.fds) {
        if (vnfe_add(pump, fd, VN_EV_READ, VN_EV_READ, NeverCalled, nullptr, nullptr) != 0) {
            abort();
        }
    }
    for (auto _ : state) {
        int fired = vn::detail::vnfe_loop_wait(pump, -1, 0, nullptr);
        benchmark::DoNotOptimize(fired);
    }
    vnfe_free(pump);
}
BENCHMARK(BM_PumpPassIdle64);

// Anchor: the system call a pass cannot avoid.
void BM_RawPollIdle64(benchmark::State& state) {
    IdleDescriptors idle;
    struct pollfd pfds[VN_FE_CAPACITY];
    for (int i = 0; i < VN_FE_CAPACITY; ++i) {
        pfds[i].fd = idle.fds[static_cast<size_t>(i)];
        pfds[i].events = POLLIN;
        pfds[i].revents = 0;
    }
    for (auto _ : state) {
        int n = poll(pfds, VN_FE_CAPACITY, 0);
        benchmark::DoNotOptimize(n);
    }
}
BENCHMARK(BM_RawPollIdle64);

}  // namespace

BENCHMARK_MAIN();
