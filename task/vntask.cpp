// CVNTaskBase: the task thread (see vntask.h).
//
// Lifetime of the worker: Start creates it while holding m_lifeLock and stores the record
// under the same lock; the worker takes that lock once before it runs anything, so a task
// that calls Stop on its own thread always finds the record. A worker that stops itself
// cannot wait for its own end: its record moves to m_hRetired and whoever next starts,
// stops or destroys the task from another thread waits for it there, so two workers never
// run at once and the object never dies under a running worker.
//
// Waking: a pusher calls WakeUp only when m_bIdle is set. The worker sets m_bIdle and
// then checks for work under the queue lock; a push either happens before that check (and
// is seen) or takes the lock after it, and then sees m_bIdle set (the lock orders both),
// so no push is ever left waiting for the idle interval, and a pusher that finds the
// worker busy makes no system call at all. The worker pays one uncontended lock on its way
// to sleep; a push pays no fence of its own.
#include "task/vntask.h"

#include <climits>

#include "base/vnlog.h"
#include "task/vntaskqueue_internal.h"

using vn::detail::DueTime;
using vn::detail::ImmediateTask;
using vn::detail::TaskEntry;
using vn::detail::TaskLockGuard;
using vn::detail::TaskQueue;

namespace {

void DeleteChain(TaskEntry* e) {
    while (e != nullptr) {
        TaskEntry* next = e->next;
        delete e;  // releases the call's target and argument
        e = next;
    }
}

// Releases references the queue let go of (TaskQueue::TakeUnlent); without the queue lock,
// since a destructor may push or cancel.
void ReleaseEach(const std::vector<CRefCount*>& refs) {
    for (CRefCount* r : refs)
        r->Release();
}

// How long an idle worker that has been running pushed tasks watches for the next push
// before it sleeps: about half a microsecond (a pause takes about 10 ns on current x86
// cores). Long enough to catch the next push of a steady stream (one every 100-200 ns), so
// such a stream never pays for a wake-up. Not longer: on a machine with few cores the
// thread that is to push next (or to answer) may be waiting for this very core, and a
// longer spin (2 us and more) measurably delayed both the answer and the next wake-up of
// the idle thread.
constexpr int kIdleSpins = 48;

int SelfId() {
    return static_cast<int>(vnthread_selfid());
}

}  // namespace

CVNTaskBase::CVNTaskBase(const char* name, int idleMs, ethread_priority prio)
    : m_nPriority(prio),
      m_uThreadId(0),
      m_hThread(nullptr),
      m_hRetired(nullptr),
      m_pQueue(new TaskQueue(name)),
      m_nIdleInterval(idleMs < 0 ? 0 : idleMs),
      m_bStopRequested(false),
      m_bIdle(false),
      m_bDeleteOnExit(false),
      m_bInLoop(false) {
    if (name != nullptr) {
        syslog(VN_LOG_NOTICE, "task", __LINE__, "create a Task[%s]", name);
    } else {
        syslog(VN_LOG_NOTICE, "task", __LINE__, "create a Task[unname]");
    }
}

CVNTaskBase::~CVNTaskBase() {
    if (GetCurrentTask() == this) {
        // The worker would return into a destroyed object. Release() defers the deletion
        // to the end of the worker instead; only a direct delete gets here.
        vn::detail::fatal(__FILE__, __LINE__, "a task thread is being destroyed by its own worker");
    }
    vnthread_handle running;
    vnthread_handle retired;
    {
        CVNAutolock guard(m_lifeLock);
        running = m_hThread;
        retired = m_hRetired;
        m_hThread = m_hRetired = nullptr;
    }
    if (running != nullptr) JoinWorker(running);
    if (retired != nullptr) vnthread_terminate(retired, -1);
    if (m_pQueue->name.length() != 0) {
        syslog(VN_LOG_NOTICE, "task", __LINE__, "delete a Task[%s][%d]", m_pQueue->name.c_str(),
               static_cast<int>(getthreadid()));
    } else {
        syslog(VN_LOG_NOTICE, "task", __LINE__, "delete a Task[unname][%d]",
               static_cast<int>(getthreadid()));
    }
    delete m_pQueue;  // every entry still queued is destroyed without running
}

