// Delayed and repeating tasks: due-time order, cancellation, targets that died, and the
// id space.
#include <gtest/gtest.h>

#include <chrono>
#include <vector>

#include "task/vntask.h"
#include "task/vntaskqueue_internal.h"
#include "task_test_util.h"

using namespace tasktest;
using vn::detail::DueTime;
using vn::detail::TaskEntry;

TEST(Delayed, OrderAgainstImmediateTasksAndDueTimes) {
    CVNTaskBase* task = new CVNTaskBase("Zero", 50, 1);
    Recorder* rec = new Recorder;
    CVNTaskBase::PushTask(task, RecordCall(rec, 1));
    CVNTaskBase::PushDelayTask(task, RecordCall(rec, 2), 0, etask_once);
    CVNTaskBase::PushDelayTask(task, RecordCall(rec, 3), -5, etask_once);
    CVNTaskBase::PushTask(task, RecordCall(rec, 4));
    auto start = std::chrono::steady_clock::now();
    CVNTaskBase::PushDelayTask(task, RecordCall(rec, 7), 120, etask_once);
    CVNTaskBase::PushDelayTask(task, RecordCall(rec, 5), 20, etask_once);
    CVNTaskBase::PushDelayTask(task, RecordCall(rec, 6), 20, etask_once);  // equal: push order
    ASSERT_EQ(1, task->Start());
    ASSERT_TRUE(rec->Wait(7));
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(120));
    // Each iteration: one immediate task, then the earliest due delayed one.
    EXPECT_EQ((std::vector<int>{1, 3, 4, 2, 5, 6, 7}), rec->Values());
    DueTime t;
    t.sec = 1000;
    t.usec = 700000;
    EXPECT_EQ(-800000, t.UsecUntil(t.Plus(-800)));     // borrows across the second
    EXPECT_EQ(864001000, t.Plus(864000000000LL).sec);  // beyond 32-bit milliseconds
    task->Release();
    rec->Release();
}

TEST(Cancel, BeforeDueFromInsideAndManyAtOnce) {
    CVNTaskBase* task = new CVNTaskBase("Cancel", 50, 1);
    Recorder* rec = new Recorder;
    IntArg* arg = new IntArg(-1);
    unsigned int id = CVNTaskBase::PushDelayTask(task, CScopeCall(rec, rec, &Recorder::Record, arg),
                                                 20, etask_once);
    unsigned int imm = CVNTaskBase::PushTask(task, RecordCall(rec, -2));
    EXPECT_EQ(1, CVNTaskBase::CancelTask(task, id));
    EXPECT_EQ(1, CVNTaskBase::CancelTask(task, imm));
    EXPECT_EQ(1, CVNTaskBase::CancelTask(task, 12345));  // never existed: ignored
    // Enough delayed tasks to grow the id index, every other one cancelled.
    constexpr int kCount = 3000;
    std::vector<unsigned int> ids;
    for (int i = 0; i < kCount; ++i)
        ids.push_back(CVNTaskBase::PushDelayTask(task, RecordCall(rec, i), -1, etask_once));
    for (int i = 1; i < kCount; i += 2)
        CVNTaskBase::CancelTask(task, ids[static_cast<size_t>(i)]);
    // A repeating task that cancels itself in its third run.
    int runs = 0;
    unsigned int selfId = 0;
    ASSERT_EQ(1, task->Start());
    ASSERT_TRUE(RunOn(task, [&] {
        selfId = CVNTaskBase::PushDelayTask(MakeCall([&] {
                                                if (++runs != 3) return;
                                                CVNTaskBase::CancelTask(selfId);
                                                // Due well after the run that would come next.
                                                CVNTaskBase::PushDelayTask(RecordCall(rec, -7), 50,
                                                                           etask_once);
                                            }),
                                            1, etask_repeat);
    }));
    ASSERT_TRUE(rec->Wait(0, -7));
    std::vector<int> expected;
    for (int i = 0; i < kCount; i += 2)
        expected.push_back(i);
    expected.push_back(-7);
    EXPECT_EQ(expected, rec->Values());
    EXPECT_EQ(3, runs);
    EXPECT_EQ(1, arg->RefCount());  // the cancelled entry released its argument
    arg->Release();
    task->Release();
    rec->Release();
}

