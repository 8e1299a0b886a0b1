// CVNTaskIO: the I/O task thread. Its pump is found with GetFevent on the worker only; an
// idle worker waits in poll, so pushes and ready descriptors end the wait at once;
// destroying a running thread ends the worker before the pump is freed.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "fevent/pump_test_support.h"
#include "support/log_capture.h"

using iotest::IOThread;
using iotest::NowUs;

// With an idle interval of 5 s, a push or a readable descriptor that did not end the idle
// wait would take seconds. The descriptor's callback runs on the worker, with its pump.
TEST(TaskIO, PushesAndReadyDescriptorsEndTheIdleWait) {
    EXPECT_EQ(nullptr, CVNTaskIO::GetFevent());
    IOThread io("IOWake", 5000), other("IOOther");
    void* otherPump = nullptr;
    ASSERT_TRUE(other.Run([&] { otherPump = CVNTaskIO::GetFevent(); }));
    pumptest::Pair pair;
    struct Stamp {
        iotest::Waiter w;
        long long at = 0;  // guarded by w
        int count = 0;     // guarded by w
        void* pump = nullptr;
        static void OnRead(void* pump, int fd, int, void* user) {
            Stamp* s = static_cast<Stamp*>(user);
            char c;
            EXPECT_EQ(1, read(fd, &c, 1));
            EXPECT_EQ(pump, CVNTaskIO::GetFevent());
            s->w.Update([&] { s->at = NowUs(), ++s->count; });
        }
    } stamp;
    ASSERT_TRUE(io.Run([&] {
        stamp.pump = CVNTaskIO::GetFevent();
        EXPECT_EQ(0, vnfe_add(stamp.pump, pair.a, 2, 2, &Stamp::OnRead, &stamp, nullptr));
    }));
    EXPECT_NE(nullptr, otherPump);
    EXPECT_NE(otherPump, stamp.pump);
    for (int round = 1; round <= 5; ++round) {
        // Lets the worker settle into its idle wait; not a synchronisation: the test passes
        // however long it takes to get there.
        std::this_thread::sleep_for(std::chrono::milliseconds(3));
        long long pushed = NowUs(), ran = 0;
        ASSERT_TRUE(io.Run([&] { ran = NowUs(); }));
        EXPECT_LT(ran - pushed, 1000000) << round;
        std::this_thread::sleep_for(std::chrono::milliseconds(3));
        long long written = NowUs();
        pair.Poke();
        ASSERT_TRUE(stamp.w.WaitFor([&] { return stamp.count == round; }));
        EXPECT_LT(stamp.w.Read([&] { return stamp.at; }) - written, 1000000) << round;
    }
    ASSERT_TRUE(io.Run([&] { EXPECT_EQ(0, vnfe_unset(stamp.pump, pair.a, 2)); }));
}

// The worker passes over a ready descriptor without pause while the last reference goes
// from another thread: a pump freed before the worker ended is a use after free.
TEST(TaskIO, DestroyingARunningThreadEndsTheWorkerBeforeFreeingThePump) {
    vntest::LogClear();
    CVNTaskIO* io = new CVNTaskIO("IODestroy", 50, 1);
    ASSERT_EQ(1, io->Start());
    pumptest::Pair pair;
    pair.Poke();  // never read
    ASSERT_TRUE(iotest::RunOn(io, [&] {
        EXPECT_EQ(0, vnfe_add(
                         CVNTaskIO::GetFevent(), pair.a, 2, 2, [](void*, int, int, void*) {},
                         nullptr, nullptr));
    }));
    io->Release();
    std::string lines;
    for (const vntest::LogLine& l : vntest::LogLines())
        lines += l.message() + "\n";
    EXPECT_LT(lines.find("thread Exit..[IODestroy]"), lines.find("delete a Task[IODestroy]"));
}

// A worker that stopped itself is no longer "started" but still finishes its iteration
// (the rest of the task, then a pump pass); the destructor must wait for it.
TEST(TaskIO, DestroyAfterTheWorkerStoppedItselfWaitsForIt) {
    CVNTaskIO* io = new CVNTaskIO("IOSelfStop", 50, 1);
    ASSERT_EQ(1, io->Start());
    CVNEvent stopAsked(1, 0);
    std::atomic<bool> taskEnded{false};
    ASSERT_TRUE(iotest::Post(io, [&] {
        EXPECT_EQ(1, io->Stop());  // on its own worker: returns at once
        stopAsked.Post();
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        taskEnded = true;
    }));
    ASSERT_EQ(1, stopAsked.Wait(iotest::kWaitMs));
    EXPECT_EQ(0, io->IsStarted());
    io->Release();
    EXPECT_TRUE(taskEnded.load());
}
