// CVNRealTimer: the timer manager behind CVNTimer (see vnrealtimer_internal.h). Runs on
// the owner's task thread only.
#include "task/vnrealtimer_internal.h"

#include "base/vnlog.h"
#include "task/vnscopecall.h"
#include "task/vntask.h"
#include "task/vntimer.h"

CVNRealTimer::~CVNRealTimer() {
    for (auto it = m_timers.begin(); it != m_timers.end(); ++it)
        it->second.task->Release();
}

unsigned char CVNRealTimer::SetTimer(CVNTaskBase* task, unsigned int elapse, unsigned int id) {
    auto it = m_timers.find(id);
    if (it != m_timers.end()) {
        // A time-out re-armed with its own period on its own thread (a connection's, after
        // each exchange) moves its queued task instead: no cancellation for the worker to
        // apply, no new task. The arming stays the same, so nothing can fire in between.
        TimerEntry& e = it->second;
        if (e.task == task && e.taskId != 0 && e.elapse == elapse &&
            CVNTaskBase::GetCurrentTask() == task &&
            CVNTaskBase::RearmDelayTask(task, e.taskId, static_cast<long long>(elapse))) {
            return 1;
        }
        Disarm(e);
        m_timers.erase(it);
    }
    CVNRealTimerArg* arg = new CVNRealTimerArg(id);
    CScopeCall call(SafeInstance(), this, &CVNRealTimer::Fire, arg);
    arg->Release();  // the call (and the queue's copy) keeps it
    unsigned int taskId =
        CVNTaskBase::PushDelayTask(task, call, static_cast<long long>(elapse), etask_repeat);
    task->AddRef();
    m_timers.insert(id, TimerEntry{task, taskId, elapse, arg});
    return taskId != 0 ? 1 : 0;
}

unsigned char CVNRealTimer::KillTimer(unsigned int id) {
    if (id == 0xFFFFFFFFu) {
        if (m_timers.empty()) return 0;
        for (auto it = m_timers.begin(); it != m_timers.end(); ++it)
            Disarm(it->second);
        m_timers.clear();
        return 1;
    }
    auto it = m_timers.find(id);
    if (it == m_timers.end()) return 0;
    Disarm(it->second);
    m_timers.erase(it);
    return 1;
}

void CVNRealTimer::Disarm(TimerEntry& e) {
    if (e.taskId != 0) CVNTaskBase::CancelTask(e.task, e.taskId);
    e.task->Release();
    e.task = nullptr;
}

int CVNRealTimer::Fire(CRefCount* a) {
    const CVNRealTimerArg* arg = static_cast<const CVNRealTimerArg*>(a);
    unsigned int id = arg->m_uTimerId;
    {
        auto it = m_timers.find(id);
        // An arming that was killed or replaced can still fire once within the iteration
        // that cancelled it; it must not reach the owner (a re-armed time-out would fire
        // early).
        if (it == m_timers.end() || it->second.arg != arg) {
            syslog(VN_LOG_NOTICE, "Timer", __LINE__, "Timer not Exist [%u]", id);
            return 1;
        }
    }
    // OnTimer may kill timers or destroy the owner; nothing here is touched afterwards
    // (the running call keeps this manager alive).
    if (m_pOwner != nullptr) m_pOwner->OnTimer(id);
    return 0;
}
