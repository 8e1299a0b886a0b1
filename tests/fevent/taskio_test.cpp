// CVNTaskIO: the I/O task thread. Destroying it ends the worker before the pump is freed,
// whether the worker still runs or stopped itself. (Pushes that wake an idle worker are
// checked with the other task threads.)
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "fevent/pump_test_support.h"
#include "support/log_capture.h"

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
