// Reader/writer lock: nesting under a waiting writer, writer preference, try-locks that
// never wait, and the object's owners map.
#include <gtest/gtest.h>
#include <stdio.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "base/vnevent.h"
#include "base/vnrwlock.h"
#include "base/vntime.h"

namespace {

template <class Fn>
int OnOtherThread(Fn fn) {
    int rc = -1;
    std::thread([&] { rc = fn(); }).join();
    return rc;
}

// Another thread's try-lock (read or write); released again when it succeeded.
int TryElsewhere(vnrwlock_handle rw, int (*tryLock)(vnrwlock_handle) = vnrwlock_tryrdlock) {
    return OnOtherThread([&] {
        int r = tryLock(rw);
        return r == 0 ? vnrwlock_unlock(rw) : r;
    });
}

struct Order {
    std::mutex mu;
    std::string text;
    void Add(const char* s) {
        std::lock_guard<std::mutex> g(mu);
        text += s;
    }
};

}  // namespace

TEST(RWLock, NestedReadPassesAWaitingWriterAndNewReadersDoNot) {
    vnrwlock_handle rw = vnrwlock_alloc();
    ASSERT_NE(nullptr, rw);
    Order order;
    ASSERT_EQ(0, vnrwlock_rdlock(rw));
    auto locked = [&](int (*lock)(vnrwlock_handle), const char* what) {
        return std::thread([&, lock, what] { lock(rw), order.Add(what), vnrwlock_unlock(rw); });
    };
    std::thread writer = locked(vnrwlock_wrlock, "W;");
    // The writer has entered the gate once another thread's try-read finds it busy (16).
    ASSERT_TRUE([&] {
        for (int i = 0; i < 20000 && TryElsewhere(rw) != 16; ++i)
            vn_msleep(1);
        return TryElsewhere(rw) == 16;
    }());
    std::thread lateReader = locked(vnrwlock_rdlock, "R;");
    // A nested read of a thread that already reads must not queue behind the writer (it
    // would wait for ever: the watchdog ends the program instead).
    CVNEvent nestedDone(1, 0);
    std::thread watchdog([&] {
        if (!nestedDone.Wait(10000))
            fprintf(stderr, "nested read waits for the writer\n"), _exit(1);
    });
    ASSERT_EQ(0, vnrwlock_rdlock(rw));
    nestedDone.Post();
    order.Add("nested;");
    EXPECT_EQ(0, vnrwlock_unlock(rw) + vnrwlock_unlock(rw));
    for (std::thread* t : {&watchdog, &writer, &lateReader})
        t->join();
    EXPECT_EQ("nested;W;R;", order.text);
    EXPECT_EQ(0, vnrwlock_destroy(rw));
    for (int (*fn)(vnrwlock_handle) : {vnrwlock_unlock, vnrwlock_rdlock, vnrwlock_wrlock,
                                       vnrwlock_tryrdlock, vnrwlock_tryrwlock, vnrwlock_destroy})
        EXPECT_EQ(9, fn(nullptr));
}

TEST(RWLock, TryLocksNeverWait) {
    vnrwlock_handle rw = vnrwlock_alloc();
    ASSERT_EQ(0, vnrwlock_wrlock(rw));
    EXPECT_EQ(16, TryElsewhere(rw));
    EXPECT_EQ(16, TryElsewhere(rw, vnrwlock_tryrwlock));
    EXPECT_EQ(0, vnrwlock_tryrwlock(rw));  // nested write
    EXPECT_EQ(0, vnrwlock_unlock(rw) + vnrwlock_unlock(rw));
    // Gate free but a read held: a try-write returns at once instead of waiting for it,
    // and left no writer behind: another reader still enters.
    ASSERT_EQ(0, vnrwlock_rdlock(rw));
    EXPECT_EQ(16, TryElsewhere(rw, vnrwlock_tryrwlock));
    EXPECT_EQ(0, TryElsewhere(rw));
    EXPECT_EQ(0, vnrwlock_unlock(rw));
    vnrwlock_destroy(rw);
}

TEST(CVNLockRW, TryLocksAreRecordedAndCountsStayConsistent) {
    CVNLockRW lock;
    ASSERT_EQ(1, lock.TryLockWR());
    EXPECT_EQ(0, OnOtherThread([&] { return lock.TryLockRD() ? (lock.Unlock(), 1) : 0; }));
    lock.Unlock();  // releases the try-lock through the map
    {
        CVNAutolockReadWrite w(lock);
        lock.LockRW();  // already held by this thread: refused, not a deadlock
    }
    // After a write, this thread's reads are reads (no stale writer id).
    {
        CVNAutolockReadonly r(lock);
        EXPECT_EQ(0, OnOtherThread([&] { return lock.TryLockWR() ? (lock.Unlock(), 1) : 0; }));
    }
    long long value = 0;  // guarded by lock
    std::atomic<bool> torn{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 2000; ++i) {
                if ((i + t) % 4 == 0) {
                    CVNAutolockReadWrite w(lock);
                    value += 2;
                } else {
                    CVNAutolockReadonly r(lock);
                    CVNAutolockReadonly nested(lock);
                    torn = torn || value % 2 != 0;
                }
            }
        });
    }
    for (auto& th : threads)
        th.join();
    EXPECT_FALSE(torn.load());
    EXPECT_EQ(4000, value);
}
