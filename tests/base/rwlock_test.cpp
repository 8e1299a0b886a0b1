// Reader/writer lock: nesting under a waiting writer, writer preference, try-locks that
// never wait, and the object's owners map.
#include <gtest/gtest.h>

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

// A writer has entered the gate once another thread's try-read finds it busy (16).
bool WaitGateBusy(vnrwlock_handle rw) {
    for (int i = 0; i < 20000; ++i) {
        int rc = OnOtherThread([&] {
            int r = vnrwlock_tryrdlock(rw);
            if (r == 0) vnrwlock_unlock(rw);
            return r;
        });
        if (rc == 16) return true;
        vn_msleep(1);
    }
    return false;
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
    std::thread writer([&] {
        vnrwlock_wrlock(rw);
        order.Add("W;");
        vnrwlock_unlock(rw);
    });
    ASSERT_TRUE(WaitGateBusy(rw));
    std::thread lateReader([&] {
        vnrwlock_rdlock(rw);
        order.Add("R;");
        vnrwlock_unlock(rw);
    });
    // A nested read of a thread that already reads must not queue behind the writer.
    ASSERT_EQ(0, vnrwlock_rdlock(rw));
    order.Add("nested;");
    EXPECT_EQ(0, vnrwlock_unlock(rw));
    EXPECT_EQ(0, vnrwlock_unlock(rw));
    writer.join();
    lateReader.join();
    EXPECT_EQ("nested;W;R;", order.text);
    EXPECT_EQ(0, vnrwlock_destroy(rw));
    for (int (*fn)(vnrwlock_handle) : {vnrwlock_unlock, vnrwlock_rdlock, vnrwlock_wrlock,
                                       vnrwlock_tryrdlock, vnrwlock_tryrwlock, vnrwlock_destroy})
        EXPECT_EQ(9, fn(nullptr));
}

TEST(RWLock, TryLocksNeverWait) {
    vnrwlock_handle rw = vnrwlock_alloc();
    ASSERT_EQ(0, vnrwlock_wrlock(rw));
    EXPECT_EQ(16, OnOtherThread([&] { return vnrwlock_tryrdlock(rw); }));
    EXPECT_EQ(16, OnOtherThread([&] { return vnrwlock_tryrwlock(rw); }));
    EXPECT_EQ(0, vnrwlock_tryrwlock(rw));  // nested write
    EXPECT_EQ(0, vnrwlock_unlock(rw));
    EXPECT_EQ(0, vnrwlock_unlock(rw));
    // Gate free but a read held: a try-write returns at once instead of waiting for it.
    ASSERT_EQ(0, vnrwlock_rdlock(rw));
    EXPECT_EQ(16, OnOtherThread([&] { return vnrwlock_tryrwlock(rw); }));
    // ... and left no writer behind: another reader still enters.
    EXPECT_EQ(0, OnOtherThread([&] {
                  int r = vnrwlock_tryrdlock(rw);
                  if (r == 0) vnrwlock_unlock(rw);
                  return r;
              }));
    EXPECT_EQ(0, vnrwlock_unlock(rw));
    vnrwlock_destroy(rw);
}

TEST(CVNLockRW, TryLocksAreRecordedAndCountsStayConsistent) {
    CVNLockRW lock;
    ASSERT_EQ(1, lock.TryLockWR());
    EXPECT_EQ(0, OnOtherThread([&] {
                  int r = lock.TryLockRD();
                  if (r) lock.Unlock();
                  return r;
              }));
    lock.Unlock();  // releases the try-lock through the map
    {
        CVNAutolockReadWrite w(lock);
        lock.LockRW();  // already held by this thread: refused, not a deadlock
    }
    // After a write, this thread's reads are reads (no stale writer id).
    {
        CVNAutolockReadonly r(lock);
        EXPECT_EQ(0, OnOtherThread([&] {
                      int t = lock.TryLockWR();
                      if (t) lock.Unlock();
                      return t;
                  }));
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
                    if (value % 2 != 0) torn = true;
                }
            }
        });
    }
    for (auto& th : threads)
        th.join();
    EXPECT_FALSE(torn.load());
    EXPECT_EQ(4000, value);
}
