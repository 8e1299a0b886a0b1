// The task thread: results of the life-cycle calls, order, waking, stop from the worker,
// restart, and what becomes of queued tasks.
#include <gtest/gtest.h>
#include <sys/prctl.h>

#include <chrono>
#include <thread>
#include <vector>

#include "base/vnevent.h"
#include "support/log_capture.h"
#include "task/vntask.h"
#include "task_test_util.h"

using namespace tasktest;

TEST(Task, PushOrderAcrossThreads) {
    CVNTaskBase* task = new CVNTaskBase("Order", 50, 1);
    ASSERT_EQ(1, task->Start());
    Recorder* rec = new Recorder;
    constexpr int kThreads = 4, kPerThread = 2000;
    std::vector<std::thread> pushers;
    for (int t = 0; t < kThreads; ++t) {
        pushers.emplace_back([=] {
            for (int i = 0; i < kPerThread; ++i)
                EXPECT_NE(0u, CVNTaskBase::PushTask(task, RecordCall(rec, t * kPerThread + i)));
        });
    }
    for (auto& p : pushers)
        p.join();
    ASSERT_TRUE(rec->Wait(kThreads * kPerThread));
    std::vector<int> next(kThreads, 0);
    for (int v : rec->Values()) {  // each pusher's tasks in its own order
        EXPECT_EQ(next[v / kPerThread], v % kPerThread);
        next[v / kPerThread] = v % kPerThread + 1;
    }
    task->Release();
    rec->Release();
}

TEST(Task, OneImmediateTaskPerIterationAndOwnPushesQueueBehind) {
    CountingTask* task = new CountingTask("Iter", 50);
    std::vector<std::pair<int, int>> runs;  // (value, iteration); worker only
    CVNEvent done;
    auto record = [&](int v) {
        return MakeCall([&, v] {
            runs.emplace_back(v, task->iterations.load());
            if (v == 1) CVNTaskBase::PushTask(MakeCall([&] { runs.emplace_back(10, 0); }));
            if (v == 99) done.Post();
        });
    };
    for (int v : {1, 2, 3, 99})
        CVNTaskBase::PushTask(task, record(v));
    ASSERT_EQ(1, task->Start());
    ASSERT_TRUE(done.Wait(kWaitMs));
    ASSERT_TRUE(RunOn(task, [] {}));
    ASSERT_EQ(5u, runs.size());
    EXPECT_EQ(10, runs[4].first);   // pushed by the first call: after the ones queued before
    for (size_t i = 1; i < 4; ++i)  // consecutive iterations, no idle wait between
        EXPECT_EQ(runs[0].second + static_cast<int>(i), runs[i].second);
    task->Release();
}

TEST(Task, DestroyingReleasesQueuedTasksUnrun) {
    CVNTaskBase* task = new CVNTaskBase("Doomed", 50, 1);
    Recorder* rec = new Recorder;
    for (int i = 0; i < 3; ++i) {
        CVNTaskBase::PushTask(task, RecordCall(rec, i));
        CVNTaskBase::PushDelayTask(task, RecordCall(rec, i), 1000 * i,
                                   i ? etask_repeat : etask_once);
    }
    EXPECT_EQ(7, rec->RefCount());
    task->Release();  // never started
    EXPECT_EQ(1, rec->RefCount());
    EXPECT_TRUE(rec->Values().empty());
    rec->Release();
}

TEST(Task, PushDelayCancelAndStopWakeAnIdleWorker) {
    // An idle interval far beyond the test's time-out: only waking can make this pass.
    CVNTaskBase* task = new CVNTaskBase("Wake", 600000, 1);
    ASSERT_EQ(1, task->Start());
    Recorder* rec = new Recorder;
    for (int i = 0; i < 20; ++i) {
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
    unsigned int id = CVNTaskBase::PushDelayTask(task, CScopeCall(rec, rec, &Recorder::Record, arg),
                                                 600000, etask_once);
    arg->Release();  // the queued entry holds the only reference now
    EXPECT_EQ(1, CVNTaskBase::CancelTask(task, id));
    EXPECT_TRUE(released.Wait(kWaitMs));  // the cancel pass ran without waiting 600 s
    auto before = std::chrono::steady_clock::now();
    EXPECT_EQ(1, task->Stop());
    EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(5));
    task->Release();
    rec->Release();
}

TEST(Task, StopFromTheWorkerHandsTheRestBackAndRestartRunsIt) {
    CVNTaskBase* task = new CVNTaskBase("SelfStop", 50, 1);
    Recorder* rec = new Recorder;
    unsigned char stopResult = 0;
    CVNEvent stopped;
    CVNTaskBase::PushTask(task, MakeCall([&] {
                              stopResult = task->Stop();
                              stopped.Post();
                          }));
    for (int i = 1; i <= 3; ++i)
        CVNTaskBase::PushTask(task, RecordCall(rec, i));
    ASSERT_EQ(1, task->Start());
    ASSERT_TRUE(stopped.Wait(kWaitMs));
    CVNTaskBase::PushTask(task, RecordCall(rec, 4));
    ASSERT_EQ(1, task->Start());  // waits for the first worker, then runs what is queued
    ASSERT_TRUE(rec->Wait(4));
    EXPECT_EQ(1, stopResult);
    EXPECT_EQ((std::vector<int>{1, 2, 3, 4}), rec->Values());
    // Stop and start again from the worker: it keeps running.
    unsigned char again = 0;
    ASSERT_TRUE(RunOn(task, [&] {
        task->Stop();
        again = task->Start();
    }));
    EXPECT_EQ(1, again);
    CVNTaskBase::PushTask(task, RecordCall(rec, 5));
    ASSERT_TRUE(rec->Wait(5));
    ASSERT_TRUE(RunOn(task, [&] { task->Stop(); }));
    task->Release();  // waits for the worker winding down before freeing
    rec->Release();
}

