// The task thread: ids, order, lifecycle, waking, stop from the worker, restart.
#include <gtest/gtest.h>
#include <sys/prctl.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "base/vnevent.h"
#include "base/vnlog.h"
#include "base/vnthread.h"
#include "support/log_capture.h"
#include "task/vntask.h"
#include "task_test_util.h"

using namespace tasktest;

namespace {

std::string Tid(const char* fmt, unsigned int tid) {
    char buf[128];
    snprintf(buf, sizeof(buf), fmt, static_cast<int>(tid));
    return buf;
}

}  // namespace

TEST(Task, CreateStartStopMessages) {
    vntest::LogClear();
    CVNTaskBase* task = new CVNTaskBase("Named", 50, 1);
    EXPECT_EQ(1u, ExactLogCount("create a Task[Named]"));
    EXPECT_STREQ("Named", task->GetName());
    EXPECT_EQ(0u, task->getthreadid());
    EXPECT_EQ(0, task->IsStarted());
    EXPECT_EQ(nullptr, static_cast<void**>(*task));

    const unsigned int me = vnthread_selfid();
    EXPECT_EQ(0, task->Stop());
    EXPECT_EQ(1u, ExactLogCount(Tid("thread[%d] has not started yet!", me)));

    EXPECT_EQ(1, task->Start());
    EXPECT_EQ(1, task->IsStarted());
    EXPECT_NE(nullptr, static_cast<void**>(*task));
    EXPECT_EQ(0, task->Start());
    EXPECT_EQ(1u, ExactLogCount(Tid("thread[%d] aready started!", me)));

    Recorder* rec = new Recorder;
    EXPECT_NE(0u, CVNTaskBase::PushTask(task, RecordCall(rec, 1)));
    ASSERT_TRUE(rec->WaitCount(1));
    EXPECT_EQ(task, rec->tasks[0]);
    EXPECT_EQ(rec->threads[0], task->getthreadid());
    EXPECT_NE(me, rec->threads[0]);
    EXPECT_TRUE(vntest::LogWaitFor("..thread Start..[Named]", kWaitMs));

    EXPECT_EQ(1, task->Stop());
    EXPECT_EQ(1u, ExactLogCount("..thread Exit..[Named]"));
    EXPECT_EQ(0, task->IsStarted());
    EXPECT_EQ(0, task->Stop());
    EXPECT_EQ(2u, ExactLogCount(Tid("thread[%d] has not started yet!", me)));
    const unsigned int worker = rec->threads[0];
    task->Release();
    EXPECT_EQ(1u, ExactLogCount(Tid("delete a Task[Named][%d]", worker)));
    rec->Release();
}

TEST(Task, ThreadNames) {
    // A new thread inherits the kernel name of the test's main thread; the kernel keeps 15
    // bytes of a longer name.
    char inherited[32] = {0};
    prctl(PR_GET_NAME, inherited, 0, 0, 0);
    struct {
        const char* name;
        const char* logged;
        const char* kernel;
    } cases[] = {{nullptr, "unname", inherited},
                 {"TaskNameIsLongerThan15", "TaskNameIsLongerThan15", "TaskNameIsLonge"}};
    for (const auto& c : cases) {
        vntest::LogClear();
        CVNTaskBase* task = new CVNTaskBase(c.name, 50, 1);
        EXPECT_EQ(1u, ExactLogCount(std::string("create a Task[") + c.logged + "]"));
        EXPECT_EQ(c.name == nullptr, task->GetName() == nullptr);
        ASSERT_EQ(1, task->Start());
        bool nullName = false;
        std::string name;
        char kernelName[32] = {0};
        ASSERT_TRUE(RunOnTask(task, [&] {
            const char* n = vnthread_getname();
            nullName = n == nullptr;
            name = n != nullptr ? n : "";
            prctl(PR_GET_NAME, kernelName, 0, 0, 0);
        }));
        EXPECT_EQ(c.name == nullptr, nullName);
        if (c.name != nullptr) {
            EXPECT_EQ(c.name, name);
        }
        EXPECT_STREQ(c.kernel, kernelName);
        const unsigned int worker = task->getthreadid();
        task->Release();  // stops the worker
        std::string del = std::string("delete a Task[") + c.logged + "][%d]";
        EXPECT_EQ(1u, ExactLogCount(Tid(del.c_str(), worker)));
    }
}

