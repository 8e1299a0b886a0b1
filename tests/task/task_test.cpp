// The task thread: results of the life-cycle calls, order, waking, stop from the worker,
// restart, and what becomes of queued tasks.
#include <gtest/gtest.h>
#include <sys/prctl.h>

#include "base/vnevent.h"
#include "base/vntime.h"
#include "support/log_capture.h"
#include "task_test_util.h"

using namespace tasktest;

TEST(Task, PushDelayCancelAndStopWakeAnIdleWorker) {
    // An idle interval far beyond the test's time-out: only waking can make this pass. The
    // I/O task thread waits in poll instead of on a condition.
    for (bool io : {false, true}) {
        CVNTaskBase* task =
            io ? new CVNTaskIO("Wake", 600000, 1) : new CVNTaskBase("Wake", 600000, 1);
        ASSERT_EQ(1, task->Start());
        Recorder* rec = new Recorder;
        for (int i = 0; i < 10; ++i) {
            ASSERT_NE(0u, CVNTaskBase::PushTask(task, RecordCall(rec, i)));
            ASSERT_TRUE(rec->Wait(static_cast<size_t>(i + 1)));
        }
        CVNTaskBase::PushDelayTask(task, RecordCall(rec, 100), 30, etask_once);
        ASSERT_TRUE(rec->Wait(0, 100));
        struct SignalArg : public IntArg {
            explicit SignalArg(CVNEvent* e) : IntArg(7), ev(e) {}
            ~SignalArg() override { ev->Post(); }
            CVNEvent* ev;
        };
        CVNEvent released;
        SignalArg* arg = new SignalArg(&released);
        unsigned int id = CVNTaskBase::PushDelayTask(
            task, CScopeCall(rec, rec, &Recorder::Record, arg), 600000, etask_once);
        arg->Release();  // the queued entry holds the only reference now
        EXPECT_EQ(1, CVNTaskBase::CancelTask(task, id));
        EXPECT_TRUE(released.Wait(kWaitMs));  // the cancel pass ran without waiting 600 s
        long long before = iotest::NowUs();
        EXPECT_EQ(1, task->Stop());
        EXPECT_LT(iotest::NowUs() - before, 5000000);
        task->Release();
        rec->Release();
    }
}

// Stop from the test, from another task thread and from the worker itself (which returns
// at once and hands back what is still queued); every Start runs what was queued.
TEST(Task, LifeCycleStopFromAnywhereAndRestart) {
    CVNTaskBase* task = new CVNTaskBase("Named", 50, 1);
    CVNTaskBase* other = new CVNTaskBase("Stopper", 50, 1);
    Recorder* rec = new Recorder;
    EXPECT_STREQ("Named", task->GetName());
    EXPECT_EQ(0u, task->getthreadid());
    EXPECT_EQ(nullptr, static_cast<void**>(*task));
    EXPECT_EQ(0, task->Stop() + task->IsStarted());  // not started
    ASSERT_EQ(1, other->Start());
    for (int round = 0; round < 3; ++round) {
        CVNTaskBase::PushTask(task, RecordCall(rec, round));  // runs before the delayed one
        EXPECT_EQ(1, task->Start());
        EXPECT_EQ(0, task->Start());
        EXPECT_EQ(1, task->IsStarted());
        EXPECT_NE(nullptr, static_cast<void**>(*task));
        ASSERT_TRUE(rec->Wait(0, round));
        ASSERT_TRUE(round == 0 || rec->Wait(0, 100 + round - 1));  // queued while stopped
        unsigned char stopped = 0;
        if (round == 1) {
            ASSERT_TRUE(RunOn(other, [&] { stopped = task->Stop(); }));
        } else if (round == 2) {
            CVNEvent done;
            CVNTaskBase::PushTask(task, MakeCall([&] { stopped = task->Stop(), done.Post(); }));
            CVNTaskBase::PushTask(task, RecordCall(rec, 50));  // handed back, runs later
            ASSERT_TRUE(done.Wait(kWaitMs));
        } else {
            stopped = task->Stop();
            EXPECT_EQ(0, task->Stop());
        }
        EXPECT_EQ(1, stopped);
        EXPECT_EQ(0, task->IsStarted());
        CVNTaskBase::PushDelayTask(task, RecordCall(rec, 100 + round), 0, etask_once);
    }
    ASSERT_EQ(1, task->Start());  // waits for the worker that stopped itself
    ASSERT_TRUE(rec->Wait(0, 102));
    EXPECT_EQ((std::vector<int>{0, 1, 100, 2, 101, 50, 102}), rec->Values());
    // Stop and start again from the worker: it keeps running.
    unsigned char again = 0;
    ASSERT_TRUE(RunOn(task, [&] { task->Stop(), again = task->Start(); }));
    EXPECT_EQ(1, again);
    ASSERT_TRUE(RunOn(task, [&] { task->Stop(); }));
    task->Release();  // waits for the worker winding down before freeing
    other->Release();
    rec->Release();
}

