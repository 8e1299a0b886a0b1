// The pump's waiting entry point for the I/O task thread: one pass bounded by a time-out
// that also ends when a wake-up descriptor becomes readable.
#include <gtest/gtest.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <thread>

#include "fevent/pump_test_support.h"
#include "fevent/vnfevent.h"
#include "fevent/vnfevent_internal.h"

using pumptest::NeverCalled;
using pumptest::NeverRemoved;
using pumptest::now_ms;
using pumptest::OnEvent;
using pumptest::OnRemoved;
using pumptest::Pair;
using pumptest::Pump;
using pumptest::Recorder;

namespace {

// An eventfd, closed at scope end.
struct Wake {
    int fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    Wake() = default;
    Wake(const Wake&) = delete;
    Wake& operator=(const Wake&) = delete;
    ~Wake() { close(fd); }
    void Signal() const {
        unsigned long long one = 1;
        ASSERT_EQ(static_cast<ssize_t>(sizeof(one)), write(fd, &one, sizeof(one)));
    }
    void Drain() const {
        unsigned long long v;
        ASSERT_EQ(static_cast<ssize_t>(sizeof(v)), read(fd, &v, sizeof(v)));
    }
};

}  // namespace

TEST(FeventWait, WakeDescriptorEndsALongWaitAtOnce) {
    Pump pump;
    Pair idle1;
    Pair idle2;
    Wake wake;
    ASSERT_GE(wake.fd, 0);
    ASSERT_EQ(0,
              vnfe_add(pump, idle1.a, VN_EV_READ, VN_EV_READ, NeverCalled, nullptr, NeverRemoved));
    ASSERT_EQ(0,
              vnfe_add(pump, idle2.a, VN_EV_READ, VN_EV_READ, NeverCalled, nullptr, NeverRemoved));

    long long start = now_ms();
    std::thread pusher([&] { wake.Signal(); });
    bool woken = false;
    int fired = 0;
    // However the pusher's write and the wait interleave, the pass ends well before its
    // 20-second limit; a wait that ignored the wake descriptor would sit out the limit.
    while (!woken && now_ms() - start < 20000) {
        fired = vn::detail::vnfe_loop_wait(pump, wake.fd, 20000, &woken);
    }
    pusher.join();
    EXPECT_TRUE(woken);
    EXPECT_EQ(0, fired);
    EXPECT_LT(now_ms() - start, 2000);

    // The pump leaves the wake descriptor alone: still readable until the owner drains it.
    woken = false;
    EXPECT_EQ(0, vn::detail::vnfe_loop_wait(pump, wake.fd, 20000, &woken));
    EXPECT_TRUE(woken);
    wake.Drain();
    woken = true;
    EXPECT_EQ(0, vn::detail::vnfe_loop_wait(pump, wake.fd, 0, &woken));
    EXPECT_FALSE(woken);
}

TEST(FeventWait, APassWithReadinessDoesNotSleepAndReportsAWakeToo) {
    for (bool signal : {false, true}) {
        Pump pump;
        Pair pair;
        Wake wake;
        Recorder rec;
        ASSERT_EQ(0, vnfe_add(pump, pair.a, VN_EV_READ, VN_EV_READ, OnEvent, &rec, OnRemoved));
        pair.Poke();
        if (signal) wake.Signal();
        long long start = now_ms();
        bool woken = !signal;
        EXPECT_EQ(1, vn::detail::vnfe_loop_wait(pump, wake.fd, 20000, &woken));
        EXPECT_EQ(signal, woken);
        EXPECT_LT(now_ms() - start, 2000);
        ASSERT_EQ(1u, rec.events.size());
        EXPECT_EQ(VN_EV_READ, rec.events[0].events);
        vnfe_clearup(pump);
    }
}

TEST(FeventWait, WaitIsCutShortByTheNextIdleTimeout) {
    // An idle time-out falls due within its whole second, never after it; a pass that
    // ignored the deadline would wait its full 20 s limit (or forever with no limit).
    for (int timeoutMs : {200, 1000}) {
        Pump pump;
        Pair pair;
        Recorder rec;
        ASSERT_EQ(0, vnfe_addonce(pump, pair.a, VN_EV_READ, OnEvent, &rec, timeoutMs, OnRemoved));
        long long start = now_ms();
        int total = 0;
        while (rec.events.empty() && now_ms() - start < 20000) {
            total += vn::detail::vnfe_loop_wait(pump, -1, timeoutMs < 1000 ? 20000 : -1, nullptr);
        }
        EXPECT_LE(now_ms() - start, 1500) << timeoutMs;
        EXPECT_EQ(1, total);
        ASSERT_EQ(1u, rec.events.size());
        EXPECT_EQ(VN_EV_TIMEOUT, rec.events[0].events);
        EXPECT_EQ(1, rec.RemovalsFor(pair.a));
    }
}

TEST(FeventWait, EmptyPumpWaitsForTheWakeDescriptorOrTheLimit) {
    Pump pump;
    Wake wake;
    bool woken = true;
    long long start = now_ms();
    EXPECT_EQ(0, vn::detail::vnfe_loop_wait(pump, wake.fd, 30, &woken));
    EXPECT_FALSE(woken);
    EXPECT_GE(now_ms() - start, 25);  // it did wait (the idle sleep of an I/O thread)
    wake.Signal();
    woken = false;
    start = now_ms();
    EXPECT_EQ(0, vn::detail::vnfe_loop_wait(pump, wake.fd, 20000, &woken));
    EXPECT_TRUE(woken);
    EXPECT_LT(now_ms() - start, 2000);

    // A null pump is an empty one.
    woken = false;
    EXPECT_EQ(0, vn::detail::vnfe_loop_wait(nullptr, wake.fd, 20000, &woken));
    EXPECT_TRUE(woken);
}

TEST(FeventWait, NothingToWatchOrABrokenWakeDescriptorReturnsAtOnce) {
    Pump pump;
    long long start = now_ms();
    EXPECT_EQ(0, vn::detail::vnfe_loop_wait(pump, -1, -1, nullptr));
    EXPECT_LT(now_ms() - start, 2000);

    // A wake descriptor closed by mistake must not leave the owner sleeping blind.
    int fd = eventfd(0, EFD_CLOEXEC);
    ASSERT_GE(fd, 0);
    close(fd);
    bool woken = false;
    start = now_ms();
    EXPECT_EQ(0, vn::detail::vnfe_loop_wait(pump, fd, 20000, &woken));
    EXPECT_TRUE(woken);
    EXPECT_LT(now_ms() - start, 2000);
}

TEST(FeventWait, PublicLoopWaitsAtMostAboutAMillisecond) {
    Pump pump;
    Pair pair;
    ASSERT_EQ(0,
              vnfe_add(pump, pair.a, VN_EV_READ, VN_EV_READ, NeverCalled, nullptr, NeverRemoved));
    long long start = now_ms();
    for (int i = 0; i < 50; ++i)
        EXPECT_EQ(0, vnfe_loop(pump));
    // 50 passes of at most 1 ms each (scheduling adds some slack).
    EXPECT_LT(now_ms() - start, 1000);
}
