// Locks, events, threads with cooperative stop, and the thread-local key table.
#include <gtest/gtest.h>
#include <errno.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <atomic>
#include <string>

#include "base/vnevent.h"
#include "base/vnlock.h"
#include "base/vnthread.h"
#include "base/vntime.h"

namespace {

// Runs fn on a vnthread and waits for it to return.
template <class Fn>
void OnThread(Fn fn) {
    struct Box {
        Fn fn;
        static unsigned int Run(void* p) { return static_cast<Box*>(p)->fn(), 0; }
    } box{fn};
    vnthread_handle t = vnthread_create(&Box::Run, &box, 1);
    ASSERT_NE(nullptr, t);
    EXPECT_EQ(0, vnthread_terminate(t, -1));
}

int TryElsewhere(CVNLock* lock) {
    int r = -1;
    OnThread([&] { (r = lock->Try()) == 1 ? lock->Unlock() : void(); });
    return r;
}

template <class Pred>
bool WaitUntil(Pred pred) {
    for (int i = 0; i < 10000 && !pred(); ++i)
        vn_msleep(1);
    return pred();
}

// Names itself, then either polls its stop flag or ignores it until released.
struct Worker {
    bool stubborn = false;
    std::atomic<bool> started{false}, release{false}, sawSignal{false};
    std::atomic<unsigned int> tid{0};
    char kernelName[32] = {};
    static unsigned int Run(void* p) {
        Worker* w = static_cast<Worker*>(p);
        vnthread_setname("VnWorkerThread1234567");
        prctl(PR_GET_NAME, w->kernelName);
        w->tid = vnthread_selfid();
        w->started = true;
        while (w->stubborn ? !w->release.load() : !vnthread_signaled())
            vn_msleep(1);
        w->sawSignal = vnthread_signaled() == 1;  // a stubborn one reads its record late
        return 0;
    }
};

}  // namespace

TEST(Lock, RecursiveTryGuardsAndNullHandles) {
    CVNLock lock;
    lock.Lock();
    EXPECT_EQ(1, lock.Try());
    lock.Unlock();
    EXPECT_EQ(0, TryElsewhere(&lock));
    lock.Unlock();
    {
        CVNAutolockex none(nullptr);
        CVNAutolockex some(&lock);
        EXPECT_EQ(0, TryElsewhere(&lock));
    }
    EXPECT_EQ(1, TryElsewhere(&lock));
    errno = 0;
    EXPECT_EQ(9 * 7, vnlock_lock(nullptr) + vnlock_unlock(nullptr) + vnlock_trylock(nullptr) +
                         vnlock_destroy(nullptr) + vnevent_signal(nullptr) +
                         vnevent_reset(nullptr) + vnevent_destory(nullptr));
    EXPECT_EQ(9, errno);
    EXPECT_EQ(0, vnevent_issignaled(nullptr));
    EXPECT_EQ(18, vnevent_wait(nullptr) + vnevent_timedwait(nullptr, 10));
    EXPECT_EQ(nullptr, vnthread_create(nullptr, nullptr, 1));
    EXPECT_EQ(22, errno);
    EXPECT_EQ(44, vnthread_terminate(nullptr, -1) + vnthread_waitfor(nullptr));
    EXPECT_EQ(1, vnthread_signaled());  // the test's thread was not made by vnthread_create
}

// Polling, stubborn (terminate times out or does not wait at all, the record must stay
// valid for it: sanitizers check) and one that ends by itself for waitfor.
TEST(Thread, StopTerminateTimeoutsAndWaitfor) {
    const struct {
        bool stubborn;
        int priority;  // time-critical is refused without privileges: a warning only
        long long timeout;
    } cases[] = {{false, 1, -1}, {true, 2, 0}, {true, 0, 20}, {true, 1, -2}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.timeout);
        Worker w;
        w.stubborn = c.stubborn;
        w.release = c.timeout == -2;
        vnthread_handle t = vnthread_create(&Worker::Run, &w, c.priority);
        ASSERT_NE(nullptr, t);
        ASSERT_TRUE(WaitUntil([&] { return w.started.load(); }));
        EXPECT_STREQ("VnWorkerThread1", w.kernelName);
        if (c.timeout == -2) {
            EXPECT_EQ(0, vnthread_waitfor(t) + vnthread_closehandle(t));
            continue;
        }
        EXPECT_EQ(0, vnthread_terminate(t, c.timeout));
        EXPECT_EQ(!c.stubborn, w.sawSignal.load());  // returned before terminate did
        w.release = true;
        ASSERT_TRUE(WaitUntil([&] { return w.sawSignal.load(); }));
        std::string path = "/proc/self/task/" + std::to_string(w.tid.load());
        EXPECT_TRUE(WaitUntil([&] { return access(path.c_str(), F_OK) != 0; }));
    }
}

TEST(ThreadKeys, LimitsAndPerThreadValues) {
    int value = 1;
    EXPECT_EQ(34, vnthread_setspecific(0x80000000u, &value));
    EXPECT_EQ(0, vnthread_setspecific(0x7FFFFFFFu, &value));
    EXPECT_EQ(&value, vnthread_getspecific(0x7FFFFFFFu));
    void* other = &value;
    OnThread([&] { other = vnthread_getspecific(0x7FFFFFFFu); });
    EXPECT_EQ(nullptr, other);
    // The table holds 1024 keys: fill it up (other tests may hold a few).
    int rc = 0, set = 1;
    for (unsigned int key = 1; key <= 2000 && rc == 0; ++key) {
        rc = vnthread_setspecific(key, reinterpret_cast<void*>(static_cast<uintptr_t>(key)));
        set += rc == 0;
    }
    EXPECT_EQ(12, rc);
    EXPECT_GE(set, 1000);
    EXPECT_EQ(0, vnthread_setspecific(1, &value));  // present keys stay settable
    EXPECT_EQ(reinterpret_cast<void*>(uintptr_t{500}), vnthread_getspecific(500));
}
