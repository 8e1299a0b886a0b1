// Public header (part of vnbase.h).
// CVNTaskIO: the task thread sockets live on. A CVNTaskBase that owns one descriptor event
// pump and runs one pump pass after the task passes of every loop iteration, so socket
// callbacks, task calls and timers of one connection all run on one thread without locks.
//
// An idle worker does not sleep blindly: it waits in poll on its registered descriptors
// and on a wake-up descriptor that every push and cancel makes readable, for at most the
// idle interval (less when a delayed task falls due sooner). A push, a due delayed task or
// a ready descriptor is therefore handled at once.
//
// Thread safety: PushTask, PushDelayTask and CancelTask are safe from any thread (as for
// CVNTaskBase). The pump belongs to the worker: GetFevent and everything registered on
// the pump is used on the worker only; other threads reach it by posting a task.
//   CVNTaskIO* io = new CVNTaskIO("Net", 50, 1);
//   io->Start();
//   CVNTaskBase::PushTask(io, CScopeCall(conn, conn, &CConn::Open));  // Open calls GetFevent()
//   io->Stop(); io->Release();
#pragma once

#include <atomic>

#include "common/vnexport.h"
#include "task/vntask.h"

class VN_EXPORT CVNTaskIO : public CVNTaskBase {
public:
    // As CVNTaskBase; additionally allocates the pump. The worker is not started.
    CVNTaskIO(const char* name, int idleMs, ethread_priority prio);
    // Ends a running worker (waiting for it) before the pump is freed. Registrations still
    // in the pump are dropped without callbacks.
    ~CVNTaskIO() override;
    // Not copyable: a copy would share (and free twice) the pump and the thread.
    CVNTaskIO(const CVNTaskIO&) = delete;
    CVNTaskIO& operator=(const CVNTaskIO&) = delete;

    // The pump of the calling thread's task thread; null on a thread that runs no task
    // thread or whose task thread is not a CVNTaskIO.
    static void* GetFevent();

protected:
    // The base iteration, then, after every kTasksPerPass-th task in a row, one pump pass
    // that does not wait: 1 when a task ran or a descriptor's callback ran. Descriptors
    // otherwise get their pass from the idle wait, which follows as soon as the tasks run
    // out and does not sleep when one is ready. A derived class that overrides it must
    // call it.
    unsigned char Eachloop() override;
    // The idle wait: one pump pass that polls the registrations and the wake-up descriptor
    // for at most min(maxMs, time until the earliest delayed task). Callbacks of
    // descriptors that become ready meanwhile run inside it, exactly as in Eachloop.
    void WaitForWork(unsigned int maxMs) override;
    // Makes the wake-up descriptor readable; any thread.
    void WakeUp() override;
    // Marks the end of the worker's use of the pump. A derived class that overrides it
    // should call it; otherwise the destructor also waits for the worker (harmless, but it
    // logs that the task was not started).
    void OnStop() override;

private:
    // Tasks in a row between two passes over the descriptors (see Eachloop).
    static constexpr unsigned char kTasksPerPass = 16;

    void* m_pFevent;  // the pump; owned, used by the worker only
    int m_nWakeFd;    // eventfd written by WakeUp, drained by the worker; -1 if unavailable
    // Set by the worker while it may still touch the pump, cleared by OnStop. Lets the
    // destructor wait for a worker that stopped itself (no longer "started") but may still
    // be inside its last iteration.
    std::atomic<bool> m_bPumpInUse;
    // Worker only: the idle wait was woken through m_nWakeFd, which is drained after the
    // next task ran. (It sits in the padding after m_bPumpInUse: the object keeps its size
    // and every other member its place.)
    bool m_bWakeToDrain;
    // Worker only: tasks run since the descriptors last had a pass (also in that padding).
    unsigned char m_nTasksSincePass;
};
