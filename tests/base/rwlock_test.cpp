// Reader/writer lock: nesting, writer preference, try-locks and the scope guards.
#include <gtest/gtest.h>
#include <errno.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "base/vnevent.h"
#include "base/vnrwlock.h"
#include "base/vntime.h"
#include "support/log_capture.h"

namespace {

// Runs fn on a new thread; Join waits for it with a bound.
class Runner {
public:
    explicit Runner(std::function<void()> fn) : m_done(1, 0) {
        m_thread = std::thread([this, fn] {
            fn();
            m_done.Post();
        });
    }
    ~Runner() { m_thread.join(); }
    bool Join(int ms = 10000) { return m_done.Wait(ms) == 1; }

private:
    CVNEvent m_done;
    std::thread m_thread;
};

// Repeats a try-read from a fresh thread until the gate is taken by somebody (16): this
// is how a test learns that a writer has entered and is waiting for readers.
bool wait_gate_busy(vnrwlock_handle rw) {
    for (int i = 0; i < 20000; ++i) {
        int rc = -1;
        std::thread t([&] {
            rc = vnrwlock_tryrdlock(rw);
            if (rc == 0) vnrwlock_unlock(rw);
        });
        t.join();
        if (rc == 16) return true;
        vn_msleep(1);
    }
    return false;
}

struct Order {
    std::mutex mu;
    std::string text;
    void add(const char* s) {
        std::lock_guard<std::mutex> g(mu);
        text += s;
    }
    std::string get() {
        std::lock_guard<std::mutex> g(mu);
        return text;
    }
};

}  // namespace

TEST(RWLock, NestedReadWhileWriterWaitsAndWriterAfterAllReads) {
    vnrwlock_handle rw = vnrwlock_alloc();
    ASSERT_NE(nullptr, rw);
    Order order;
    CVNEvent reader_in(1, 0), reader_go(1, 0);
    Runner reader([&] {
        EXPECT_EQ(0, vnrwlock_rdlock(rw));
        reader_in.Post();
        reader_go.Wait(-1);
        // A writer is now waiting: a nested read must not block behind it.
        EXPECT_EQ(0, vnrwlock_rdlock(rw));
        order.add("nested;");
        EXPECT_EQ(0, vnrwlock_unlock(rw));
        order.add("unlock1;");
        EXPECT_EQ(0, vnrwlock_unlock(rw));
    });
    ASSERT_EQ(1, reader_in.Wait(10000));
    Runner writer([&] {
        EXPECT_EQ(0, vnrwlock_wrlock(rw));
        order.add("write;");
        EXPECT_EQ(0, vnrwlock_unlock(rw));
    });
    ASSERT_TRUE(wait_gate_busy(rw));
    reader_go.Post();
    ASSERT_TRUE(reader.Join());
    ASSERT_TRUE(writer.Join());
    EXPECT_EQ("nested;unlock1;write;", order.get());
    EXPECT_EQ(0, vnrwlock_destroy(rw));
}

TEST(RWLock, WaitingWriterGoesBeforeNewReaders) {
    vnrwlock_handle rw = vnrwlock_alloc();
    Order order;
    ASSERT_EQ(0, vnrwlock_rdlock(rw));  // this thread reads
    Runner writer([&] {
        vnrwlock_wrlock(rw);
        order.add("W;");
        vnrwlock_unlock(rw);
    });
    ASSERT_TRUE(wait_gate_busy(rw));
    Runner late_reader([&] {
        vnrwlock_rdlock(rw);
        order.add("R;");
        vnrwlock_unlock(rw);
    });
    EXPECT_EQ("", order.get());
    EXPECT_EQ(0, vnrwlock_unlock(rw));
    ASSERT_TRUE(writer.Join());
    ASSERT_TRUE(late_reader.Join());
    EXPECT_EQ("W;R;", order.get());
    vnrwlock_destroy(rw);
}

TEST(RWLock, TryLocksAndErrno) {
    vnrwlock_handle rw = vnrwlock_alloc();
    ASSERT_EQ(0, vnrwlock_wrlock(rw));
    int rd = -1, wr = -1, rd_errno = 0, wr_errno = 0;
    std::thread([&] {
        errno = 0;
        rd = vnrwlock_tryrdlock(rw);
        rd_errno = errno;
        errno = 0;
        wr = vnrwlock_tryrwlock(rw);
        wr_errno = errno;
    }).join();
    EXPECT_EQ(16, rd);
    EXPECT_EQ(16, rd_errno);
    EXPECT_EQ(16, wr);
    EXPECT_EQ(16, wr_errno);
    EXPECT_EQ(0, vnrwlock_unlock(rw));
    // The failed try-write left the writers count alone: readers enter and leave the gate
    // free, so a second thread's try-read succeeds while the first still reads.
    ASSERT_EQ(0, vnrwlock_rdlock(rw));
    int second = -1;
    std::thread([&] {
        second = vnrwlock_tryrdlock(rw);
        if (second == 0) vnrwlock_unlock(rw);
    }).join();
    EXPECT_EQ(0, second);
    EXPECT_EQ(0, vnrwlock_unlock(rw));
    // Write lock nesting on one thread.
    ASSERT_EQ(0, vnrwlock_wrlock(rw));
    ASSERT_EQ(0, vnrwlock_tryrwlock(rw));
    EXPECT_EQ(0, vnrwlock_unlock(rw));
    EXPECT_EQ(0, vnrwlock_unlock(rw));
    std::thread([&] {
        second = vnrwlock_tryrwlock(rw);
        if (second == 0) vnrwlock_unlock(rw);
    }).join();
    EXPECT_EQ(0, second);
    vnrwlock_destroy(rw);
}

TEST(RWLock, NullRecord) {
    errno = 0;
    EXPECT_EQ(9, vnrwlock_unlock(nullptr));
    EXPECT_EQ(9, errno);
    EXPECT_EQ(9, vnrwlock_rdlock(nullptr));
    EXPECT_EQ(9, vnrwlock_wrlock(nullptr));
    EXPECT_EQ(9, vnrwlock_tryrdlock(nullptr));
    EXPECT_EQ(9, vnrwlock_tryrwlock(nullptr));
    EXPECT_EQ(9, vnrwlock_destroy(nullptr));
}

TEST(CVNLockRW, NestingGuardsAndTryLocks) {
    CVNLockRW lock;
    {
        CVNAutolockReadonly r1(lock);
        CVNAutolockReadonly r2(lock);  // nested through the object
        int other = -1;
        std::thread([&] {
            other = lock.TryLockWR();
            if (other) lock.Unlock();
        }).join();
        EXPECT_EQ(0, other);
    }
    vntest::LogClear();
    {
        CVNAutolockReadWrite w(lock);
        lock.LockRW();  // already held by this thread: logged, not locked
        EXPECT_EQ(1u, vntest::LogCount("is already locked, now try to lockRW, why???????"));
    }
    // Try-locks are recorded, so Unlock releases them.
    ASSERT_EQ(1, lock.TryLockRD());
    lock.Unlock();
    ASSERT_EQ(1, lock.TryLockWR());
    int other = -1;
    std::thread([&] {
        other = lock.TryLockRD();
        if (other) lock.Unlock();
    }).join();
    EXPECT_EQ(0, other);
    lock.Unlock();
    std::thread([&] {
        other = lock.TryLockWR();
        if (other) lock.Unlock();
    }).join();
    EXPECT_EQ(1, other);
}

TEST(CVNLockRW, ManyReadersAndWritersKeepCountsConsistent) {
    CVNLockRW lock;
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
    EXPECT_EQ(2LL * 2000, value);
}