TEST(Task, RefusedPushes) {
    vntest::LogClear();
    Recorder* rec = new Recorder;
    CScopeCall call = RecordCall(rec, 1);
    // Not on a task thread: the overloads without a task have none.
    EXPECT_EQ(nullptr, CVNTaskBase::GetCurrentTask());
    EXPECT_EQ(0u, CVNTaskBase::PushTask(call));
    EXPECT_EQ(0u, CVNTaskBase::PushTask(nullptr, call));
    EXPECT_EQ(0u, CVNTaskBase::PushDelayTask(call, 10, etask_once));
    EXPECT_EQ(0, CVNTaskBase::CancelTask(5));
    EXPECT_EQ(4u, ExactLogCount("illegal argument!"));

    // A call without a target is refused, never run.
    CVNTaskBase* task = new CVNTaskBase("Refuse", 50, 1);
    IntArg* arg = new IntArg(1);
    CScopeCall noTarget(nullptr, rec, &Recorder::Record, arg);
    EXPECT_EQ(2, arg->RefCount());
    EXPECT_EQ(0u, CVNTaskBase::PushTask(task, noTarget));
    EXPECT_EQ(0u, CVNTaskBase::PushDelayTask(task, noTarget, 0, etask_repeat));
    EXPECT_EQ(0, CVNTaskBase::CancelTask(task, 0));
    EXPECT_EQ(7u, ExactLogCount("illegal argument!"));
    EXPECT_EQ(2, arg->RefCount());  // nothing kept
    arg->Release();
    ASSERT_EQ(1, task->Start());
    EXPECT_EQ(1u, CVNTaskBase::PushTask(task, call));  // the first id: nothing was queued
    ASSERT_TRUE(rec->WaitCount(1));
    EXPECT_EQ(std::vector<int>{1}, rec->Values());
    task->Release();
    rec->Release();
}

TEST(Task, TasksPushedBeforeStartRunInOrder) {
    CVNTaskBase* task = new CVNTaskBase("Early", 50, 1);
    Recorder* rec = new Recorder;
    for (int i = 0; i < 20; ++i)
        ASSERT_NE(0u, CVNTaskBase::PushTask(task, RecordCall(rec, i)));
    EXPECT_EQ(0u, rec->Values().size());
    ASSERT_EQ(1, task->Start());
    ASSERT_TRUE(rec->WaitCount(20));
    std::vector<int> expected;
    for (int i = 0; i < 20; ++i)
        expected.push_back(i);
    EXPECT_EQ(expected, rec->Values());
    task->Release();
    rec->Release();
}

TEST(Task, PushOrderAcrossThreads) {
    CVNTaskBase* task = new CVNTaskBase("Order", 50, 1);
    ASSERT_EQ(1, task->Start());
    Recorder* rec = new Recorder;
    constexpr int kThreads = 4;
    constexpr int kPerThread = 2000;
    std::vector<std::thread> pushers;
    for (int t = 0; t < kThreads; ++t) {
        pushers.emplace_back([=] {
            for (int i = 0; i < kPerThread; ++i)
                EXPECT_NE(0u, CVNTaskBase::PushTask(task, RecordCall(rec, t * kPerThread + i)));
        });
    }
    for (auto& p : pushers)
        p.join();
    ASSERT_TRUE(rec->WaitCount(kThreads * kPerThread));
    // Each pusher's tasks run in its own push order, all on the worker.
    std::vector<int> next(kThreads, 0);
    std::vector<int> values = rec->Values();
    ASSERT_EQ(static_cast<size_t>(kThreads * kPerThread), values.size());
    for (int v : values) {
        int t = v / kPerThread;
        EXPECT_EQ(next[t], v % kPerThread);
        next[t] = v % kPerThread + 1;
    }
    for (unsigned tid : rec->threads)
        ASSERT_EQ(task->getthreadid(), tid);
    task->Release();
    rec->Release();
}

