// Public header (part of vnbase.h).
// CVNTaskBase: a named worker thread with its own task queue. Any thread may push a
// CScopeCall (immediately, or delayed once or repeatedly) and cancel it by its id; the
// worker runs the calls one at a time, in order, on its own thread. Ids are unsigned
// 32-bit numbers; 0 means that nothing was queued.
//
// Each loop iteration: a pass over pending cancellations, at most one immediate task, at
// most one due delayed task. After an iteration that found nothing to do the worker
// watches for a push for a moment (well under a microsecond), then waits for work: the
// wait ends when a task is pushed or cancelled, when the earliest delayed task falls due,
// or after the idle interval, whichever comes first. Only a push that finds the worker
// waiting (or about to wait) makes a system call to wake it.
//
// Thread safety: PushTask, PushDelayTask and CancelTask are safe from any thread; they
// hold the queue lock only while moving entries, never while a call runs, so a call may
// push to its own thread. Start and Stop belong to the task's owner (one thread at a
// time); Stop may also be called by the worker itself.
//   CVNTaskBase* task = new CVNTaskBase("Worker", 50, 1);
//   task->Start();
//   CVNTaskBase::PushTask(task, CScopeCall(holder, obj, &CObj::Work, arg));
//   task->Stop(); task->Release();
#pragma once

#include <atomic>

#include "common/vnexport.h"
#include "base/vnlock.h"
#include "base/vnthread.h"
#include "task/vnrefcount.h"
#include "task/vnscopecall.h"

// How a delayed task repeats: etask_repeat re-arms it after every run; etask_once (and
// every value other than 1) runs it once.
enum etask_mode { etask_once = 0, etask_repeat = 1 };

namespace vn {
namespace detail {
struct TaskQueue;
struct TaskEntry;
}  // namespace detail
}  // namespace vn

class VN_EXPORT CVNTaskBase : public CRefCountSafe {
public:
    // name may be null (an unnamed task; its thread is not named). idleMs bounds one idle
    // wait of the worker. The worker is not started.
    CVNTaskBase(const char* name, int idleMs, ethread_priority prio);
    // Stops a running worker (waiting for it) and destroys every task still queued
    // without running it, which releases each task's target and argument once.
    // A derived class that overrides Eachloop or the wait hooks must call Stop() in its
    // own destructor: the worker must not run into a half-destroyed object.
    ~CVNTaskBase() override;
    // Not copyable: a copy would share (and free twice) the queue and the thread.
    CVNTaskBase(const CVNTaskBase&) = delete;
    CVNTaskBase& operator=(const CVNTaskBase&) = delete;

    // As CRefCountSafe::Release, with one difference: when the last reference goes away
    // on the task's own worker (for instance with the last queued call that held it), the
    // worker stops after the current task and deletes the object after its loop ended.
    unsigned char Release() const override;

    // Creates the worker: 1 when created; 0 (logged) when already started or when the
    // thread cannot be created. After Stop the same object may be started again; tasks
    // queued meanwhile stay queued.
    unsigned char Start();
    // 1 while a worker is held (from Start until Stop).
    unsigned char IsStarted();
    // Asks the worker to stop after its current iteration and waits for it to end: 1 when
    // there was a worker, 0 (logged) otherwise. Called on the worker itself (from a task)
    // it does not wait for its own end: the worker stops after the current task and Stop
    // returns 1 at once; a later Start, Stop or the destructor from another thread waits
    // for that worker to be gone.
    unsigned char Stop();

    // The name, or null for an unnamed task.
    const char* GetName() const;
    // Kernel id of the (last) worker thread; 0 before a worker ran.
    unsigned long getthreadid() const { return m_uThreadId.load(std::memory_order_acquire); }
    // The worker's thread record, or null while not started.
    explicit operator void**();

    // The task thread the calling thread runs, or null.
    static CVNTaskBase* GetCurrentTask();

