// Test support for code that lives on I/O task threads (sockets, the pump): a started
// CVNTaskIO owned by the test, a bounded "run this on the worker and wait" helper, and a
// condition one thread can wait for while others change it. Header only.
#pragma once

#include <gtest/gtest.h>
#include <time.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>

#include "base/vnevent.h"
#include "fevent/vntaskio.h"
#include "task/vnrefcount.h"
#include "task/vnscopecall.h"
#include "task/vntask.h"

namespace iotest {

// Every bounded wait of these tests.
constexpr int kWaitMs = 10000;

inline long long NowUs() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

// A function to run on a task's worker, with the event that tells it has returned. It is
// counted: a run that outlasts the caller's wait still finds it alive.
struct RunBox : public CRefCountSafe {
    explicit RunBox(std::function<void()> f) : fn(std::move(f)) {}
    std::function<void()> fn;
    CVNEvent done{1, 0};  // manual reset
    int Run(CRefCount*) {
        fn();
        done.Post();
        return 0;
    }
};

// Runs fn on task's worker and waits up to ms for it to return: true when it did.
inline bool RunOn(CVNTaskBase* task, std::function<void()> fn, int ms = kWaitMs) {
    RunBox* box = new RunBox(std::move(fn));
    bool ok = CVNTaskBase::PushTask(task, CScopeCall(box, box, &RunBox::Run)) != 0 &&
              box->done.Wait(ms) == 1;
    box->Release();
    return ok;
}

// Posts fn to task's worker without waiting.
inline bool Post(CVNTaskBase* task, std::function<void()> fn) {
    RunBox* box = new RunBox(std::move(fn));
    bool ok = CVNTaskBase::PushTask(task, CScopeCall(box, box, &RunBox::Run)) != 0;
    box->Release();
    return ok;
}

// A started CVNTaskIO; stopped and released at scope end.
class IOThread {
public:
    explicit IOThread(const char* name, int idleMs = 50) : m_task(new CVNTaskIO(name, idleMs, 1)) {
        EXPECT_EQ(1, m_task->Start());
    }
    ~IOThread() {
        if (m_task->IsStarted()) m_task->Stop();
        m_task->Release();
    }
    IOThread(const IOThread&) = delete;
    IOThread& operator=(const IOThread&) = delete;

    CVNTaskIO* task() const { return m_task; }
    // Runs fn on the worker and waits (bounded) for it to return.
    bool Run(std::function<void()> fn, int ms = kWaitMs) const {
        return RunOn(m_task, std::move(fn), ms);
    }

private:
    CVNTaskIO* m_task;
};

// State guarded by a mutex, with a bounded wait for a condition on it.
class Waiter {
public:
    // Runs fn under the lock and wakes the waiters. The notification is given under the
    // lock too: a waiter that sees its condition may destroy the Waiter at once.
    template <class Fn>
    void Update(Fn fn) {
        std::lock_guard<std::mutex> g(m_mu);
        fn();
        m_cv.notify_all();
    }
    // Waits up to ms for pred (evaluated under the lock); its final value.
    template <class Pred>
    bool WaitFor(Pred pred, int ms = kWaitMs) {
        std::unique_lock<std::mutex> l(m_mu);
        return m_cv.wait_for(l, std::chrono::milliseconds(ms), pred);
    }
    // Runs fn under the lock (to read state consistently).
    template <class Fn>
    auto Read(Fn fn) {
        std::lock_guard<std::mutex> g(m_mu);
        return fn();
    }

private:
    std::mutex m_mu;
    std::condition_variable m_cv;
};

}  // namespace iotest