namespace {
// Records the loop iteration each call ran in.
struct IterationRecorder : public CRefCountSafe {
    CountingTask* task = nullptr;
    std::vector<std::pair<int, int>> runs;  // (value, iteration); worker only
    CVNEvent done;
    int pushFromTask = -1;  // a value to push to the own thread on the first call
    int Record(CRefCount* arg) {
        int v = static_cast<IntArg*>(arg)->value;
        runs.emplace_back(v, task->iterations.load());
        if (pushFromTask >= 0) {
            EXPECT_NE(0u, CVNTaskBase::PushTask(Make(pushFromTask)));  // to the own thread
            pushFromTask = -1;
        }
        if (v == 99) done.Post();
        return 0;
    }
    CScopeCall Make(int v) {
        IntArg* a = new IntArg(v);
        CScopeCall c(this, this, &IterationRecorder::Record, a);
        a->Release();
        return c;
    }
};
}  // namespace

TEST(Task, OneImmediateTaskPerIteration) {
    CountingTask* task = new CountingTask("Iter", 50);
    IterationRecorder* rec = new IterationRecorder;
    rec->task = task;
    for (int v : {1, 2, 3})
        CVNTaskBase::PushTask(task, rec->Make(v));
    rec->pushFromTask = 10;  // pushed by the first call: runs after 2 and 3
    CVNTaskBase::PushTask(task, rec->Make(99));
    ASSERT_EQ(1, task->Start());
    ASSERT_TRUE(rec->done.Wait(kWaitMs));
    ASSERT_TRUE(RunOnTask(task, [] {}));
    task->Stop();
    ASSERT_EQ(5u, rec->runs.size());
    EXPECT_EQ(1, rec->runs[0].first);
    EXPECT_EQ(2, rec->runs[1].first);
    EXPECT_EQ(3, rec->runs[2].first);
    EXPECT_EQ(99, rec->runs[3].first);
    EXPECT_EQ(10, rec->runs[4].first);
    // Consecutive iterations, no idle wait in between.
    for (size_t i = 1; i < rec->runs.size(); ++i)
        EXPECT_EQ(rec->runs[0].second + static_cast<int>(i), rec->runs[i].second);
    task->Release();
    rec->Release();
}

TEST(Task, DestroyingReleasesQueuedTasksWithoutRunningThem) {
    vntest::LogClear();
    const int destroyedBefore = Tracked::s_destroyed;
    CVNTaskBase* task = new CVNTaskBase("Doomed", 50, 1);
    Recorder* rec = new Recorder;
    IntArg* arg = new IntArg(1);
    {
        CScopeCall call(rec, rec, &Recorder::Record, arg);
        for (int i = 0; i < 5; ++i)
            CVNTaskBase::PushTask(task, call);
        for (int i = 0; i < 3; ++i)
            CVNTaskBase::PushDelayTask(task, call, 1000 * i, i == 2 ? etask_repeat : etask_once);
    }
    EXPECT_EQ(9, rec->RefCount());
    EXPECT_EQ(9, arg->RefCount());
    task->Release();  // never started
    EXPECT_EQ(1, rec->RefCount());
    EXPECT_EQ(1, arg->RefCount());
    EXPECT_EQ(0u, rec->Values().size());
    EXPECT_EQ(1u, ExactLogCount("delete a Task[Doomed][0]"));
    arg->Release();
    rec->Release();
    EXPECT_EQ(destroyedBefore + 2, Tracked::s_destroyed.load());
}

