// CHttpClientThread: the life of one HTTP client's thread (see
// vnhttpclientthread_internal.h).
#include "http/client/vnhttpclientthread_internal.h"

#include <new>

#include "fevent/vntaskio.h"

CHttpClientThread::CHttpClientThread()
    : m_pTask(nullptr), m_pStopping(nullptr), m_pRetired(nullptr) {}

CHttpClientThread::~CHttpClientThread() {
    JoinRetired();
    // Left only when destroyed on the retired thread itself: that worker ends after its
    // current task, and the task object is freed when it does.
    if (m_pRetired != nullptr) m_pRetired->Release();
}

bool CHttpClientThread::IsCurrent() const {
    CVNTaskBase* current = CVNTaskBase::GetCurrentTask();
    CVNAutolock guard(m_taskLock);
    return current != nullptr &&
           (current == m_pTask || current == m_pRetired || current == m_pStopping);
}

void CHttpClientThread::JoinRetired() {
    CVNTaskIO* retired;
    {
        CVNAutolock guard(m_taskLock);
        retired = m_pRetired;
        if (retired == nullptr || CVNTaskBase::GetCurrentTask() == retired) return;
        m_pRetired = nullptr;
    }
    retired->Stop();  // waits until its worker has ended
    retired->Release();
}

CVNTaskIO* CHttpClientThread::Acquire() {
    // A shutdown in progress on another thread still resets the client's state: the new
    // thread is made (and its first request runs) only after it.
    if (IsCurrent()) return AcquireLocked();
    CVNAutolock wait(m_shutdownLock);
    return AcquireLocked();
}

CVNTaskIO* CHttpClientThread::AcquireLocked() {
    JoinRetired();
    CVNAutolock guard(m_taskLock);
    if (m_pTask == nullptr) {
        CVNTaskIO* task = new (std::nothrow) CVNTaskIO("HttpClient", 50, 1);
        if (task == nullptr) return nullptr;
        if (!task->Start()) {
            task->Release();
            return nullptr;
        }
        m_pTask = task;
    }
    m_pTask->AddRef();
    return m_pTask;
}

bool CHttpClientThread::Shutdown(const std::function<bool()>& bWanted,
                                 const std::function<void()>& fnReset) {
    // On a thread of the client, a shutdown that another thread has begun may be waiting
    // for this very thread: that one does the work once this thread has ended.
    if (IsCurrent()) {
        if (!m_shutdownLock.Try()) return false;
    } else {
        m_shutdownLock.Lock();
    }
    if (!bWanted()) {
        m_shutdownLock.Unlock();
        return false;
    }
    CVNTaskIO* task;
    {
        CVNAutolock guard(m_taskLock);
        task = m_pTask;
        m_pTask = nullptr;
        m_pStopping = task;
    }
    // From another thread this waits for the worker, so the reset below runs alone; on the
    // worker itself the loop ends after the current task, and the task is kept until
    // another thread can wait for it.
    bool self = task != nullptr && CVNTaskBase::GetCurrentTask() == task;
    if (task != nullptr) task->Stop();
    if (!self) JoinRetired();
    fnReset();
    CVNTaskIO* older = nullptr;
    {
        CVNAutolock guard(m_taskLock);
        m_pStopping = nullptr;
        if (self) {
            older = m_pRetired;
            m_pRetired = task;
        }
    }
    if (older != nullptr) older->Release();  // not running: its worker retired earlier
    if (!self && task != nullptr) task->Release();
    m_shutdownLock.Unlock();
    return true;
}