unsigned char CVNTaskBase::Release() const {
    if (m_nRefCount.fetch_sub(1, std::memory_order_acq_rel) != 1) return 0;
    if (GetCurrentTask() == this) {
        // The last reference went away inside one of our own tasks (typically with the
        // queued call that held it). Deleting now would pull the queue and the lock from
        // under the running loop; the worker stops instead and deletes the object after
        // its loop ended (ThreadProc).
        m_bDeleteOnExit.store(true, std::memory_order_release);
        m_bStopRequested.store(true, std::memory_order_release);
        return 1;
    }
    delete this;
    return 1;
}

unsigned char CVNTaskBase::Start() {
    for (;;) {
        vnthread_handle retired;
        {
            CVNAutolock guard(m_lifeLock);
            if (m_hThread != nullptr) {
                syslog(VN_LOG_WARNING, "task", __LINE__, "thread[%d] aready started!", SelfId());
                return 0;
            }
            retired = m_hRetired;
            if (retired == nullptr) {
                m_bStopRequested.store(false, std::memory_order_release);
                m_hThread = vnthread_create(&CVNTaskBase::ThreadProc, this, m_nPriority);
                return m_hThread != nullptr ? 1 : 0;
            }
            if (GetCurrentTask() == this) {
                // The worker stopped itself and starts again within the same task: it
                // simply keeps running, unless its loop has already ended (OnStop).
                if (m_bInLoop && !m_bDeleteOnExit.load()) {
                    m_hRetired = nullptr;
                    m_hThread = retired;
                    m_bStopRequested.store(false, std::memory_order_release);
                    return 1;
                }
                syslog(VN_LOG_WARNING, "task", __LINE__, "thread[%d] aready started!", SelfId());
                return 0;
            }
            m_hRetired = nullptr;
        }
        // A worker that stopped itself may still be finishing its last task.
        vnthread_terminate(retired, -1);
    }
}

unsigned char CVNTaskBase::IsStarted() {
    CVNAutolock guard(m_lifeLock);
    return m_hThread != nullptr ? 1 : 0;
}

unsigned char CVNTaskBase::Stop() {
    const bool self = GetCurrentTask() == this;
    vnthread_handle running;
    vnthread_handle retired = nullptr;
    {
        CVNAutolock guard(m_lifeLock);
        running = m_hThread;
        m_hThread = nullptr;
        if (running != nullptr && self) {
            // Waiting here would wait for ourselves: stop after the current task instead.
            m_hRetired = running;
            m_bStopRequested.store(true, std::memory_order_release);
            return 1;
        }
        if (running == nullptr && !self) {
            retired = m_hRetired;
            m_hRetired = nullptr;
        }
    }
    if (running != nullptr) {
        JoinWorker(running);
        return 1;
    }
    // Not started; but a worker that stopped itself may still be ending: after Stop
    // returns, no worker of this task runs.
    if (retired != nullptr) vnthread_terminate(retired, -1);
    syslog(VN_LOG_WARNING, "task", __LINE__, "thread[%d] has not started yet!", SelfId());
    return 0;
}

void CVNTaskBase::JoinWorker(vnthread_handle thread) {
    m_bStopRequested.store(true, std::memory_order_release);
    WakeUp();  // unconditionally: the worker may be in its idle wait
    vnthread_terminate(thread, -1);
}

const char* CVNTaskBase::GetName() const {
    return m_pQueue->name.length() != 0 ? m_pQueue->name.c_str() : nullptr;
}

CVNTaskBase::operator void**() {
    CVNAutolock guard(m_lifeLock);
    return reinterpret_cast<void**>(m_hThread);
}

CVNTaskBase* CVNTaskBase::GetCurrentTask() {
    return static_cast<CVNTaskBase*>(vnthread_getspecific(VN_TLS_KEY_TASK));
}

unsigned int CVNTaskBase::ThreadProc(void* arg) {
    CVNTaskBase* task = static_cast<CVNTaskBase*>(arg);
    const char* name = task->GetName();
    syslog(VN_LOG_NOTICE, "task", __LINE__, "..thread Start..[%s]", name ? name : "");
    task->Runloop();
    syslog(VN_LOG_NOTICE, "task", __LINE__, "..thread Exit..[%s]", name ? name : "");
    // The name pointer belongs to the task, which may be gone soon after.
    if (name != nullptr) vnthread_setname(nullptr);
    vn::detail::thread_setspecific_internal(VN_TLS_KEY_TASK, nullptr);
    if (task->m_bDeleteOnExit.load(std::memory_order_acquire)) {
        // Nobody holds the task any more: let go of our own record (the thread is
        // detached and frees its share when it returns) and delete the object here.
        vnthread_handle own;
        {
            CVNAutolock guard(task->m_lifeLock);
            own = task->m_hThread != nullptr ? task->m_hThread : task->m_hRetired;
            task->m_hThread = task->m_hRetired = nullptr;
        }
        if (own != nullptr) vnthread_closehandle(own);
        delete task;
    }
    return 0;
}

