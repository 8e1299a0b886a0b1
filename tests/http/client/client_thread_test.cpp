// The life of an HTTP client's thread on its own: made once and shared, shut down from
// outside (the reset runs after the worker has ended), from inside itself (retired, then
// waited for by whoever comes next), and a shutdown on the thread while another thread's
// shutdown waits for it.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "fevent/vntaskio.h"
#include "http/client/vnhttpclientthread_internal.h"
#include "support/io_thread.h"

namespace {

using iotest::kWaitMs;

TEST(HttpClientThread, MadeOnceAndSharedUntilShutDown) {
    CHttpClientThread t;
    CVNTaskIO* a = t.Acquire();
    CVNTaskIO* b = t.Acquire();
    ASSERT_NE(nullptr, a);
    EXPECT_EQ(a, b);
    EXPECT_FALSE(t.IsCurrent());
    bool inside = false;
    ASSERT_TRUE(iotest::RunOn(a, [&] { inside = t.IsCurrent(); }));
    EXPECT_TRUE(inside);
    EXPECT_FALSE(t.Shutdown([] { return false; }, [] { ADD_FAILURE() << "not wanted"; }));
    // The reset runs once the worker has ended: a task still running finishes first.
    std::atomic<bool> finished{false};
    CVNEvent started(1, 0);
    iotest::Post(a, [&] {
        started.Post();
        CVNEvent(1, 0).Wait(100);  // a task that takes a while
        finished = true;
    });
    ASSERT_TRUE(started.Wait(kWaitMs));
    bool finishedAtReset = false;
    EXPECT_TRUE(t.Shutdown([] { return true; }, [&] { finishedAtReset = finished; }));
    EXPECT_TRUE(finishedAtReset);
    EXPECT_FALSE(a->IsStarted());
    CVNTaskIO* c = t.Acquire();  // a new thread for the next request
    ASSERT_NE(nullptr, c);
    EXPECT_TRUE(c->IsStarted());
    a->Release();
    b->Release();
    c->Release();
    EXPECT_TRUE(t.Shutdown([] { return true; }, [] {}));
}

TEST(HttpClientThread, ShutDownFromInsideIsRetiredAndWaitedFor) {
    CHttpClientThread t;
    CVNTaskIO* a = t.Acquire();
    ASSERT_NE(nullptr, a);
    std::atomic<bool> ended{false};
    bool done = false;
    ASSERT_TRUE(iotest::RunOn(a, [&] {
        done = t.Shutdown([] { return true; }, [] {});
        // The loop ends after this task; its last steps are still to run.
        iotest::Post(a, [&] { ADD_FAILURE() << "a task after the shutdown ran"; });
        ended = true;
    }));
    EXPECT_TRUE(done);
    // The next thread comes only once the retired one has ended.
    CVNTaskIO* b = t.Acquire();
    ASSERT_NE(nullptr, b);
    EXPECT_NE(a, b);
    EXPECT_TRUE(ended);
    EXPECT_FALSE(a->IsStarted());
    a->Release();
    b->Release();
    EXPECT_TRUE(t.Shutdown([] { return true; }, [] {}));
}

TEST(HttpClientThread, ShutdownOnTheThreadYieldsToOneWaitingForIt) {
    CHttpClientThread t;
    CVNTaskIO* a = t.Acquire();
    ASSERT_NE(nullptr, a);
    CVNEvent running(1, 0), outsideBegun(1, 0);
    std::atomic<int> inside{-1};
    iotest::Post(a, [&] {
        running.Post();
        if (outsideBegun.Wait(kWaitMs)) inside = t.Shutdown([] { return true; }, [] {});
    });
    ASSERT_TRUE(running.Wait(kWaitMs));  // a task the shutdown must wait for
    int resets = 0;
    EXPECT_TRUE(t.Shutdown(
        [&] {
            outsideBegun.Post();  // the worker's own shutdown now finds this one under way
            return true;
        },
        [&] { ++resets; }));
    EXPECT_EQ(0, inside.load());
    EXPECT_EQ(1, resets);
    a->Release();
}

}  // namespace
