// Delayed and repeating tasks, due-time order and cancellation.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/log_capture.h"
#include "task/vntask.h"
#include "task/vntaskqueue_internal.h"
#include "task_test_util.h"

using namespace tasktest;
using vn::detail::DueTime;
using vn::detail::TaskEntry;
using vn::detail::TaskList;

TEST(DueTime, Arithmetic) {
    DueTime t;
    t.sec = 1000;
    t.usec = 700000;
    // Carries and borrows across the second, and spans beyond 32-bit milliseconds.
    const struct {
        long long ms;
        long long sec;
        long long usec;
    } cases[] = {{1500, 1002, 200000}, {0, 1000, 700000},    {299, 1000, 999000},
                 {-800, 999, 900000},  {-2300, 998, 400000}, {864000000000LL, 864001000, 700000}};
    for (const auto& c : cases) {
        DueTime d = t.Plus(c.ms);
        EXPECT_EQ(c.sec, d.sec) << c.ms;
        EXPECT_EQ(c.usec, d.usec) << c.ms;
    }
    EXPECT_EQ(1500000, t.UsecUntil(t.Plus(1500)));
    EXPECT_EQ(-800000, t.UsecUntil(t.Plus(-800)));
    EXPECT_TRUE(t.Plus(1500).After(t));
    EXPECT_FALSE(t.After(t));
}

TEST(DelayedList, EqualDueTimesKeepPushOrder) {
    Recorder* rec = new Recorder;
    std::vector<TaskEntry*> entries;
    TaskList list;
    // Due times (seconds): 5 5 3 5 9 3 7 ; equal times must stay in push order.
    const int due[] = {5, 5, 3, 5, 9, 3, 7};
    for (int i = 0; i < 7; ++i) {
        TaskEntry* e = new TaskEntry(RecordCall(rec, i));
        e->due.sec = due[i];
        e->id = static_cast<unsigned int>(i);
        list.InsertByDue(e);
        entries.push_back(e);
    }
    std::vector<unsigned int> order;
    for (TaskEntry* e = list.head; e != nullptr; e = e->next)
        order.push_back(e->id);
    EXPECT_EQ((std::vector<unsigned int>{2, 5, 0, 1, 3, 6, 4}), order);
    std::vector<unsigned int> backwards;
    for (TaskEntry* e = list.tail; e != nullptr; e = e->prev)
        backwards.push_back(e->id);
    EXPECT_EQ((std::vector<unsigned int>{4, 6, 3, 1, 0, 5, 2}), backwards);
    EXPECT_EQ(7u, list.count);
    list.Remove(entries[0]);
    list.Remove(entries[4]);  // the tail
    list.Remove(entries[2]);  // the head
    order.clear();
    for (TaskEntry* e = list.head; e != nullptr; e = e->next)
        order.push_back(e->id);
    EXPECT_EQ((std::vector<unsigned int>{5, 1, 3, 6}), order);
    EXPECT_EQ(6u, list.tail->id);
    for (TaskEntry* e : entries)
        delete e;
    rec->Release();
}

TEST(Delayed, ZeroDelayRunsAfterTheImmediateTaskOfTheSameIteration) {
    CountingTask* task = new CountingTask("Zero", 50);
    Recorder* rec = new Recorder;
    CVNTaskBase::PushTask(task, RecordCall(rec, 1));
    CVNTaskBase::PushDelayTask(task, RecordCall(rec, 2), 0, etask_once);
    CVNTaskBase::PushDelayTask(task, RecordCall(rec, 3), -5, etask_once);
    CVNTaskBase::PushTask(task, RecordCall(rec, 4));
    ASSERT_EQ(1, task->Start());
    ASSERT_TRUE(rec->WaitCount(4));
    // Iteration 1: immediate 1, then the earliest due delayed task (3, due 5 ms earlier);
    // iteration 2: immediate 4, delayed 2.
    EXPECT_EQ((std::vector<int>{1, 3, 4, 2}), rec->Values());
    task->Release();
    rec->Release();
}

TEST(Delayed, DueTimeOrderAcrossPushOrderAndDelayHonoured) {
    CVNTaskBase* task = new CVNTaskBase("DueOrder", 50, 1);
    Recorder* rec = new Recorder;
    auto start = std::chrono::steady_clock::now();
    CVNTaskBase::PushDelayTask(task, RecordCall(rec, 3), 120, etask_once);
    CVNTaskBase::PushDelayTask(task, RecordCall(rec, 1), 20, etask_once);
    CVNTaskBase::PushDelayTask(task, RecordCall(rec, 2), 40, etask_once);
    ASSERT_EQ(1, task->Start());
    ASSERT_TRUE(rec->WaitCount(3));
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(120));
    EXPECT_EQ((std::vector<int>{1, 2, 3}), rec->Values());
    task->Release();
    rec->Release();
}