TEST(Task, QueuedTasksOfADestroyedTaskAreReleasedUnrun) {
    CVNTaskBase* task = new CVNTaskBase("Doomed", 50, 1);
    Recorder* rec = new Recorder;
    for (int i = 0; i < 3; ++i) {
        CVNTaskBase::PushTask(task, RecordCall(rec, i));
        CVNTaskBase::PushDelayTask(task, RecordCall(rec, i), 1000 * i,
                                   i ? etask_repeat : etask_once);
    }
    // Ours, one per delayed call, and for the immediate ones the first call's and the one
    // the queue lends to the calls that follow it for the same target.
    EXPECT_EQ(6, rec->RefCount());
    task->Release();  // never started
    EXPECT_EQ(1, rec->RefCount());
    EXPECT_TRUE(rec->Values().empty());
    rec->Release();
    // The last reference dropped by a queued call on the worker itself.
    vntest::LogClear();
    task = new CVNTaskBase("Orphan", 50, 1);
    ASSERT_EQ(1, task->Start());
    struct Noop {
        int Run(CRefCount*) { return 0; }
    } noop;
    CVNEvent gate;
    CVNTaskBase::PushTask(task, MakeCall([&] { gate.Wait(kWaitMs); }));
    CVNTaskBase::PushTask(task, CScopeCall(task, &noop, &Noop::Run));
    task->Release();  // the queued call now holds the last reference
    gate.Post();
    ASSERT_TRUE(vntest::LogWaitFor("delete a Task[Orphan]", kWaitMs));
}

TEST(Task, CancelATaskTheWorkerAlreadyTookOver) {
    CVNTaskBase* task = new CVNTaskBase("CancelTaken", 50, 1);
    CVNEvent gate, running;
    Recorder* rec = new Recorder;
    CVNTaskBase::PushTask(task, MakeCall([&] { running.Post(), gate.Wait(kWaitMs); }));
    CVNTaskBase::PushTask(task, RecordCall(rec, 1));
    unsigned int second = CVNTaskBase::PushTask(task, RecordCall(rec, 2));
    CVNTaskBase::PushTask(task, RecordCall(rec, 3));
    ASSERT_EQ(1, task->Start());
    ASSERT_TRUE(running.Wait(kWaitMs));
    EXPECT_EQ(1, CVNTaskBase::CancelTask(task, second));
    gate.Post();
    ASSERT_TRUE(rec->Wait(0, 3));
    EXPECT_EQ((std::vector<int>{1, 3}), rec->Values());
    task->Release();
    rec->Release();
}

TEST(Task, ThreadNamesAndRefusedPushes) {
    // A new thread inherits the kernel name of the test's thread; the kernel keeps 15 bytes.
    char inherited[32] = {0};
    prctl(PR_GET_NAME, inherited, 0, 0, 0);
    const struct {
        const char *name, *kernel;
    } cases[] = {{nullptr, inherited}, {"TaskNameIsLongerThan15", "TaskNameIsLonge"}};
    Recorder* rec = new Recorder;
    for (const auto& c : cases) {
        CVNTaskBase* task = new CVNTaskBase(c.name, 50, 1);
        ASSERT_EQ(1, task->Start());
        std::string name = "null";
        char kernelName[32] = {0};
        ASSERT_TRUE(RunOn(task, [&] {
            if (vnthread_getname() != nullptr) name = vnthread_getname();
            prctl(PR_GET_NAME, kernelName, 0, 0, 0);
        }));
        EXPECT_EQ(c.name ? c.name : "null", name);
        EXPECT_STREQ(c.kernel, kernelName);
        task->Release();  // stops the worker
    }
    // Off a task thread the overloads without a task have none; a call without a target is
    // refused and not kept.
    CScopeCall call = RecordCall(rec, 1);
    EXPECT_EQ(nullptr, CVNTaskBase::GetCurrentTask());
    EXPECT_EQ(0u, CVNTaskBase::PushTask(call) + CVNTaskBase::PushTask(nullptr, call) +
                      CVNTaskBase::PushDelayTask(call, 10, etask_once));
    EXPECT_EQ(0, CVNTaskBase::CancelTask(5));
    CVNTaskBase* task = new CVNTaskBase("Refuse", 50, 1);
    IntArg* arg = new IntArg(1);
    CScopeCall noTarget(nullptr, rec, &Recorder::Record, arg);
    EXPECT_EQ(0u, CVNTaskBase::PushTask(task, noTarget) +
                      CVNTaskBase::PushDelayTask(task, noTarget, 0, etask_repeat));
    EXPECT_EQ(0, CVNTaskBase::CancelTask(task, 0));
    EXPECT_EQ(2, arg->RefCount());  // nothing kept
    arg->Release();
    EXPECT_EQ(1u, CVNTaskBase::PushTask(task, call));  // the first id
    task->Release();
    rec->Release();
}