TEST(Task, IdlePushWakesTheWorker) {
    // An idle interval far beyond the test's time-out: only waking can make this pass.
    CVNTaskBase* task = new CVNTaskBase("Wake", 600000, 1);
    ASSERT_EQ(1, task->Start());
    Recorder* rec = new Recorder;
    for (int i = 0; i < 50; ++i) {
        ASSERT_NE(0u, CVNTaskBase::PushTask(task, RecordCall(rec, i)));
        ASSERT_TRUE(rec->WaitCount(static_cast<size_t>(i + 1)));
        if (i % 10 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(2));  // let it idle
    }
    // A delayed task wakes it when due, and a cancel wakes it to release the entry.
    CVNTaskBase::PushDelayTask(task, RecordCall(rec, 100), 30, etask_once);
    ASSERT_TRUE(rec->WaitValue(100));
    struct SignalArg : public IntArg {
        explicit SignalArg(CVNEvent* e) : IntArg(7), ev(e) {}
        ~SignalArg() override { ev->Post(); }
        CVNEvent* ev;
    };
    CVNEvent released;
    SignalArg* arg = new SignalArg(&released);
    unsigned int id = CVNTaskBase::PushDelayTask(task, CScopeCall(rec, rec, &Recorder::Record, arg),
                                                 600000, etask_once);
    arg->Release();  // the queued entry holds the only reference now
    std::this_thread::sleep_for(std::chrono::milliseconds(2));  // let the worker idle
    EXPECT_EQ(1, CVNTaskBase::CancelTask(task, id));
    EXPECT_TRUE(released.Wait(kWaitMs));  // the cancel pass ran without waiting 600 s
    auto before = std::chrono::steady_clock::now();
    EXPECT_EQ(1, task->Stop());  // wakes the worker too
    EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(5));
    task->Release();
    rec->Release();
}

TEST(Task, StopFromTheWorkerItselfAndRestart) {
    // The worker takes the queued tasks over in one step; stopping from the first of them
    // must hand the rest back to the queue, in front of tasks pushed later.
    vntest::LogClear();
    CVNTaskBase* task = new CVNTaskBase("SelfStop", 50, 1);
    Recorder* rec = new Recorder;
    unsigned char stopResult = 0;
    bool startedAfter = true;
    CVNTaskBase::PushTask(task, MakeCall([&] {
                              stopResult = task->Stop();
                              startedAfter = task->IsStarted() != 0;
                          }));
    for (int i = 1; i <= 3; ++i)
        CVNTaskBase::PushTask(task, RecordCall(rec, i));
    ASSERT_EQ(1, task->Start());
    ASSERT_TRUE(vntest::LogWaitFor("..thread Exit..[SelfStop]", kWaitMs));
    EXPECT_EQ(1, stopResult);
    EXPECT_FALSE(startedAfter);
    EXPECT_EQ(0, task->IsStarted());
    EXPECT_EQ(0u, rec->Values().size());  // the worker stopped after the stopping task

    // Restart: a new worker runs what is still queued, in order.
    CVNTaskBase::PushTask(task, RecordCall(rec, 4));
    const unsigned long firstWorker = task->getthreadid();
    ASSERT_EQ(1, task->Start());
    ASSERT_TRUE(rec->WaitCount(4));
    EXPECT_EQ((std::vector<int>{1, 2, 3, 4}), rec->Values());
    EXPECT_NE(firstWorker, task->getthreadid());
    EXPECT_EQ(2u, ExactLogCount("..thread Start..[SelfStop]"));
    EXPECT_EQ(1, task->Stop());
    task->Release();
    rec->Release();
}

TEST(Task, StopAndStartAgainFromTheWorkerThenStopAndDestroy) {
    vntest::LogClear();
    CVNTaskBase* task = new CVNTaskBase("Revive", 50, 1);
    ASSERT_EQ(1, task->Start());
    unsigned char stopped = 0, started = 0;
    ASSERT_TRUE(RunOnTask(task, [&] {
        stopped = task->Stop();
        started = task->Start();  // changes its mind: the worker keeps running
    }));
    EXPECT_EQ(1, stopped);
    EXPECT_EQ(1, started);
    EXPECT_EQ(1, task->IsStarted());
    Recorder* rec = new Recorder;
    CVNTaskBase::PushTask(task, RecordCall(rec, 5));
    ASSERT_TRUE(rec->WaitCount(1));
    rec->Release();
    ASSERT_TRUE(RunOnTask(task, [&] { task->Stop(); }));
    // The worker may still be winding down; Release must wait for it before freeing.
    task->Release();
    EXPECT_EQ(1u, ExactLogCount("..thread Exit..[Revive]"));
}

