// CVNTimer: numbered timers of one object on its task thread (see vntimer.h).
#include "task/vntimer.h"

#include "base/vnlog.h"
#include "base/vnthread.h"
#include "task/vnrealtimer_internal.h"
#include "task/vntask.h"

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
