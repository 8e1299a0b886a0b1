// CVNTaskIO: the I/O task thread. Its pump is found with GetFevent on the worker only; an
// idle worker waits in poll, so pushes, due delayed tasks and ready descriptors end the
// wait at once; destroying a running thread ends the worker before the pump is freed.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "base/vnthread.h"
#include "fevent/pump_test_support.h"
#include "fevent/vnfevent.h"
#include "fevent/vntaskio.h"
#include "support/io_thread.h"
#include "support/log_capture.h"
#include "task/vntask.h"

using iotest::IOThread;
using iotest::kWaitMs;
using iotest::NowUs;
using iotest::RunOn;

namespace {

long long Median(std::vector<long long> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

// Lets an idle worker settle into its idle wait before the next stimulus. Not a
// synchronisation: the tests pass however long the worker takes to get there, they only
// measure how fast it reacts once it waits.
void LetItIdle() {
    std::this_thread::sleep_for(std::chrono::milliseconds(3));
}

// Index of the first captured line whose message contains needle, or -1.
long FirstLineWith(const std::string& needle) {
    std::vector<vntest::LogLine> lines = vntest::LogLines();
    for (size_t i = 0; i < lines.size(); ++i) {
        if (lines[i].message().find(needle) != std::string::npos) return static_cast<long>(i);
    }
    return -1;
}

// A pump callback that records when it ran and drains the byte that woke it.
struct ReadStamp {
    iotest::Waiter w;
    std::vector<long long> stamps;  // guarded by w
    CVNTaskBase* task = nullptr;    // the task the callback ran on
    void* pump = nullptr;           // GetFevent() inside the callback
    static void OnEvent(void* pump, int fd, int events, void* user) {
        ReadStamp* s = static_cast<ReadStamp*>(user);
        char c;
        ssize_t n = read(fd, &c, 1);
        (void)n;
        long long now = NowUs();
        CVNTaskBase* task = CVNTaskBase::GetCurrentTask();
        void* fevent = CVNTaskIO::GetFevent();
        s->w.Update([&] {
            s->stamps.push_back(now);
            s->task = task;
            s->pump = fevent;
        });
        EXPECT_EQ(VN_EV_READ, events);
        EXPECT_EQ(pump, fevent);
    }
};

}  // namespace

TEST(TaskIO, GetFeventIsNullOffAnIOThread) {
    EXPECT_EQ(nullptr, CVNTaskIO::GetFevent());  // not a task thread

    IOThread a("IOA");
    IOThread b("IOB");
    void* pumpA = nullptr;
    void* pumpA2 = nullptr;
    void* pumpB = nullptr;
    ASSERT_TRUE(a.Run([&] { pumpA = CVNTaskIO::GetFevent(); }));
    ASSERT_TRUE(a.Run([&] { pumpA2 = CVNTaskIO::GetFevent(); }));
    ASSERT_TRUE(b.Run([&] { pumpB = CVNTaskIO::GetFevent(); }));
    EXPECT_NE(nullptr, pumpA);
    EXPECT_NE(nullptr, pumpB);
    EXPECT_EQ(pumpA, pumpA2);  // one pump per thread, for its whole life
    EXPECT_NE(pumpA, pumpB);
}

// The system's threads idle 50 ms between iterations; a push to an idle thread must not
// wait for that interval to run out. With a long interval a missed wake-up would show as a
// wait of seconds.
TEST(TaskIO, PushToAnIdleThreadRunsWellWithinTheIdleInterval) {
    for (int idleMs : {5000}) {
        IOThread io("IOPush", idleMs);
        std::vector<long long> latencies;
        for (int round = 0; round < 10; ++round) {
            LetItIdle();
            long long pushed = NowUs();
            long long ran = 0;
            ASSERT_TRUE(io.Run([&] { ran = NowUs(); }));
            EXPECT_LT(ran - pushed, 1000000) << "idle " << idleMs << " round " << round;
            latencies.push_back(ran - pushed);
        }
        EXPECT_LT(Median(latencies), 10000) << "median push latency in us, idle " << idleMs;
    }
}

// A descriptor that becomes readable while the worker idles is dispatched at once, on the
// worker, with the pump that GetFevent gives there.
TEST(TaskIO, ReadableDescriptorEndsTheIdleWait) {
    IOThread io("IOReady", 5000);
    pumptest::Pair pair;
    ASSERT_GE(pair.a, 0);
    ReadStamp stamp;
    int added = -1;
    void* pump = nullptr;
    ASSERT_TRUE(io.Run([&] {
        pump = CVNTaskIO::GetFevent();
        added =
            vnfe_add(pump, pair.a, VN_EV_READ, VN_EV_READ, &ReadStamp::OnEvent, &stamp, nullptr);
    }));
    ASSERT_EQ(0, added);

    std::vector<long long> latencies;
    for (size_t round = 0; round < 10; ++round) {
        LetItIdle();
        long long written = NowUs();
        ASSERT_EQ(1, write(pair.b, "x", 1));
        ASSERT_TRUE(stamp.w.WaitFor([&] { return stamp.stamps.size() == round + 1; }));
        long long ran = stamp.w.Read([&] { return stamp.stamps.back(); });
        EXPECT_LT(ran - written, 1000000) << "round " << round;
        latencies.push_back(ran - written);
    }
    EXPECT_LT(Median(latencies), 10000) << "median readiness latency in us";
    EXPECT_EQ(io.task(), stamp.task);
    EXPECT_EQ(pump, stamp.pump);
    ASSERT_TRUE(io.Run([&] { EXPECT_EQ(0, vnfe_unset(pump, pair.a, VN_EV_READ)); }));
}

// The worker passes over a ready descriptor without pause, reading the pump in every
// iteration, while the last reference is dropped from another thread: a pump freed before
// the worker ended is a use after free (ASan) and a race (TSan).
void NeverRead(void*, int, int, void*) {}

TEST(TaskIO, DestroyingARunningThreadEndsTheWorkerBeforeFreeingThePump) {
    vntest::LogClear();
    CVNTaskIO* io = new CVNTaskIO("IODestroy", 50, 1);
    ASSERT_EQ(1, io->Start());
    pumptest::Pair pair;
    ASSERT_GE(pair.a, 0);
    pair.Poke();  // never read
    int added = -1;
    ASSERT_TRUE(RunOn(io, [&] {
        added = vnfe_add(CVNTaskIO::GetFevent(), pair.a, VN_EV_READ, VN_EV_READ, NeverRead, nullptr,
                         nullptr);
    }));
    ASSERT_EQ(0, added);

    io->Release();  // the last reference: destroyed while the worker runs

    long exitLine = FirstLineWith("..thread Exit..[IODestroy]");
    EXPECT_GE(exitLine, 0);
    EXPECT_LT(exitLine, FirstLineWith("delete a Task[IODestroy]"));
}

// A worker that stopped itself is no longer "started", but it still finishes its last
// iteration (the rest of the task, then a pump pass); the destructor must wait for it.
TEST(TaskIO, DestroyAfterTheWorkerStoppedItselfWaitsForIt) {
    CVNTaskIO* io = new CVNTaskIO("IOSelfStop", 50, 1);
    ASSERT_EQ(1, io->Start());
    CVNEvent stopAsked(1, 0);
    std::atomic<long long> taskEnded{0};
    ASSERT_TRUE(iotest::Post(io, [&] {
        EXPECT_EQ(1, io->Stop());  // on its own worker: returns at once
        stopAsked.Post();
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        taskEnded = NowUs();
    }));
    ASSERT_EQ(1, stopAsked.Wait(kWaitMs));
    EXPECT_EQ(0, io->IsStarted());
    io->Release();
    EXPECT_NE(0, taskEnded.load());  // the task had ended before the object went away
}