TEST(Task, RestartAfterStop) {
    // Stopped from the test's thread and from another task thread; what was queued while
    // stopped runs on the next worker.
    CVNTaskBase* task = new CVNTaskBase("Restart", 50, 1);
    CVNTaskBase* other = new CVNTaskBase("Stopper", 50, 1);
    ASSERT_EQ(1, other->Start());
    Recorder* rec = new Recorder;
    for (int round = 0; round < 3; ++round) {
        ASSERT_EQ(1, task->Start());
        CVNTaskBase::PushTask(task, RecordCall(rec, round));
        ASSERT_TRUE(rec->WaitValue(round));
        if (round > 0) {
            ASSERT_TRUE(rec->WaitValue(100 + round - 1));
        }
        EXPECT_EQ(task, rec->tasks.back());
        unsigned char stopped = 0;
        if (round == 1) {
            ASSERT_TRUE(RunOnTask(other, [&] { stopped = task->Stop(); }));
        } else {
            stopped = task->Stop();
        }
        EXPECT_EQ(1, stopped);
        EXPECT_EQ(0, task->IsStarted());
        CVNTaskBase::PushDelayTask(task, RecordCall(rec, 100 + round), 0, etask_once);
    }
    EXPECT_EQ(5u, rec->Values().size());
    task->Release();  // the last delayed task is destroyed unrun
    EXPECT_EQ(0u, rec->Count(102));
    other->Release();
    rec->Release();
}

TEST(Task, LastReferenceDroppedOnTheWorker) {
    vntest::LogClear();
    CVNTaskBase* task = new CVNTaskBase("Orphan", 50, 1);
    ASSERT_EQ(1, task->Start());
    struct Noop {
        int Run(CRefCount*) { return 0; }
    } noop;
    // The worker is held in a first task while the creator lets go; the queued call that
    // holds the task is then the last reference, and it goes away on the worker itself.
    CVNEvent gate;
    CVNTaskBase::PushTask(task, MakeCall([&] { gate.Wait(kWaitMs); }));
    CVNTaskBase::PushTask(task, CScopeCall(task, &noop, &Noop::Run));
    EXPECT_EQ(2, task->RefCount());
    task->Release();
    gate.Post();
    ASSERT_TRUE(vntest::LogWaitFor("delete a Task[Orphan]", kWaitMs));
    EXPECT_EQ(1u, ExactLogCount("..thread Exit..[Orphan]"));
}

TEST(Task, CancelATaskTheWorkerAlreadyTookOver) {
    // The worker takes the queued tasks over in one step and then runs one per iteration;
    // a task among them cancelled while an earlier one runs must still not run.
    CVNTaskBase* task = new CVNTaskBase("CancelTaken", 50, 1);
    CVNEvent gate;
    CVNEvent running;
    Recorder* rec = new Recorder;
    CVNTaskBase::PushTask(task, MakeCall([&] {
                              running.Post();
                              gate.Wait(kWaitMs);
                          }));
    CVNTaskBase::PushTask(task, RecordCall(rec, 1));
    unsigned int second = CVNTaskBase::PushTask(task, RecordCall(rec, 2));
    CVNTaskBase::PushTask(task, RecordCall(rec, 3));
    ASSERT_EQ(1, task->Start());
    ASSERT_TRUE(running.Wait(kWaitMs));
    EXPECT_EQ(1, CVNTaskBase::CancelTask(task, second));
    CVNTaskBase::PushTask(task, RecordCall(rec, 4));  // queued behind the taken-over ones
    gate.Post();
    ASSERT_TRUE(rec->WaitValue(4));
    EXPECT_EQ((std::vector<int>{1, 3, 4}), rec->Values());
    task->Release();
    rec->Release();
}
