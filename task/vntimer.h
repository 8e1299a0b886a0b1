// Public header (part of vnbase.h).
// Timers on a task thread: an object derived from CVNTimer arms numbered timers with
// SetTimer and receives OnTimer(id) on its task thread every elapse milliseconds until it
// kills them or is destroyed. The first SetTimer binds the object to the calling task
// thread for good.
//
// Thread safety: confined to one thread. SetTimer, KillTimer, OnTimer and the destructor
// all happen on the timer's task thread (SetTimer refuses other threads with a log line;
// debug builds assert it in KillTimer and the destructor). Destroying a CVNTimer with
// timers armed is safe: no OnTimer reaches it afterwards.
//   class CConn : public CVNTimer { void OnTimer(unsigned int id) override; };
//   conn->SetTimer(2000, kTimerIdle);                 // on its task thread
//   conn->KillTimer(0xFFFFFFFF);                      // all of them
#pragma once

#include "common/vnexport.h"

class CVNTaskBase;
class CVNRealTimer;

// Receives timer calls. Not deleted through this base.
class VN_EXPORT CVNTimerBase {
public:
    virtual void OnTimer(unsigned int id) = 0;

protected:
    ~CVNTimerBase() {}
};

class VN_EXPORT CVNTimer : public CVNTimerBase {
public:
    // Creates the timer manager; no task thread yet.
    CVNTimer();
    // Kills every timer (when a task thread is set), detaches the manager from this object
    // and releases it, then the task thread. Calls already queued find no owner and do
    // nothing; their cancellation removes them at the worker's next iteration.
    virtual ~CVNTimer();
    CVNTimer(const CVNTimer&) = delete;
    CVNTimer& operator=(const CVNTimer&) = delete;

    // Called on the task thread with the id of a timer that fell due.
    void OnTimer(unsigned int id) override = 0;

    // Arms (or re-arms: the earlier arming is cancelled) timer id to call OnTimer(id)
    // every elapse ms, the first time elapse ms from now, later elapse ms after the
    // previous OnTimer returned. 1 when armed; 0 (logged) without a task thread, from a
    // thread other than the timer's, or when the task refused the push.
    unsigned char SetTimer(unsigned int elapse, unsigned int id);
    // Disarms timer id, or every timer for 0xFFFFFFFF. 1 when a timer was disarmed;
    // 0 when none was armed (or before the first SetTimer).
    unsigned char KillTimer(unsigned int id);

private:
    CVNRealTimer* m_pTimerManager;  // owned (creation reference); queued calls share it
    CVNTaskBase* m_pTask;           // one reference held; null until the first SetTimer
};