TEST(Task, LastReferenceDroppedOnTheWorker) {
    CVNTaskBase* task = new CVNTaskBase("Orphan", 50, 1);
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
    gate.Post();
    ASSERT_TRUE(rec->Wait(0, 3));
    EXPECT_EQ((std::vector<int>{1, 3}), rec->Values());
    task->Release();
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
        CVNTaskBase* task = new CVNTaskBase(c.name, 50, 1);
        EXPECT_EQ(c.name == nullptr, task->GetName() == nullptr);
        ASSERT_EQ(1, task->Start());
        bool nullName = false;
        std::string name;
        char kernelName[32] = {0};
        ASSERT_TRUE(RunOn(task, [&] {
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
        task->Release();  // stops the worker
    }
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
        ASSERT_TRUE(rec->Wait(0, round));
        if (round > 0) {
            ASSERT_TRUE(rec->Wait(0, 100 + round - 1));
        }
        EXPECT_EQ(task, rec->tasks.back());
        unsigned char stopped = 0;
        if (round == 1) {
            ASSERT_TRUE(RunOn(other, [&] { stopped = task->Stop(); }));
        } else {
            stopped = task->Stop();
        }
        EXPECT_EQ(1, stopped);
        EXPECT_EQ(0, task->IsStarted());
        CVNTaskBase::PushDelayTask(task, RecordCall(rec, 100 + round), 0, etask_once);
    }
    EXPECT_EQ(5u, rec->Values().size());
    task->Release();  // the last delayed task is destroyed unrun
    for (int v : rec->Values())
        EXPECT_NE(102, v);
    other->Release();
    rec->Release();
}

TEST(Task, LifeCycleResults) {
    CVNTaskBase* task = new CVNTaskBase("Named", 50, 1);
    EXPECT_STREQ("Named", task->GetName());
    EXPECT_EQ(0u, task->getthreadid());
    EXPECT_EQ(0, task->IsStarted());
    EXPECT_EQ(nullptr, static_cast<void**>(*task));

    EXPECT_EQ(0, task->Stop());  // not started

    EXPECT_EQ(1, task->Start());
    EXPECT_EQ(1, task->IsStarted());
    EXPECT_NE(nullptr, static_cast<void**>(*task));
    EXPECT_EQ(0, task->Start());

    Recorder* rec = new Recorder;
    EXPECT_NE(0u, CVNTaskBase::PushTask(task, RecordCall(rec, 1)));
    ASSERT_TRUE(rec->Wait(1));
    EXPECT_EQ(task, rec->tasks[0]);

    EXPECT_EQ(1, task->Stop());
    EXPECT_EQ(0, task->IsStarted());
    EXPECT_EQ(0, task->Stop());
    task->Release();
    rec->Release();
}

TEST(Task, RefusedPushes) {
    Recorder* rec = new Recorder;
    CScopeCall call = RecordCall(rec, 1);
    // Not on a task thread: the overloads without a task have none.
    EXPECT_EQ(nullptr, CVNTaskBase::GetCurrentTask());
    EXPECT_EQ(0u, CVNTaskBase::PushTask(call));
    EXPECT_EQ(0u, CVNTaskBase::PushTask(nullptr, call));
    EXPECT_EQ(0u, CVNTaskBase::PushDelayTask(call, 10, etask_once));
    EXPECT_EQ(0, CVNTaskBase::CancelTask(5));

    // A call without a target is refused, never run.
    CVNTaskBase* task = new CVNTaskBase("Refuse", 50, 1);
    IntArg* arg = new IntArg(1);
    CScopeCall noTarget(nullptr, rec, &Recorder::Record, arg);
    EXPECT_EQ(2, arg->RefCount());
    EXPECT_EQ(0u, CVNTaskBase::PushTask(task, noTarget));
    EXPECT_EQ(0u, CVNTaskBase::PushDelayTask(task, noTarget, 0, etask_repeat));
    EXPECT_EQ(0, CVNTaskBase::CancelTask(task, 0));
    EXPECT_EQ(2, arg->RefCount());  // nothing kept
    arg->Release();
    ASSERT_EQ(1, task->Start());
    EXPECT_EQ(1u, CVNTaskBase::PushTask(task, call));  // the first id: nothing was queued
    ASSERT_TRUE(rec->Wait(1));
    EXPECT_EQ(std::vector<int>{1}, rec->Values());
    task->Release();
    rec->Release();
}
