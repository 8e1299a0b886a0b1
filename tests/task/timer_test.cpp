// Timers: re-arming, stale armings, killing, confinement and destruction with timers armed.
// Nothing here sleeps to prove an absence: each test waits for a later timer on the same
// thread (delayed tasks run in due-time order) and then checks the counts.
#include <gtest/gtest.h>

#include <functional>
#include <map>

#include "base/vnevent.h"
#include "task/vntask.h"
#include "task/vnrealtimer_internal.h"
#include "task/vntimer.h"
#include "task_test_util.h"

using namespace tasktest;

namespace {

// Counts OnTimer calls per id (worker only) and reacts to them through a hook.
class Probe : public CVNTimer {
public:
    explicit Probe(std::map<unsigned int, int>* counts = nullptr)
        : m_counts(counts != nullptr ? counts : &m_own) {}
    void OnTimer(unsigned int id) override {
        ++(*m_counts)[id];
        if (onTimer) onTimer(id);
    }
    int Count(unsigned int id) { return (*m_counts)[id]; }
    std::function<void(unsigned int)> onTimer;

private:
    std::map<unsigned int, int> m_own;
    std::map<unsigned int, int>* m_counts;
};

struct Fixture : public ::testing::Test {
    void SetUp() override {
        task = new CVNTaskBase("Timers", 50, 1);
        ASSERT_EQ(1, task->Start());
    }
    void TearDown() override { task->Release(); }
    template <class Fn>
    void On(Fn fn) {
        ASSERT_TRUE(RunOn(task, fn));
    }
    // On the worker: a timer due after ms that posts done. Delayed tasks run in due-time
    // order, so once it fired every earlier arming has had its turn.
    Probe* Witness(int ms) {
        Probe* w = new Probe;
        w->onTimer = [this, w](unsigned int) {
            w->KillTimer(0xFFFFFFFFu);
            done.Post();
        };
        w->SetTimer(ms, 1);
        return w;
    }
    CVNTaskBase* task = nullptr;
    CVNEvent done;
};

}  // namespace

typedef Fixture Timer;

TEST_F(Timer, RearmingReplacesTheEarlierArming) {
    Probe* p = nullptr;
    On([&] {
        p = new Probe;
        p->onTimer = [&](unsigned int id) {
            if (id == 7) p->KillTimer(7);
            if (id == 8) done.Post();
        };
        EXPECT_EQ(1, p->SetTimer(20, 7));
        EXPECT_EQ(1, p->SetTimer(20, 7));  // cancels the first arming
        EXPECT_EQ(1, p->SetTimer(60, 8));  // due after both armings of 7
    });
    ASSERT_TRUE(done.Wait(kWaitMs));
    On([&] {
        EXPECT_EQ(1, p->Count(7));
        delete p;
    });
}

TEST_F(Timer, StaleArmingInTheSameIterationDoesNotFire) {
    // Iteration k arms 7 with elapse 0 and queues the re-arming task; an overdue no-op
    // takes iteration k's delayed pass (arming 7 may be due within the same microsecond).
    // Iteration k+1: the re-arming task runs first and cancels the old arming, which is
    // due and runs in that same iteration's delayed pass: it must not reach OnTimer.
    struct Rearm : public CRefCountSafe {
        Probe* p = nullptr;
        int Noop(CRefCount*) { return 0; }
        int Run(CRefCount*) {
            p->SetTimer(100000, 7);
            p->SetTimer(30, 9);
            return 0;
        }
    };
    Rearm* r = new Rearm;
    // A far-off delayed task, so that the thread has delayed work at every iteration.
    CVNTaskBase::PushDelayTask(task, CScopeCall(r, r, &Rearm::Noop), 1000000, etask_once);
    Probe* p = nullptr;
    On([&] {
        p = new Probe;
        p->onTimer = [&](unsigned int id) {
            if (id == 9) done.Post();
        };
        r->p = p;
        CVNTaskBase::PushDelayTask(CScopeCall(r, r, &Rearm::Noop), -1000, etask_once);
        EXPECT_EQ(1, p->SetTimer(0, 7));
        CVNTaskBase::PushTask(CScopeCall(r, r, &Rearm::Run));
    });
    ASSERT_TRUE(done.Wait(kWaitMs));
    On([&] {
        EXPECT_EQ(0, p->Count(7));  // the stale arming never reaches OnTimer
        delete p;
    });
    r->Release();
}

