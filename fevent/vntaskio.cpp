// CVNTaskIO: the I/O task thread (see vntaskio.h).
//
// Waiting: the designed loop ran a pump pass that waited up to 1 ms and then slept the idle
// interval, so an idle thread noticed a push or a ready socket only after up to 50 ms.
// Here the pass inside Eachloop never waits, and the idle wait is the pump's own poll on
// the registered descriptors plus an eventfd that WakeUp writes. The base loop sets its
// idle flag before its last check for work, so a push either is seen by that check or
// writes the eventfd; the eventfd stays readable until drained, so a wake-up given before
// the poll starts ends it at once.
//
// Draining: the read that empties the eventfd is not on the path from the wake-up to the
// task it announced. The worker reads it in the next iteration, after that iteration's
// task ran, and always before it sets its idle flag again: a push that finds the flag set
// writes the eventfd after that read, so its wake-up is still there for the next poll.
#include "fevent/vntaskio.h"

#include <errno.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <climits>

#include "base/vnlog.h"
#include "fevent/vnfevent.h"
#include "fevent/vnfevent_internal.h"

CVNTaskIO::CVNTaskIO(const char* name, int idleMs, ethread_priority prio)
    : CVNTaskBase(name, idleMs, prio),
      m_pFevent(vnfe_alloc()),
      m_nWakeFd(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)),
      m_bPumpInUse(false),
      m_bWakeToDrain(false),
      m_nTasksSincePass(0) {
    if (m_nWakeFd < 0) {
        // Still usable: an idle worker then notices pushes only after its idle interval,
        // as the design had it.
        syslog(VN_LOG_ERROR, "fevent", __LINE__, "eventfd failed, errno[%d]", errno);
    }
}

CVNTaskIO::~CVNTaskIO() {
    // The base destructor would stop the worker too, but only after this object's pump is
    // gone and with the base's wait hooks in place: the worker must end first.
    if (IsStarted() || m_bPumpInUse.load(std::memory_order_acquire)) Stop();
    vnfe_free(m_pFevent);
    if (m_nWakeFd >= 0) close(m_nWakeFd);
}

void* CVNTaskIO::GetFevent() {
    CVNTaskIO* io = dynamic_cast<CVNTaskIO*>(CVNTaskBase::GetCurrentTask());
    return io != nullptr ? io->m_pFevent : nullptr;
}

unsigned char CVNTaskIO::Eachloop() {
    m_bPumpInUse.store(true, std::memory_order_relaxed);
    unsigned char ran = CVNTaskBase::Eachloop();
    if (m_bWakeToDrain) {
        m_bWakeToDrain = false;
        // One read takes the whole counter; EAGAIN means another read got it first.
        unsigned long long count;
        ssize_t n;
        do {
            n = read(m_nWakeFd, &count, sizeof(count));
        } while (n < 0 && errno == EINTR);
    }
    // Tasks first, then a pass over the descriptors, so that a stream of tasks cannot hold
    // them back. The pass does not wait, and it comes after every kTasksPerPass-th task in
    // a row, not after each: a poll costs a look at every registered socket, and a busy
    // server thread runs one or two tasks per request on up to 20 connections. When the
    // tasks run out the worker goes to WaitForWork, whose poll is the pass (it returns at
    // once for a ready descriptor), so a pass here would only cost one more poll on the
    // way back to sleep, on the path of every message of a request-reply exchange.
    if (ran == 0) return 0;
    if (++m_nTasksSincePass < kTasksPerPass) return 1;
    m_nTasksSincePass = 0;
    if (vnfe_fdsize(m_pFevent) > 0) vn::detail::vnfe_loop_wait(m_pFevent, -1, 0, nullptr);
    return 1;
}

void CVNTaskIO::WaitForWork(unsigned int maxMs) {
    m_bPumpInUse.store(true, std::memory_order_relaxed);
    unsigned int ms = maxMs;
    unsigned int due = MsUntilNextDelayTask();
    if (due < ms) ms = due;
    int timeoutMs = ms > static_cast<unsigned int>(INT_MAX) ? INT_MAX : static_cast<int>(ms);
    bool woken = false;
    m_nTasksSincePass = 0;
    // Callbacks of descriptors that became ready are dispatched inside this pass; the
    // worker then runs its next iteration at once.
    vn::detail::vnfe_loop_wait(m_pFevent, m_nWakeFd, timeoutMs, &woken);
    if (woken) m_bWakeToDrain = true;  // read by the next Eachloop (see the top of this file)
}

void CVNTaskIO::WakeUp() {
    if (m_nWakeFd < 0) return;
    unsigned long long one = 1;
    ssize_t n;
    do {
        // EAGAIN would mean the counter is about to overflow: it is readable anyway.
        n = write(m_nWakeFd, &one, sizeof(one));
    } while (n < 0 && errno == EINTR);
}

void CVNTaskIO::OnStop() {
    CVNTaskBase::OnStop();
    m_bPumpInUse.store(false, std::memory_order_release);
}
