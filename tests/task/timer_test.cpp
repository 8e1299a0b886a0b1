// Timers: re-arming, stale armings, killing, confinement and destruction with timers armed.
// Nothing here sleeps to prove an absence: each test waits for a later timer on the same
// thread (delayed tasks run in due-time order) and then checks the counts.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <map>

#include "base/vnevent.h"
#include "task/vntimer.h"
#include "task_test_util.h"

using namespace tasktest;

namespace {

// Counts OnTimer calls per id (worker only) into a map that may outlive it.
class Probe : public CVNTimer {
public:
    explicit Probe(std::map<unsigned int, int>* counts) : m_counts(counts) {}
    void OnTimer(unsigned int id) override {
        ++(*m_counts)[id];
        if (onTimer) onTimer(id);
    }
    std::function<void(unsigned int)> onTimer;
    std::map<unsigned int, int>* m_counts;
};

struct Timer : public ::testing::Test {
    void SetUp() override { ASSERT_EQ(1, task->Start()); }
    void TearDown() override { task->Release(); }
    // Runs fn on the worker, waits for the timer that posts done, checks the counts.
    void Run(std::function<void()> fn, std::map<unsigned int, int> expected) {
        ASSERT_TRUE(RunOn(task, fn));
        ASSERT_TRUE(done.Wait(kWaitMs));
        ASSERT_TRUE(RunOn(task, [&] {
            EXPECT_EQ(expected, counts);
            delete p;
        }));
    }
    // On the worker: a probe whose timer `last` posts done and kills every timer.
    Probe* NewProbe(unsigned int last) {
        p = new Probe(&counts);
        p->onTimer = [this, last](unsigned int id) {
            if (id == last) p->KillTimer(0xFFFFFFFFu), done.Post();
        };
        return p;
    }
    CVNTaskBase* task = new CVNTaskBase("Timers", 50, 1);
    CVNEvent done;
    std::map<unsigned int, int> counts;
    Probe* p = nullptr;
};

}  // namespace

// Besides: probes destroyed inside OnTimer or with timers armed; their timers never fire.
TEST_F(Timer, RearmKillRepeatAndDestroy) {
    std::map<unsigned int, int> dead;
    Run(
        [&] {
            Probe* inside = new Probe(&dead);
            inside->onTimer = [&, inside](unsigned int id) {
                if (id == 1) delete inside;  // the running call keeps the manager alive
            };
            inside->SetTimer(5, 1);
            inside->SetTimer(5, 2);  // must never fire afterwards
            Probe* doomed = new Probe(&dead);
            doomed->SetTimer(0, 3);
            doomed->SetTimer(10, 4);
            delete doomed;
            NewProbe(9);
            EXPECT_EQ(0, p->KillTimer(0xFFFFFFFFu));  // nothing armed yet
            EXPECT_EQ(1, p->SetTimer(10, 3));
            EXPECT_EQ(1, p->KillTimer(0xFFFFFFFFu));
            EXPECT_EQ(1, p->SetTimer(20, 7));
            EXPECT_EQ(1, p->SetTimer(20, 7));   // replaces the first arming
            EXPECT_EQ(1, p->SetTimer(10, 5));   // fires repeatedly until killed
            EXPECT_EQ(1, p->SetTimer(150, 9));  // due after the rest
            auto first = p->onTimer;
            p->onTimer = [this, first](unsigned int id) {
                if (id == 7 || (id == 5 && counts[5] == 3)) p->KillTimer(id);
                EXPECT_EQ(task, CVNTaskBase::GetCurrentTask());
                first(id);
            };
        },
        {{5, 3}, {7, 1}, {9, 1}});
    EXPECT_EQ((std::map<unsigned int, int>{{1, 1}}), dead);
}

TEST_F(Timer, StaleArmingInTheSameIterationDoesNotFire) {
    // Iteration k arms 7 with elapse 0 and queues the re-arming task; an overdue no-op
    // takes iteration k's delayed pass (arming 7 may be due within the same microsecond).
    // Iteration k+1: the re-arming task runs first and cancels the old arming, which is
    // due and runs in that same iteration's delayed pass: it must not reach OnTimer.
    struct Rearm : public CRefCountSafe {
        Probe* p = nullptr;
        int Noop(CRefCount*) { return 0; }
        int Run(CRefCount*) { return p->SetTimer(100000, 7), p->SetTimer(30, 9), 0; }
    };
    Rearm* r = new Rearm;
    // A far-off delayed task, so that the thread has delayed work at every iteration.
    CVNTaskBase::PushDelayTask(task, CScopeCall(r, r, &Rearm::Noop), 1000000, etask_once);
    Run(
        [&] {
            r->p = NewProbe(9);
            CVNTaskBase::PushDelayTask(CScopeCall(r, r, &Rearm::Noop), -1000, etask_once);
            EXPECT_EQ(1, p->SetTimer(0, 7));
            CVNTaskBase::PushTask(CScopeCall(r, r, &Rearm::Run));
        },
        {{9, 1}});
    r->Release();
}

// A time-out re-armed again and again with its own period (as a connection re-arms it after
// each exchange) fires a whole period after the last re-arming, never before. (9 is due
// between its first and its second firing, which cannot come sooner than a period after
// the first ran.)
TEST_F(Timer, RearmedWithItsPeriodFiresAPeriodPastTheLastRearming) {
    using Clock = std::chrono::steady_clock;
    Clock::time_point lastRearm, fired;
    Run(
        [&] {
            NewProbe(9);
            auto last = p->onTimer;
            p->onTimer = [&, last](unsigned int id) {
                if (id == 5) {
                    EXPECT_EQ(1, p->SetTimer(40, 7));
                    lastRearm = Clock::now();
                    if (counts[5] == 5) p->KillTimer(5), p->SetTimer(60, 9);
                }
                if (id == 7) fired = Clock::now();
                last(id);
            };
            EXPECT_EQ(1, p->SetTimer(40, 7));
            EXPECT_EQ(1, p->SetTimer(10, 5));
        },
        {{5, 5}, {7, 1}, {9, 1}});
    EXPECT_GE(std::chrono::duration_cast<std::chrono::microseconds>(fired - lastRearm).count(),
              39000);
}

TEST_F(Timer, NeedsItsOwnTaskThread) {
    Probe off(&counts);  // made off any task thread
    EXPECT_EQ(0, off.SetTimer(10, 1) + off.KillTimer(1));
    ASSERT_TRUE(RunOn(task, [&] { EXPECT_EQ(1, NewProbe(3)->SetTimer(100000, 1)); }));
    EXPECT_EQ(0, p->SetTimer(10, 2));  // from the test's thread
    Run(
        [&] {
            EXPECT_EQ(0, p->KillTimer(2));
            p->SetTimer(10, 3);
        },
        {{3, 1}});
}