void CVNTaskBase::Runloop() {
    // Start stores the record while holding m_lifeLock; once we get it, the record is set.
    { CVNAutolock wait(m_lifeLock); }
    if (vn::detail::thread_setspecific_internal(VN_TLS_KEY_TASK, this) != 0) {
        syslog(VN_LOG_ERROR, "task", __LINE__, "thread[%d] stop exceptly!", SelfId());
        return;
    }
    const char* name = GetName();
    if (name != nullptr && vnthread_setname(name) != 0) {
        syslog(VN_LOG_ERROR, "task", __LINE__, "thread[%d] stop exceptly!", SelfId());
        return;
    }
    m_uThreadId.store(vnthread_selfid(), std::memory_order_release);
    OnStart();
    m_bInLoop = true;
    while (!m_bStopRequested.load(std::memory_order_acquire) && !vnthread_signaled()) {
        if (Eachloop() != 0) continue;
        if (SpinForWork()) continue;
        m_bIdle.store(true, std::memory_order_relaxed);  // ordered by HasWork's lock
        if (!HasWork() && !m_bStopRequested.load(std::memory_order_acquire)) {
            WaitForWork(static_cast<unsigned int>(m_nIdleInterval));
        }
        m_bIdle.store(false, std::memory_order_relaxed);
    }
    m_bInLoop = false;
    OnStop();
}

bool CVNTaskBase::SpinForWork() {
    // Pushes tend to come in bursts. Watching for the next one for a moment before going
    // to sleep spares the pusher a wake-up (a system call) and the worker a context switch
    // per task when it drains the queue as fast as it is filled. A worker that ran no
    // pushed task since it last went idle (one woken by timers or descriptors) is not
    // being fed, and goes straight to sleep: on its way back to the wait, any delay is on
    // the path of the next event.
    TaskQueue& q = *m_pQueue;
    const bool fed = q.immTaken != q.takenAtIdle;
    q.takenAtIdle = q.immTaken;
    const int limit = fed ? kIdleSpins : 0;
    for (int i = 0;; ++i) {
        if (q.ImmediatePublished(std::memory_order_acquire) ||
            q.pushes.load(std::memory_order_acquire) != q.seenPushes) {
            return true;
        }
        if (i >= limit) return false;
        vn::detail::CpuRelax();
    }
}

