// Internal header (not installed): the timer manager behind CVNTimer.
// Queued timer calls hold the manager (a CRefCountSafe), and the manager holds only a
// plain pointer to its owner's OnTimer interface, which the owner's destructor clears: a
// call that runs after the owner died reaches no owner.
//
// Thread safety: confined to the owner's task thread, like CVNTimer; only the reference
// count is touched elsewhere (by the task queue).
#pragma once

#include "common/vnmap.h"
#include "task/vnrefcount.h"

class CVNTaskBase;
class CVNTimerBase;

// The argument of a timer's repeating call: which timer it fires.
struct CVNRealTimerArg : public CRefCount {
    explicit CVNRealTimerArg(unsigned int id) : m_uTimerId(id) {}
    unsigned int m_uTimerId;
};

class CVNRealTimer : public CRefCountSafe {
public:
    explicit CVNRealTimer(CVNTimerBase* owner) : m_pOwner(owner) {}
    // Releases the task references of the entries still armed.
    ~CVNRealTimer() override;

    // Cancels an earlier arming of id, then queues a repeating call every elapse ms on
    // task. The entry is recorded even when the push fails; returns whether it succeeded.
    unsigned char SetTimer(CVNTaskBase* task, unsigned int elapse, unsigned int id);
    // One id, or all for 0xFFFFFFFF (ascending). 1 when something was disarmed.
    unsigned char KillTimer(unsigned int id);
    void ClearOwner() { m_pOwner = nullptr; }
    unsigned int ArmedCount() const { return m_timers.size(); }

    // The bound call: OnTimer(id) on the owner when the timer is armed by this very
    // arming. 1 (logged, nothing called) when it is not, else 0.
    int Fire(CRefCount* arg);

    CRefCount* SafeInstance() override { return this; }
    unsigned char IsValid() override { return 1; }

private:
    struct TimerEntry {
        CVNTaskBase* task;           // one reference held
        unsigned int taskId;         // the repeating delayed task; 0 when the push failed
        unsigned int elapse;         // its period, ms
        const CVNRealTimerArg* arg;  // identifies this arming (not counted)
    };
    void Disarm(TimerEntry& e);

    vnstl::map<unsigned long, TimerEntry> m_timers;  // no lock: confined to one thread
    CVNTimerBase* m_pOwner;                          // not owned; null once the owner died
};
