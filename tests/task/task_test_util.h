// Helpers shared by the task runtime tests: objects that record the calls they receive
// and count their own destruction, and exact log-line checks.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "base/vnthread.h"
#include "support/log_capture.h"
#include "task/vnrefcount.h"
#include "task/vnscopecall.h"
#include "task/vntask.h"

namespace tasktest {

// Every bounded wait of these tests.
constexpr int kWaitMs = 10000;

// Number of captured lines whose message is exactly msg.
inline size_t ExactLogCount(const std::string& msg) {
    size_t n = 0;
    for (const vntest::LogLine& l : vntest::LogLines()) {
        if (l.message() == msg) ++n;
    }
    return n;
}

// Counts live instances and destructions, so tests can check that every reference was
// released exactly once.
struct Tracked : public CRefCountSafe {
    static std::atomic<int> s_live;
    static std::atomic<int> s_destroyed;
    Tracked() { ++s_live; }
    ~Tracked() override {
        --s_live;
        ++s_destroyed;
    }
};
inline std::atomic<int> Tracked::s_live{0};
inline std::atomic<int> Tracked::s_destroyed{0};

// A call argument carrying one number.
struct IntArg : public Tracked {
    explicit IntArg(int v) : value(v) {}
    int value;
};

// Records the numbers of the calls it receives, with the thread and task they ran on.
struct Recorder : public Tracked {
    std::mutex mu;
    std::condition_variable cv;
    std::vector<int> values;        // guarded by mu
    std::vector<unsigned> threads;  // guarded by mu
    std::vector<CVNTaskBase*> tasks;
    int result = 0;  // what Record returns

    int Record(CRefCount* arg) {
        int v = arg != nullptr ? static_cast<IntArg*>(arg)->value : -1;
        std::lock_guard<std::mutex> g(mu);
        values.push_back(v);
        threads.push_back(vnthread_selfid());
        tasks.push_back(CVNTaskBase::GetCurrentTask());
        cv.notify_all();
        return result;
    }
    // Waits until n calls were recorded.
    bool WaitCount(size_t n, int ms = kWaitMs) {
        std::unique_lock<std::mutex> l(mu);
        return cv.wait_for(l, std::chrono::milliseconds(ms), [&] { return values.size() >= n; });
    }
    // Waits until value v was recorded.
    bool WaitValue(int v, int ms = kWaitMs) {
        std::unique_lock<std::mutex> l(mu);
        return cv.wait_for(l, std::chrono::milliseconds(ms), [&] {
            for (int x : values)
                if (x == v) return true;
            return false;
        });
    }
    std::vector<int> Values() {
        std::lock_guard<std::mutex> g(mu);
        return values;
    }
    size_t Count(int v) {
        std::lock_guard<std::mutex> g(mu);
        size_t n = 0;
        for (int x : values)
            if (x == v) ++n;
        return n;
    }
};

// A call of rec->Record(IntArg(v)) gated by target (the recorder itself by default).
inline CScopeCall RecordCall(Recorder* rec, int v, CRefCount* target = nullptr) {
    IntArg* arg = new IntArg(v);
    CScopeCall call(target != nullptr ? target : rec, rec, &Recorder::Record, arg);
    arg->Release();  // the call holds it now
    return call;
}

// Runs fn on the task's worker and waits for it to return.
template <class Fn>
struct RunOn : public CRefCountSafe {
    explicit RunOn(Fn f) : fn(f) {}
    Fn fn;
    std::mutex mu;
    std::condition_variable cv;
    bool done = false;
    int Run(CRefCount*) {
        fn();
        std::lock_guard<std::mutex> g(mu);
        done = true;
        cv.notify_all();
        return 0;
    }
};
template <class Fn>
bool RunOnTask(CVNTaskBase* task, Fn fn) {
    RunOn<Fn>* r = new RunOn<Fn>(fn);
    bool ok = CVNTaskBase::PushTask(task, CScopeCall(r, r, &RunOn<Fn>::Run)) != 0;
    if (ok) {
        std::unique_lock<std::mutex> l(r->mu);
        ok = r->cv.wait_for(l, std::chrono::milliseconds(kWaitMs), [&] { return r->done; });
    }
    r->Release();
    return ok;
}

// A call that runs fn on the worker, without waiting for it.
template <class Fn>
struct FnCall : public CRefCountSafe {
    explicit FnCall(Fn f) : fn(f) {}
    Fn fn;
    int Run(CRefCount*) {
        fn();
        return 0;
    }
};
template <class Fn>
CScopeCall MakeCall(Fn fn) {
    FnCall<Fn>* c = new FnCall<Fn>(fn);
    CScopeCall call(c, c, &FnCall<Fn>::Run);
    c->Release();
    return call;
}

// A task thread that counts its loop iterations.
class CountingTask : public CVNTaskBase {
public:
    CountingTask(const char* name, int idleMs) : CVNTaskBase(name, idleMs, 1) {}
    // Overrides Eachloop, so it stops its worker itself before it is torn down.
    ~CountingTask() override {
        if (IsStarted()) Stop();
    }
    std::atomic<int> iterations{0};

protected:
    unsigned char Eachloop() override {
        ++iterations;
        return CVNTaskBase::Eachloop();
    }
};

}  // namespace tasktest