unsigned char CVNTaskBase::Eachloop() {
    TaskQueue& q = *m_pQueue;
    // "now" is read before the immediate task runs. Without delayed tasks the clock is not
    // needed; one pushed meanwhile is not due before it was pushed, so it simply waits for
    // the next iteration.
    const bool anyDelayed = q.delayedCount.load(std::memory_order_relaxed) != 0;
    const DueTime now = anyDelayed ? DueTime::Now() : DueTime();
    // Immediate tasks come from the chain without the lock, so pushers rarely meet the
    // worker on it. The lock is taken only to apply cancellations (before the next task is
    // taken, so a cancelled one does not run), to hand used-up blocks back to the pushers
    // (once per 63 tasks) and to look at a delayed push or a cancel; an iteration that
    // finds nothing new costs no lock at all.
    const bool cancelling = q.cancelPending.load(std::memory_order_acquire);
    if (cancelling || q.spare != nullptr ||
        q.pushes.load(std::memory_order_acquire) != q.seenPushes) {
        TaskEntry* cancelled = nullptr;
        std::vector<CScopeCall> dead;
        std::vector<CRefCount*> unlent;
        vn::detail::ImmediateBlock* excess;
        {
            TaskLockGuard guard(q.lock);
            q.seenPushes = q.pushes.load(std::memory_order_relaxed);
            if (!q.cancels.empty()) q.CancelPass(&cancelled, &dead);
            excess = q.Collect(&unlent);
        }
        // Destroyed without the lock: releasing a call's references may run destructors
        // that push or cancel.
        DeleteChain(cancelled);
        dead.clear();
        ReleaseEach(unlent);
        while (excess != nullptr) {
            vn::detail::ImmediateBlock* next = excess->next.load(std::memory_order_relaxed);
            delete excess;
            excess = next;
        }
    }
    ImmediateTask* immediate = q.NextReady();
    // A lending that ended at or before this task: its reference goes before the task
    // runs, as the last of the calls that used it would have released it. (Reading the
    // task's slot published it, so the count is current here.)
    if (immediate != nullptr && q.immTaken - 1 >= q.lentRetireAt.load(std::memory_order_relaxed)) {
        std::vector<CRefCount*> unlent;
        {
            TaskLockGuard guard(q.lock);
            q.TakeUnlent(q.immTaken - 1, &unlent);
        }
        ReleaseEach(unlent);
    }
    if (immediate != nullptr) {
        immediate->call();   // the result of an immediate task is ignored (9 included)
        immediate->Empty();  // releases its target (unless lent) and argument
    }
    // A stop asked for by that task (or meanwhile) takes effect after it; the delayed
    // task stays queued for a later Start.
    if (m_bStopRequested.load(std::memory_order_acquire)) return immediate != nullptr ? 1 : 0;
    // The lock only when the earliest delayed task is due (by its mirror); one that became
    // the earliest meanwhile bumped the push count and is seen at the next iteration.
    if (!anyDelayed || q.headDueUs.load(std::memory_order_acquire) > now.Usec()) {
        return immediate != nullptr ? 1 : 0;
    }

    TaskEntry* delayed = nullptr;
    {
        TaskLockGuard guard(q.lock);
        TaskEntry* head = q.delayed.head;
        if (head != nullptr && !head->due.After(now)) {
            delayed = q.delayed.PopFront();
            q.PublishDelayed();
            // A repeating task keeps its id while it runs, so that a CancelTask issued
            // meanwhile (even from inside the call) removes the re-armed entry.
            if (delayed->mode != etask_repeat) q.ids.Erase(delayed);
        }
    }
    if (delayed != nullptr) RunDelayed(delayed);
    return immediate != nullptr || delayed != nullptr ? 1 : 0;
}

void CVNTaskBase::RunDelayed(TaskEntry* e) {
    int result = e->call();
    if (e->mode != etask_repeat) {
        delete e;
        return;
    }
    if (result == 9) {
        syslog(VN_LOG_ERROR, "task", __LINE__,
               "object is not valid anymore for task[%d], just remove it! please call "
               "CancelTask when object destroyed....",
               static_cast<int>(e->id));
        {
            TaskLockGuard guard(m_pQueue->lock);
            m_pQueue->ids.Erase(e);
        }
        delete e;
        return;
    }
    // The next run is due delay ms after this one returned.
    e->due = DueTime::Now().Plus(e->delay);
    TaskLockGuard guard(m_pQueue->lock);
    m_pQueue->delayed.InsertByDue(e);
    m_pQueue->PublishDelayed();
}

bool CVNTaskBase::HasWork() {
    // Under the lock (see the top of this file): the chain tells of every immediate push,
    // the push count of every delayed push and cancel since the worker's last take of the
    // lock. Then the mirror of the earliest due time tells whether a delayed task fell due.
    TaskQueue& q = *m_pQueue;
    std::vector<CRefCount*> unlent;
    {
        TaskLockGuard guard(q.lock);
        if (q.ImmediatePublished(std::memory_order_relaxed) ||
            q.pushes.load(std::memory_order_relaxed) != q.seenPushes ||
            q.cancelPending.load(std::memory_order_relaxed)) {
            return true;
        }
        // Every immediate task ran: the references lent to them go before the worker
        // sleeps, so an object is not kept alive by an idle queue.
        if (q.lentTarget != nullptr || !q.lentRetired.empty()) q.TakeUnlent(q.immTaken, &unlent);
    }
    if (!unlent.empty()) {
        // Released without the lock; a destructor may push, so the worker looks again.
        ReleaseEach(unlent);
        return true;
    }
    const long long due = q.headDueUs.load(std::memory_order_acquire);
    return due != LLONG_MAX && due <= DueTime::Now().Usec();
}

unsigned int CVNTaskBase::MsUntilNextDelayTask() {
    const long long due = m_pQueue->headDueUs.load(std::memory_order_acquire);
    if (due == LLONG_MAX) return 0xFFFFFFFFu;
    long long us = due - DueTime::Now().Usec();
    if (us <= 0) return 0;
    long long ms = (us + 999) / 1000;  // rounded up: waking early would only spin
    return ms >= 0xFFFFFFFFLL ? 0xFFFFFFFEu : static_cast<unsigned int>(ms);
}

