// Clocks, sleeping and the pseudo-random generator. Stateless but for the generator's
// seed; callable from any thread.
#include "base/vntime.h"

#include <errno.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

#include <atomic>

long long vn_time() {
    return static_cast<long long>(::time(nullptr));
}

unsigned int vn_gettickcount() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    unsigned long long ms = static_cast<unsigned long long>(ts.tv_sec) * 1000ULL +
                            static_cast<unsigned long long>(ts.tv_nsec) / 1000000ULL;
    return static_cast<unsigned int>(ms);
}

int vn_msleep(unsigned int ms) {
    struct timespec req;
    req.tv_sec = ms / 1000;
    req.tv_nsec = static_cast<long>(ms % 1000) * 1000000L;
    // A signal handler interrupts nanosleep; sleep the remainder so the caller gets the
    // full interval.
    while (nanosleep(&req, &req) != 0 && errno == EINTR) {
    }
    return 0;
}

long long vn_gettimeoffsetutc() {
    time_t now = ::time(nullptr);
    struct tm local;
    if (localtime_r(&now, &local) == nullptr) return 0;
    return static_cast<long long>(local.tm_gmtoff) / 60;
}

namespace {
// The generator's state is deliberately unlocked; relaxed atomics keep concurrent callers
// free of data races while allowing them to see equal values or skip states.
std::atomic<unsigned int> g_rand_state{0};
std::atomic<bool> g_rand_seeded{false};
}  // namespace

int vn_rand() {
    if (!g_rand_seeded.load(std::memory_order_relaxed)) {
        unsigned int seed =
            static_cast<unsigned int>(getpid()) * static_cast<unsigned int>(vn_time()) +
            vn_gettickcount();
        g_rand_state.store(seed, std::memory_order_relaxed);
        g_rand_seeded.store(true, std::memory_order_relaxed);
    }
    unsigned int state = g_rand_state.load(std::memory_order_relaxed) * 214013u + 2531011u;
    g_rand_state.store(state, std::memory_order_relaxed);
    return static_cast<int>((state >> 16) & 0x7FFF);
}

unsigned char* vn_rand16() {
    unsigned char* out = static_cast<unsigned char*>(malloc(16));
    if (out == nullptr) return nullptr;
    for (int i = 0; i < 4; ++i) {
        unsigned int v = static_cast<unsigned int>(vn_rand());
        out[i * 4 + 0] = static_cast<unsigned char>(v);
        out[i * 4 + 1] = static_cast<unsigned char>(v >> 8);
        out[i * 4 + 2] = static_cast<unsigned char>(v >> 16);
        out[i * 4 + 3] = static_cast<unsigned char>(v >> 24);
    }
    return out;
}