TEST(Cancel, BeforeDueNeverRuns) {
    // Cancelled before the worker starts, so certainly not yet run: a delayed task (twice,
    // recorded once), an immediate one, and an id that never existed (ignored).
    CVNTaskBase* task = new CVNTaskBase("CancelDue", 50, 1);
    Recorder* rec = new Recorder;
    IntArg* arg = new IntArg(1);
    unsigned int id = CVNTaskBase::PushDelayTask(task, CScopeCall(rec, rec, &Recorder::Record, arg),
                                                 20, etask_once);
    ASSERT_NE(0u, id);
    unsigned int a = CVNTaskBase::PushTask(task, RecordCall(rec, 3));
    unsigned int b = CVNTaskBase::PushTask(task, RecordCall(rec, 4));
    EXPECT_NE(a, b);
    EXPECT_EQ(1, CVNTaskBase::CancelTask(task, id));
    EXPECT_EQ(1, CVNTaskBase::CancelTask(task, id));
    EXPECT_EQ(1, CVNTaskBase::CancelTask(task, b));
    EXPECT_EQ(1, CVNTaskBase::CancelTask(task, 12345));
    // A later task on the same thread: by the time it runs, the cancelled one would have.
    CVNTaskBase::PushDelayTask(task, RecordCall(rec, 2), 60, etask_once);
    ASSERT_EQ(1, task->Start());
    ASSERT_TRUE(rec->WaitValue(2));
    EXPECT_EQ((std::vector<int>{3, 2}), rec->Values());
    EXPECT_EQ(1, arg->RefCount());  // the cancelled entry released its argument
    arg->Release();
    task->Release();
    rec->Release();
}

TEST(Cancel, IdThatAlreadyRanHasNoEffect) {
    CVNTaskBase* task = new CVNTaskBase("CancelRan", 50, 1);
    ASSERT_EQ(1, task->Start());
    Recorder* rec = new Recorder;
    unsigned int id = CVNTaskBase::PushTask(task, RecordCall(rec, 1));
    ASSERT_TRUE(rec->WaitCount(1));
    EXPECT_EQ(1, CVNTaskBase::CancelTask(task, id));
    // The next ids are new ones and are not touched by the stale cancellation.
    unsigned int next = CVNTaskBase::PushTask(task, RecordCall(rec, 2));
    EXPECT_GT(next, id);
    ASSERT_TRUE(rec->WaitCount(2));
    EXPECT_EQ((std::vector<int>{1, 2}), rec->Values());
    task->Release();
    rec->Release();
}

namespace {
// A repeating task that cancels itself from inside its third run and then arms a marker
// due well after the run that would come next.
struct SelfCancel : public CRefCountSafe {
    unsigned int id = 0;
    int runs = 0;  // worker only
    Recorder* rec = nullptr;
    int Run(CRefCount*) {
        if (++runs == 3) {
            CVNTaskBase::CancelTask(id);
            CVNTaskBase::PushDelayTask(RecordCall(rec, 1), 50, etask_once);
        }
        return 0;
    }
};
}  // namespace

TEST(Cancel, FromInsideARepeatingCall) {
    CVNTaskBase* task = new CVNTaskBase("CancelRepeat", 50, 1);
    SelfCancel* sc = new SelfCancel;
    Recorder* rec = new Recorder;
    sc->rec = rec;
    unsigned int id = 0;
    ASSERT_EQ(1, task->Start());
    ASSERT_TRUE(RunOnTask(task, [&] {
        // Armed from the worker, so the id is known before the first run.
        id = CVNTaskBase::PushDelayTask(CScopeCall(sc, sc, &SelfCancel::Run), 1, etask_repeat);
        sc->id = id;
    }));
    ASSERT_NE(0u, id);
    ASSERT_TRUE(rec->WaitCount(1));
    ASSERT_TRUE(RunOnTask(task, [] {}));
    EXPECT_EQ(3, sc->runs);
    EXPECT_EQ(1, sc->RefCount());  // the cancelled entry is gone
    task->Release();
    sc->Release();
    rec->Release();
}

namespace {
class Owner;
typedef CScopeHolder<Owner, 0, CRefCountSafe> OwnerHolder;
class Owner {
public:
    Owner() : m_pHolder(new OwnerHolder(this)) {}
    ~Owner() {
        m_pHolder->Clear();
        m_pHolder->Release();
    }
    int Tick(CRefCount*) {
        if (++m_nTicks == 2) delete this;  // dies without cancelling its repeating task
        return 0;
    }
    OwnerHolder* m_pHolder;
    int m_nTicks = 0;
};
}  // namespace