void CVNTaskBase::WaitForWork(unsigned int maxMs) {
    long long waitUs = static_cast<long long>(maxMs) * 1000;
    const long long due = m_pQueue->headDueUs.load(std::memory_order_acquire);
    if (due != LLONG_MAX) {
        // The sleep is measured on CLOCK_MONOTONIC, the clock of the due times, from a
        // moment after this reading, so it never ends before the delayed task is due.
        long long dueUs = due - DueTime::Now().Usec();
        if (dueUs < waitUs) waitUs = dueUs;
    }
    m_pQueue->wake.Wait(waitUs);
}

void CVNTaskBase::WakeUp() {
    m_pQueue->wake.Wake();
}

void CVNTaskBase::OnStart() {}

void CVNTaskBase::OnStop() {}

unsigned int CVNTaskBase::Enqueue(const CScopeCall& call) {
    // The queue's copy is made in its slot under the lock (no temporary to move and
    // destroy). A call for the target of the last push borrows the queue's reference on
    // it and leaves the target's count alone (TaskQueue::lentTarget).
    unsigned int id;
    {
        TaskLockGuard guard(m_pQueue->lock);
        id = m_pQueue->PushImmediate(call);
    }
    if (id == 0) {
        syslog(VN_LOG_ERROR, "task", __LINE__, "not enough space to place more task!");
        return 0;  // no reference was taken
    }
    WakeIfIdle();
    return id;
}

unsigned int CVNTaskBase::EnqueueDelayed(TaskEntry* e) {
    unsigned int id;
    {
        TaskLockGuard guard(m_pQueue->lock);
        id = m_pQueue->PushDelayed(e);
    }
    if (id == 0) {
        syslog(VN_LOG_ERROR, "task", __LINE__, "not enough space to place more task!");
        delete e;
        return 0;
    }
    WakeIfIdle();
    return id;
}

void CVNTaskBase::WakeIfIdle() {
    // Only the first pusher that finds the worker idle wakes it (the wake-up is sticky);
    // the others see the flag cleared and skip the wake-up's lock and system call.
    // After the push released the lock (see the top of this file).
    if (m_bIdle.load(std::memory_order_acquire) && m_bIdle.exchange(false)) WakeUp();
}

unsigned int CVNTaskBase::PushTask(CVNTaskBase* task, const CScopeCall& call) {
    // A call without a target could not be asked for liveness when it runs.
    if (task == nullptr || call.getTarget() == nullptr) {
        syslog(VN_LOG_ERROR, "task", __LINE__, "illegal argument!");
        return 0;
    }
    return task->Enqueue(call);
}

unsigned int CVNTaskBase::PushTask(const CScopeCall& call) {
    return PushTask(GetCurrentTask(), call);
}

unsigned int CVNTaskBase::PushDelayTask(CVNTaskBase* task, const CScopeCall& call,
                                        long long delayMs, etask_mode mode) {
    if (task == nullptr || call.getTarget() == nullptr) {
        syslog(VN_LOG_ERROR, "task", __LINE__, "illegal argument!");
        return 0;
    }
    TaskEntry* e = new TaskEntry(call);
    e->mode = mode;
    e->delay = delayMs;
    e->due = DueTime::Now().Plus(delayMs);
    return task->EnqueueDelayed(e);
}

unsigned int CVNTaskBase::PushDelayTask(const CScopeCall& call, long long delayMs,
                                        etask_mode mode) {
    return PushDelayTask(GetCurrentTask(), call, delayMs, mode);
}

unsigned char CVNTaskBase::CancelTask(CVNTaskBase* task, unsigned int id) {
    if (task == nullptr || id == 0) {
        syslog(VN_LOG_ERROR, "task", __LINE__, "illegal argument!");
        return 0;
    }
    {
        TaskLockGuard guard(task->m_pQueue->lock);
        TaskQueue& q = *task->m_pQueue;
        q.cancels.insert(id);
        q.cancelPending.store(true, std::memory_order_release);
        q.CountPush();
    }
    // Wake an idle worker so that the entry (and what it holds) is released promptly.
    task->WakeIfIdle();
    return 1;
}

bool CVNTaskBase::RearmDelayTask(CVNTaskBase* task, unsigned int id, long long delayMs) {
    TaskLockGuard guard(task->m_pQueue->lock);
    return task->m_pQueue->Rearm(id, delayMs);
}

unsigned char CVNTaskBase::CancelTask(unsigned int id) {
    return CancelTask(GetCurrentTask(), id);
}