// Calls for the target of the previous push share one reference that the queue holds for
// them. Whatever the order of targets, cancellations and whether the worker ever runs,
// every target ends with the references of its owner alone, and a target whose calls have
// all run is let go before the next task runs (as the last of them would have been).
namespace {

// A target that records, as each of its calls runs, the reference count of every probe.
struct LendProbe;
struct LendRun {
    int call;
    std::vector<int> counts;  // of every probe as the call ran
};
struct LendShared {
    iotest::Waiter w;
    std::vector<LendRun> runs;  // guarded by w
    std::vector<LendProbe*> probes;
};
struct LendProbe : public CRefCountSafe {
    explicit LendProbe(LendShared* s) : shared(s) {}
    int Call(CRefCount* arg) {
        LendRun r{static_cast<IntArg*>(arg)->value, {}};
        for (LendProbe* p : shared->probes)
            r.counts.push_back(p->RefCount());
        shared->w.Update([&] { shared->runs.push_back(r); });
        return 0;
    }
    LendShared* shared;
};

}  // namespace

TEST(Task, TargetsLentToQueuedCallsAreLetGoWithTheirLastCall) {
    struct Case {
        const char* targets;  // one letter per push: the probe it goes to
        int cancel;           // the push cancelled before the start, or -1
        bool start;           // false: the task is deleted with everything queued
    };
    const Case cases[] = {
        {"AAAAAAAA", -1, true}, {"AABBA", -1, true},  {"ABABAB", -1, true}, {"AAAB", 0, true},
        {"AAAB", 1, true},      {"AAAB", 2, true},    {"AAAB", 3, true},    {"ABBBC", 3, true},
        {"AABBCCAA", 6, true},  {"AABBB", -1, false}, {"AAAA", 3, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.targets) + " cancel " + std::to_string(c.cancel));
        LendShared shared;
        for (int k = 0; k < 3; ++k)
            shared.probes.push_back(new LendProbe(&shared));
        const std::string order = c.targets;
        std::vector<int> expected;
        std::vector<int> lastLive(3, -1);  // each probe's last call not cancelled
        CVNTaskBase* task = new CVNTaskBase("Lending", 50, 1);
        for (int i = 0; i < static_cast<int>(order.size()); ++i) {
            const int k = order[static_cast<size_t>(i)] - 'A';
            LendProbe* p = shared.probes[static_cast<size_t>(k)];
            IntArg* arg = new IntArg(i);
            unsigned int id = CVNTaskBase::PushTask(task, CScopeCall(p, p, &LendProbe::Call, arg));
            arg->Release();
            ASSERT_NE(0u, id);
            if (i == c.cancel) {
                EXPECT_EQ(1, CVNTaskBase::CancelTask(task, id));
            } else {
                expected.push_back(i);
                lastLive[static_cast<size_t>(k)] = i;
            }
        }
        if (c.start) {
            ASSERT_EQ(1, task->Start());
            ASSERT_TRUE(shared.w.WaitFor([&] { return shared.runs.size() == expected.size(); }));
            // Nothing more is pushed: the worker lets a lent reference go on its way to
            // sleep. (No event tells of that; the counts are looked at until then.)
            auto released = [&] {
                for (LendProbe* p : shared.probes) {
                    if (p->RefCount() != 1) return false;
                }
                return true;
            };
            for (int ms = 0; ms < kWaitMs && !released(); ++ms)
                vn_msleep(1);
            EXPECT_TRUE(released());
            ASSERT_TRUE(RunOn(task, [] {}));
        }
        task->Release();  // stops the worker; what is still queued goes unrun
        std::vector<int> ran;
        for (const LendRun& r : shared.runs) {
            ran.push_back(r.call);
            for (size_t k = 0; k < 3; ++k) {
                if (lastLive[k] < r.call) {
                    EXPECT_EQ(1, r.counts[k]) << "probe " << k << " at call " << r.call;
                }
            }
        }
        EXPECT_EQ(c.start ? expected : std::vector<int>(), ran);
        for (LendProbe* p : shared.probes) {
            EXPECT_EQ(1, p->RefCount());
            p->Release();
        }
    }
}