TEST(Repeat, DroppedWhenTheTargetDied) {
    vntest::LogClear();
    CVNTaskBase* task = new CVNTaskBase("Drop", 50, 1);
    Owner* owner = new Owner;
    OwnerHolder* holder = owner->m_pHolder;
    holder->AddRef();
    unsigned int id =
        CVNTaskBase::PushDelayTask(task, CScopeCall(holder, owner, &Owner::Tick), 1, etask_repeat);
    ASSERT_NE(0u, id);
    ASSERT_EQ(1, task->Start());
    char msg[200];
    snprintf(msg, sizeof(msg),
             "object is not valid anymore for task[%d], just remove it! please call CancelTask "
             "when object destroyed....",
             static_cast<int>(id));
    ASSERT_TRUE(vntest::LogWaitFor(msg, kWaitMs));
    ASSERT_TRUE(RunOnTask(task, [] {}));
    EXPECT_EQ(1u, ExactLogCount(msg));
    EXPECT_EQ(1, holder->RefCount());  // the entry was dropped
    // The id is free again only in the sense that the map no longer holds it: a cancel of
    // it is now ignored.
    EXPECT_EQ(1, CVNTaskBase::CancelTask(task, id));
    holder->Release();
    task->Release();
}

TEST(Repeat, RunsAgainAfterEachDelay) {
    CVNTaskBase* task = new CVNTaskBase("Repeat", 50, 1);
    ASSERT_EQ(1, task->Start());
    Recorder* rec = new Recorder;
    auto start = std::chrono::steady_clock::now();
    unsigned int id = CVNTaskBase::PushDelayTask(task, RecordCall(rec, 1), 15, etask_repeat);
    ASSERT_TRUE(rec->WaitCount(4));
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(60));
    EXPECT_EQ(1, CVNTaskBase::CancelTask(task, id));
    ASSERT_TRUE(RunOnTask(task, [] {}));  // the cancel pass ran
    size_t runs = rec->Values().size();
    CVNTaskBase::PushDelayTask(task, RecordCall(rec, 2), 60, etask_once);
    ASSERT_TRUE(rec->WaitValue(2));
    EXPECT_EQ(runs, rec->Count(1));  // no run after the cancellation
    task->Release();
    rec->Release();
}

namespace {
// Queues a call of rec, immediate or delayed (far off), on q; returns its id.
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
        // Pretend the ids went once round: the pending immediate range (0xFFFFFFFE..3,
        // cyclic) and the delayed ids are skipped.
        q.nextId = 0xFFFFFFFDu;
        EXPECT_EQ(0xFFFFFFFDu, PushDel(q, rec));
        EXPECT_EQ(4u, PushImm(q, rec));
        EXPECT_EQ(5u, PushDel(q, rec));
        EXPECT_EQ(4u, q.pending.count);
        EXPECT_EQ(4u, q.delayed.count);
        EXPECT_EQ(9, rec->RefCount());
        // Once the immediate tasks have gone, their range is free again.
        EXPECT_EQ(nullptr, q.Refill());
        EXPECT_EQ(4u, q.ready.count);
        while (vn::detail::ImmediateTask* t = q.NextReady())
            t->call = CScopeCall();  // as if it had run
        EXPECT_EQ(nullptr, q.Refill());
        EXPECT_FALSE(q.immAny);
        EXPECT_EQ(5, rec->RefCount());
        q.nextId = 0xFFFFFFFEu;
        EXPECT_EQ(0xFFFFFFFEu, PushImm(q, rec));
        EXPECT_EQ(1u, PushImm(q, rec));  // 0xFFFFFFFF is still a delayed task
    }
    {
        vn::detail::TaskQueue q("full");
        q.readyMoved = 0x7FFFFFFDu;  // stands for that many tasks in use
        EXPECT_NE(0u, PushImm(q, rec));
        EXPECT_EQ(0u, PushDel(q, rec));  // 1 + 1 + 0x7FFFFFFD ids in use: full
        EXPECT_EQ(0u, PushImm(q, rec));
        EXPECT_EQ(0u, q.delayed.count);
        EXPECT_EQ(1u, q.pending.count);
    }
    EXPECT_EQ(1, rec->RefCount());  // the queue released every task it still held
    rec->Release();
}

TEST(Cancel, ManyDelayedTasksEveryOtherCancelled) {
    // Enough delayed tasks to make the id index grow, and shrink again as they go.
    CVNTaskBase* task = new CVNTaskBase("CancelMany", 50, 1);
    Recorder* rec = new Recorder;
    constexpr int kCount = 3000;
    std::vector<unsigned int> ids;
    for (int i = 0; i < kCount; ++i)
        ids.push_back(CVNTaskBase::PushDelayTask(task, RecordCall(rec, i), -1, etask_once));
    for (int i = 1; i < kCount; i += 2)
        EXPECT_EQ(1, CVNTaskBase::CancelTask(task, ids[static_cast<size_t>(i)]));
    CVNTaskBase::PushDelayTask(task, RecordCall(rec, -7), 0, etask_once);
    ASSERT_EQ(1, task->Start());
    ASSERT_TRUE(rec->WaitValue(-7));
    std::vector<int> expected;
    for (int i = 0; i < kCount; i += 2)
        expected.push_back(i);
    expected.push_back(-7);
    EXPECT_EQ(expected, rec->Values());
    task->Release();
    rec->Release();
}
