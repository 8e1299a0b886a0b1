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
        static unsigned int Run(void* p) {
            static_cast<Box*>(p)->fn();
            return 0;
        }
    } box{fn};
    vnthread_handle t = vnthread_create(&Box::Run, &box, 1);
    ASSERT_NE(nullptr, t);
    EXPECT_EQ(0, vnthread_terminate(t, -1));
}

int TryElsewhere(CVNLock* lock) {
    int r = -1;
    OnThread([&] {
        r = lock->Try();
        if (r == 1) lock->Unlock();
    });
    return r;
}

struct Worker {
    std::atomic<bool> started{false}, release{false}, sawSignal{false};
    std::atomic<unsigned int> tid{0};
    std::string kernelName;
};

unsigned int PollingWorker(void* p) {
    Worker* w = static_cast<Worker*>(p);
    vnthread_setname("VnWorkerThread1234567");
    char kname[32] = {};
    prctl(PR_GET_NAME, kname);
    w->kernelName = kname;
    w->started = true;
    while (!vnthread_signaled())
        vn_msleep(1);
    w->sawSignal = true;
    return 0;
}

// Ignores its stop flag until released: a thread that does not stop in time.
unsigned int StubbornWorker(void* p) {
    Worker* w = static_cast<Worker*>(p);
    w->tid = vnthread_selfid();
    w->started = true;
    while (!w->release.load())
        vn_msleep(1);
    w->sawSignal = vnthread_signaled() == 1;  // reads its record after the creator let go
    return 0;
}

template <class Pred>
bool WaitUntil(Pred pred) {
    for (int i = 0; i < 10000; ++i) {
        if (pred()) return true;
        vn_msleep(1);
    }
    return pred();
}

}  // namespace

TEST(Lock, RecursiveTryAndGuards) {
    CVNLock lock;
    lock.Lock();
    lock.Lock();
    EXPECT_EQ(1, lock.Try());
    lock.Unlock();
    lock.Unlock();
    EXPECT_EQ(0, TryElsewhere(&lock));
    lock.Unlock();
    EXPECT_EQ(1, TryElsewhere(&lock));
    {
        CVNAutolockex none(nullptr);
        CVNAutolockex some(&lock);
        EXPECT_EQ(0, TryElsewhere(&lock));
    }
    EXPECT_EQ(1, TryElsewhere(&lock));
}

TEST(Event, ResetModesTimeoutAndWake) {
    CVNEvent automatic;
    automatic.Post();
    EXPECT_EQ(1, automatic.Wait(0));
    EXPECT_EQ(0, automatic.Wait(0));  // consumed
    CVNEvent manual(1, 1);
    EXPECT_EQ(1, manual.Wait(-1));
    EXPECT_EQ(1, manual.IsSignaled());
    manual.Reset();
    EXPECT_EQ(0, manual.IsSignaled());
    vnevent_handle h = vnevent_create(0, 0);
    unsigned int t0 = vn_gettickcount();
    EXPECT_EQ(VN_EVENT_TIMEOUT, vnevent_timedwait(h, 30));
    EXPECT_GE(vn_gettickcount() - t0, 29u);
    vnevent_destory(h);
    CVNEvent ev(1, 0);
    OnThread([&] { ev.Post(); });
    EXPECT_EQ(1, ev.Wait(10000));
}

TEST(Thread, CooperativeStopAndKernelName) {
    Worker w;
    vnthread_handle t = vnthread_create(PollingWorker, &w, 1);
    ASSERT_NE(nullptr, t);
    ASSERT_TRUE(WaitUntil([&] { return w.started.load(); }));
    EXPECT_EQ(0, vnthread_terminate(t, -1));
    EXPECT_TRUE(w.sawSignal.load());  // the entry returned before terminate did
    EXPECT_EQ("VnWorkerThread1", w.kernelName);
}

TEST(Thread, TerminateThatTimesOutDetachesSafely) {
    for (long long timeout : {0LL, 20LL}) {
        Worker w;
        // Time-critical priority is refused without privileges: a warning, not a failure.
        vnthread_handle t = vnthread_create(StubbornWorker, &w, 2);
        ASSERT_NE(nullptr, t);
        ASSERT_TRUE(WaitUntil([&] { return w.started.load(); }));
        EXPECT_EQ(0, vnthread_terminate(t, timeout));
        w.release = true;  // the record must still be valid for it (sanitizers check)
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
        if (rc == 0) ++set;
    }
    EXPECT_EQ(12, rc);
    EXPECT_GE(set, 1000);
    EXPECT_EQ(0, vnthread_setspecific(1, &value));  // present keys stay settable
    EXPECT_EQ(reinterpret_cast<void*>(uintptr_t{500}), vnthread_getspecific(500));
}

TEST(Lock, NullHandlesAndBadArguments) {
    errno = 0;
    EXPECT_EQ(9, vnlock_lock(nullptr));
    EXPECT_EQ(9, errno);
    EXPECT_EQ(9 * 6, vnlock_unlock(nullptr) + vnlock_trylock(nullptr) + vnlock_destroy(nullptr) +
                         vnevent_signal(nullptr) + vnevent_reset(nullptr) +
                         vnevent_destory(nullptr));
    EXPECT_EQ(0, vnevent_issignaled(nullptr));
    errno = 0;
    EXPECT_EQ(9, vnevent_wait(nullptr));
    EXPECT_EQ(9, errno);
    EXPECT_EQ(9, vnevent_timedwait(nullptr, 10));  // waits fail silently
    EXPECT_EQ(nullptr, vnthread_create(nullptr, nullptr, 1));
    EXPECT_EQ(22, errno);
    EXPECT_EQ(22, vnthread_terminate(nullptr, -1));
    EXPECT_EQ(22, vnthread_waitfor(nullptr));
    EXPECT_EQ(1, vnthread_signaled());  // the test's thread was not made by vnthread_create
}

TEST(Thread, WaitforAndClosehandle) {
    Worker w;
    w.release = true;
    vnthread_handle t = vnthread_create(StubbornWorker, &w, 0);  // below normal
    ASSERT_NE(nullptr, t);
    EXPECT_EQ(0, vnthread_waitfor(t));
    EXPECT_EQ(0, vnthread_closehandle(t));
    EXPECT_TRUE(w.started.load());
}