TEST_F(Timer, KillAllAndArmAgain) {
    Probe* p = nullptr;
    On([&] {
        p = new Probe;
        p->onTimer = [&](unsigned int id) {
            if (id == 9) {
                p->KillTimer(9);
                done.Post();
            }
        };
        EXPECT_EQ(0, p->KillTimer(0xFFFFFFFFu));  // nothing armed yet
        for (unsigned int id : {3u, 1u, 2u})
            EXPECT_EQ(1, p->SetTimer(10, id));
        EXPECT_EQ(1, p->KillTimer(0xFFFFFFFFu));
        EXPECT_EQ(0, p->KillTimer(1));
        EXPECT_EQ(1, p->SetTimer(40, 9));  // same object, same thread
    });
    ASSERT_TRUE(done.Wait(kWaitMs));
    On([&] {
        EXPECT_EQ(0, p->Count(1));
        EXPECT_EQ(0, p->Count(2));
        EXPECT_EQ(0, p->Count(3));
        EXPECT_EQ(1, p->Count(9));
        delete p;
    });
}

TEST_F(Timer, DestroyedFromInsideItsOwnOnTimer) {
    Probe* p = nullptr;
    Probe* witness = nullptr;
    std::map<unsigned int, int> counts;
    On([&] {
        p = new Probe(&counts);
        p->onTimer = [&](unsigned int id) {
            if (id == 1) delete p;  // the running call keeps the manager alive
        };
        p->SetTimer(5, 1);
        p->SetTimer(5, 2);                   // must never fire afterwards
        Probe* doomed = new Probe(&counts);  // destroyed at once with timers armed
        doomed->SetTimer(0, 3);
        delete doomed;
        witness = Witness(50);
    });
    ASSERT_TRUE(done.Wait(kWaitMs));
    On([&] {
        EXPECT_EQ(1, counts[1]);
        EXPECT_EQ(0, counts[2]);
        EXPECT_EQ(0, counts[3]);
        delete witness;
    });
}

TEST_F(Timer, NeedsItsOwnTaskThread) {
    Probe off;  // made off any task thread
    EXPECT_EQ(0, off.SetTimer(10, 1));
    EXPECT_EQ(0, off.KillTimer(1));
    Probe* p = nullptr;
    On([&] {
        p = new Probe;
        p->onTimer = [&](unsigned int id) {
            p->KillTimer(id);
            done.Post();
        };
        EXPECT_EQ(1, p->SetTimer(100000, 1));
    });
    EXPECT_EQ(0, p->SetTimer(10, 2));  // from the test's thread
    On([&] {
        // Nothing was armed for 2: arming 3 and waiting for it shows it.
        EXPECT_EQ(0, p->KillTimer(2));
        p->SetTimer(10, 3);
    });
    ASSERT_TRUE(done.Wait(kWaitMs));
    On([&] {
        EXPECT_EQ(0, p->Count(2));
        EXPECT_EQ(1, p->Count(3));
        delete p;
    });
}

TEST_F(Timer, ManagerKeepsOneEntryPerId) {
    On([&] {
        CVNRealTimer* m = new CVNRealTimer(nullptr);
        EXPECT_EQ(1, m->SetTimer(task, 100000, 7));
        EXPECT_EQ(1, m->SetTimer(task, 100000, 7));
        EXPECT_EQ(1, m->SetTimer(task, 100000, 8));
        EXPECT_EQ(2u, m->ArmedCount());
        EXPECT_EQ(3, task->RefCount());  // the creator's and one per entry
        EXPECT_EQ(1, m->KillTimer(7));
        EXPECT_EQ(1u, m->ArmedCount());
        EXPECT_EQ(0, m->KillTimer(7));
        EXPECT_EQ(1, m->KillTimer(0xFFFFFFFFu));
        EXPECT_EQ(0u, m->ArmedCount());
        EXPECT_EQ(1, task->RefCount());
        m->Release();  // the queued (cancelled) calls still hold it
    });
}

TEST_F(Timer, DestroyedWithTimersArmed) {
    std::map<unsigned int, int> deadCounts;
    Probe* witness = nullptr;
    On([&] {
        Probe* doomed = new Probe(&deadCounts);
        EXPECT_EQ(1, doomed->SetTimer(10, 1));
        EXPECT_EQ(1, doomed->SetTimer(0, 2));
        delete doomed;
        witness = Witness(40);
    });
    ASSERT_TRUE(done.Wait(kWaitMs));
    On([&] {
        EXPECT_TRUE(deadCounts.empty());
        delete witness;
    });
    // The cancelled entries released the managers (LeakSanitizer checks at exit too).
}

TEST_F(Timer, FiresRepeatedlyOnItsThread) {
    Probe* p = nullptr;
    unsigned long worker = 0;
    On([&] {
        p = new Probe;
        p->onTimer = [&](unsigned int id) {
            EXPECT_EQ(5u, id);
            worker = vnthread_selfid();
            if (p->Count(5) == 3) {
                p->KillTimer(5);
                done.Post();
            }
        };
        EXPECT_EQ(1, p->SetTimer(10, 5));
    });
    ASSERT_TRUE(done.Wait(kWaitMs));
    On([&] {
        EXPECT_EQ(3, p->Count(5));
        delete p;
    });
    EXPECT_EQ(task->getthreadid(), worker);
}