TEST(Repeat, RunsAgainUntilItsTargetDied) {
    // The owner dies in its second run without cancelling; a marker due well after the next
    // run shows whether the entry ran again.
    struct Owner;
    typedef CScopeHolder<Owner, 0, CRefCountSafe> OwnerHolder;
    struct Owner {
        OwnerHolder* holder = new OwnerHolder(this);
        Recorder* rec = nullptr;
        int ticks = 0;
        int Tick(CRefCount*) {
            if (++ticks < 2) return 0;
            CVNTaskBase::PushDelayTask(RecordCall(rec, 1), 50, etask_once);
            holder->Clear();
            holder->Release();
            delete this;
            return 0;
        }
    };
    CVNTaskBase* task = new CVNTaskBase("Drop", 50, 1);
    Owner* owner = new Owner;
    OwnerHolder* holder = owner->holder;
    holder->AddRef();
    Recorder* rec = owner->rec = new Recorder;
    CVNTaskBase::PushDelayTask(task, CScopeCall(holder, owner, &Owner::Tick), 1, etask_repeat);
    ASSERT_EQ(1, task->Start());
    ASSERT_TRUE(rec->Wait(1));
    ASSERT_TRUE(RunOn(task, [] {}));
    EXPECT_EQ((std::vector<int>{1}), rec->Values());
    EXPECT_EQ(1, holder->RefCount());  // the entry was dropped with the owner
    holder->Release();
    task->Release();
    rec->Release();
}

namespace {
unsigned int PushImm(vn::detail::TaskQueue& q, Recorder* rec) {
    CScopeCall call = RecordCall(rec, 0);
    return q.PushImmediate(call);
}
unsigned int PushDel(vn::detail::TaskQueue& q, Recorder* rec) {
    TaskEntry* e = new TaskEntry(RecordCall(rec, 0));
    e->due = DueTime::Now().Plus(100000);
    unsigned int id = q.PushDelayed(e);
    if (id == 0) delete e;
    return id;
}
}  // namespace

TEST(TaskQueueIds, SkipIdsInUseAfterTheWrapAndRefuseWhenFull) {
    Recorder* rec = new Recorder;
    {
        vn::detail::TaskQueue q("ids");
        q.nextId = 0xFFFFFFFEu;
        EXPECT_EQ(0xFFFFFFFEu, PushImm(q, rec));
        EXPECT_EQ(0xFFFFFFFFu, PushDel(q, rec));
        EXPECT_EQ(1u, PushImm(q, rec));  // 0 is skipped
        EXPECT_EQ(2u, PushDel(q, rec));
        EXPECT_EQ(3u, PushImm(q, rec));
        // Once round: the pending immediate range (0xFFFFFFFE..3) and delayed ids are skipped.
        q.nextId = 0xFFFFFFFDu;
        EXPECT_EQ(0xFFFFFFFDu, PushDel(q, rec));
        EXPECT_EQ(4u, PushImm(q, rec));
        EXPECT_EQ(5u, PushDel(q, rec));
        // Once the immediate tasks have gone, their range is free again.
        while (vn::detail::ImmediateTask* t = q.NextReady())
            t->Empty();  // as if it had run
        std::vector<CRefCount*> unlent;
        EXPECT_EQ(nullptr, q.Collect(&unlent));
        for (CRefCount* r : unlent)
            r->Release();
        q.nextId = 0xFFFFFFFEu;
        EXPECT_EQ(0xFFFFFFFEu, PushImm(q, rec));
        EXPECT_EQ(1u, PushImm(q, rec));  // 0xFFFFFFFF is still a delayed task
    }
    {
        vn::detail::TaskQueue q("full");
        q.immPushed = 0x7FFFFFFDu;  // stands for that many tasks in use
        EXPECT_NE(0u, PushImm(q, rec));
        EXPECT_EQ(0u, PushDel(q, rec));
        EXPECT_EQ(0u, PushImm(q, rec));
    }
    EXPECT_EQ(1, rec->RefCount());  // the queue released every task it still held
    rec->Release();
}
