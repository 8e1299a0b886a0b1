// CVNTimer and its manager CVNRealTimer (see vntimer.h, vnrealtimer_internal.h).
#include "task/vntimer.h"

#include "base/vnlog.h"
#include "base/vnthread.h"
#include "task/vnrealtimer_internal.h"
#include "task/vnscopecall.h"
#include "task/vntask.h"

CVNRealTimer::~CVNRealTimer() {
    for (auto it = m_timers.begin(); it != m_timers.end(); ++it)
        it->second.task->Release();
}

unsigned char CVNRealTimer::SetTimer(CVNTaskBase* task, unsigned int elapse, unsigned int id) {
    CVNAutolockex guard(m_pLock);
    auto it = m_timers.find(id);
    if (it != m_timers.end()) {
        Disarm(it->second);
        m_timers.erase(it);
    }
    CVNRealTimerArg* arg = new CVNRealTimerArg(id);
    CScopeCall call(SafeInstance(), this, &CVNRealTimer::Fire, arg);
    arg->Release();  // the call (and the queue's copy) keeps it
    unsigned int taskId =
        CVNTaskBase::PushDelayTask(task, call, static_cast<long long>(elapse), etask_repeat);
    task->AddRef();
    m_timers.insert(id, TimerEntry{task, taskId, 0, arg});
    return taskId != 0 ? 1 : 0;
}

unsigned char CVNRealTimer::KillTimer(unsigned int id) {
    CVNAutolockex guard(m_pLock);
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
        CVNAutolockex guard(m_pLock);
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
    if (m_pOwner != nullptr) static_cast<CVNTimerBase*>(m_pOwner)->OnTimer(id);
    return 0;
}

CVNTimer::CVNTimer() : m_pTimerManager(new CVNRealTimer(this)), m_pTask(nullptr) {}

CVNTimer::~CVNTimer() {
    if (m_pTask != nullptr) {
        // Queued calls run on the task thread and read the manager: destroying the owner
        // anywhere else (while that thread runs) would race with them.
        VN_DCHECK(CVNTaskBase::GetCurrentTask() == m_pTask || !m_pTask->IsStarted());
        m_pTimerManager->KillTimer(0xFFFFFFFFu);
    }
    m_pTimerManager->ClearOwner();
    m_pTimerManager->Release();
    m_pTimerManager = nullptr;
    if (m_pTask != nullptr) {
        m_pTask->Release();
        m_pTask = nullptr;
    }
}

unsigned char CVNTimer::SetTimer(unsigned int elapse, unsigned int id) {
    if (m_pTask == nullptr) {
        m_pTask = CVNTaskBase::GetCurrentTask();
        if (m_pTask != nullptr) m_pTask->AddRef();
    }
    if (m_pTask == nullptr) {
        syslog(VN_LOG_ERROR, "Timer", __LINE__, "SetTimer Fail, Task = NULL");
        return 0;
    }
    // Compared by task rather than by thread id: a stopped worker's id may be reused by
    // an unrelated thread.
    if (CVNTaskBase::GetCurrentTask() != m_pTask) {
        syslog(VN_LOG_ERROR, "Timer", __LINE__,
               "SetTimer fail, in other thread curthread[%u] != [%u]", vnthread_selfid(),
               static_cast<unsigned int>(m_pTask->getthreadid()));
        return 0;
    }
    return m_pTimerManager->SetTimer(m_pTask, elapse, id);
}

unsigned char CVNTimer::KillTimer(unsigned int id) {
    if (m_pTask == nullptr) return 0;
    VN_ASSERT_ON_THREAD(m_pTask);
    return m_pTimerManager->KillTimer(id);
}