    // Queues an immediate task; its id, or 0 (logged) for a null task, a call without a
    // target or a full id space.
    static unsigned int PushTask(CVNTaskBase* task, const CScopeCall& call);
    static unsigned int PushTask(const CScopeCall& call);  // on GetCurrentTask()
    // Queues call to run delayMs from now (0 or less: at the next iteration), once or
    // repeatedly (mode etask_repeat: delayMs after each run returned). Its id, or 0.
    static unsigned int PushDelayTask(CVNTaskBase* task, const CScopeCall& call, long long delayMs,
                                      etask_mode mode);
    static unsigned int PushDelayTask(const CScopeCall& call, long long delayMs,
                                      etask_mode mode);  // on GetCurrentTask()
    // Records the cancellation of task id; the worker removes the entry, without running
    // it, at the start of its next iteration. 1 when recorded (whether or not the id is
    // still queued), 0 (logged) for a null task or id 0.
    static unsigned char CancelTask(CVNTaskBase* task, unsigned int id);
    static unsigned char CancelTask(unsigned int id);  // on GetCurrentTask()

protected:
    // One loop iteration (cancel pass, one immediate task, one due delayed task); 1 when
    // it ran a task. A derived thread may add its own pass after calling this one.
    virtual unsigned char Eachloop();
    // Called on the worker before its first and after its last iteration.
    virtual void OnStart();
    virtual void OnStop();

    // Wait hooks. After an iteration that found nothing to do, and after checking that no
    // task was pushed or fell due meanwhile, the worker calls WaitForWork(idle interval).
    // The default sleeps (on a futex) until WakeUp() is called, the earliest delayed task
    // falls due, or maxMs passed. WakeUp() is called from any thread
    // by a push or cancel that finds the worker waiting (or about to wait), and by Stop;
    // a wake-up given before the worker waits must end that wait at once (it is sticky).
    // A thread that also waits for descriptors overrides both: WaitForWork polls its
    // descriptors and a wake-up descriptor for at most min(maxMs, MsUntilNextDelayTask())
    // and WakeUp writes to that descriptor.
    virtual void WaitForWork(unsigned int maxMs);
    virtual void WakeUp();
    // Milliseconds (rounded up) until the earliest delayed task is due: 0 when one is due
    // now, 0xFFFFFFFF when none is queued. Any thread; reads a mirror of the earliest due
    // time without taking the queue lock.
    unsigned int MsUntilNextDelayTask();
    int GetIdleInterval() const { return m_nIdleInterval; }

private:
    // The timer manager re-arms its delayed tasks in place (RearmDelayTask).
    friend class CVNRealTimer;
    // On the worker's own thread: moves the queued delayed task id to delayMs from now,
    // which must not be earlier than where it was (nothing is woken). False, with nothing
    // changed, when id is not waiting in the delayed queue (it is running, ran, or its
    // cancellation is pending).
    static bool RearmDelayTask(CVNTaskBase* task, unsigned int id, long long delayMs);
    static unsigned int ThreadProc(void* arg);
    void Runloop();
    // Queue an immediate call / a filled delayed entry under the lock; the id or 0.
    unsigned int Enqueue(const CScopeCall& call);
    unsigned int EnqueueDelayed(vn::detail::TaskEntry* e);
    // Calls WakeUp when the worker is (about to be) waiting.
    void WakeIfIdle();
    void RunDelayed(vn::detail::TaskEntry* e);
    // True when the worker has something to do now; worker only, takes the queue lock.
    bool HasWork();
    // Watches for a push for a moment; true when one came.
    bool SpinForWork();
    // Asks the worker to stop and waits for it; thread is taken over from the caller.
    void JoinWorker(vnthread_handle thread);

    ethread_priority m_nPriority;
    std::atomic<unsigned int> m_uThreadId;  // written by the worker, read anywhere
    CVNLock m_lifeLock;                     // guards m_hThread, m_hRetired
    vnthread_handle m_hThread;              // guarded by m_lifeLock
    vnthread_handle m_hRetired;             // a worker that stopped itself; guarded by m_lifeLock
    vn::detail::TaskQueue* m_pQueue;        // owned; carries its own lock
    int m_nIdleInterval;
    mutable std::atomic<bool> m_bStopRequested;
    // Set by the worker before its last check for work and cleared after its wait, so a
    // pusher calls WakeUp only when the worker may be waiting.
    std::atomic<bool> m_bIdle;
    mutable std::atomic<bool> m_bDeleteOnExit;  // last reference dropped on the worker
    bool m_bInLoop;  // the worker is inside its loop; touched by the worker only
};

// Debug builds: aborts unless the calling thread is task's worker. Objects that belong to
// one task thread put it in their thread-only methods.
#ifdef NDEBUG
#define VN_ASSERT_ON_THREAD(task) ((void)(true || (task)))
#else
#define VN_ASSERT_ON_THREAD(task)              \
    ((CVNTaskBase::GetCurrentTask() == (task)) \
         ? (void)0                             \
         : ::vn::detail::fatal(__FILE__, __LINE__, "called off its task thread: " #task))
#endif
