// Writer-preferring reader/writer lock built from two recursive mutexes and an event.
// Callable from any thread.
//
// The gate is held by a writer for its whole write, and by a reader that entered while a
// writer was announced; both rely on the gate being recursive (its holder takes it again
// at once in unlock). The state lock guards the counters and the reader map.
#include "base/vnrwlock.h"

#include <errno.h>

#include <new>

#include "base/vnevent.h"
#include "base/vnlog.h"
#include "base/vnthread.h"

struct vnrwlock_s {
    CVNLock gate;
    CVNLock state;
    vnevent_handle readers_gone = nullptr;  // automatic reset
    unsigned int writer = 0;                // guarded by gate
    int writer_depth = 0;                   // the writer's nested write locks; guarded by gate
    unsigned int gate_reader = 0;           // guarded by state
    vnstl::map<unsigned long, unsigned int> readers;  // guarded by state
    int writers = 0;                                  // guarded by state
    int reads = 0;                                    // guarded by state
};

namespace {

int bad_record(int line) {
    syslog(VN_LOG_ERROR, "lock", line, "illegal argument!");
    errno = 9;
    return 9;
}

// Entered with the gate held.
void register_read(vnrwlock_s* rw, unsigned int self) {
    bool writers_wait;
    {
        CVNAutolock guard(rw->state);
        rw->readers[self] += 1;
        ++rw->reads;
        writers_wait = rw->writers > 0;
        if (writers_wait) rw->gate_reader = self;
    }
    if (!writers_wait) rw->gate.Unlock();
}

// Lowers the caller's read entry and the count; signals a waiting writer when the last
// read goes. Takes the state lock itself.
void drop_read(vnrwlock_s* rw, unsigned int self, bool clear_gate_reader) {
    CVNAutolock guard(rw->state);
    auto it = rw->readers.find(self);
    if (it == rw->readers.end()) return;
    if (--it->second == 0) {
        rw->readers.erase(it);
        if (clear_gate_reader) rw->gate_reader = 0;
    }
    --rw->reads;
    if (rw->writers > 0 && rw->reads == 0) vnevent_signal(rw->readers_gone);
}

// Entered with the gate held by the calling writer.
int finish_write(vnrwlock_s* rw, unsigned int self) {
    if (rw->writer == self) {
        ++rw->writer_depth;
    } else {
        rw->writer = self;
        rw->writer_depth = 1;
    }
    int reads;
    {
        CVNAutolock guard(rw->state);
        reads = rw->reads;
    }
    if (reads == 0) {
        vnevent_reset(rw->readers_gone);
        return 0;
    }
    int rc = vnevent_wait(rw->readers_gone);
    if (rc != 0) {
        syslog(VN_LOG_ERROR, "lock", __LINE__, "something wrong with lock!");
        if (--rw->writer_depth == 0) rw->writer = 0;
        rw->gate.Unlock();
        CVNAutolock guard(rw->state);
        --rw->writers;
    }
    return rc;
}

}  // namespace

vnrwlock_handle vnrwlock_alloc() {
    vnrwlock_s* rw = new (std::nothrow) vnrwlock_s;
    if (rw == nullptr) {
        syslog(VN_LOG_ERROR, "lock", __LINE__, "out of memory!");
        return nullptr;
    }
    rw->readers_gone = vnevent_create(0, 0);
    if (rw->readers_gone == nullptr) {
        delete rw;
        syslog(VN_LOG_ERROR, "lock", __LINE__, "failed to create event for new thread!");
        return nullptr;
    }
    return rw;
}

int vnrwlock_destroy(vnrwlock_handle rw) {
    if (rw == nullptr) return bad_record(__LINE__);
    vnevent_destory(rw->readers_gone);
    delete rw;
    return 0;
}

int vnrwlock_rdlock(vnrwlock_handle rw) {
    if (rw == nullptr) return bad_record(__LINE__);
    unsigned int self = vnthread_selfid();
    if (rw->gate.Try()) {
        register_read(rw, self);
        return 0;
    }
    {
        // A nested read must not queue behind a waiting writer: the writer waits for this
        // very thread's reads to go.
        CVNAutolock guard(rw->state);
        auto it = rw->readers.find(self);
        if (it != rw->readers.end()) {
            ++it->second;
            ++rw->reads;
            return 0;
        }
    }
    rw->gate.Lock();
    register_read(rw, self);
    return 0;
}

int vnrwlock_tryrdlock(vnrwlock_handle rw) {
    if (rw == nullptr) return bad_record(__LINE__);
    if (!rw->gate.Try()) {
        errno = 16;
        return 16;
    }
    register_read(rw, vnthread_selfid());
    return 0;
}

int vnrwlock_wrlock(vnrwlock_handle rw) {
    if (rw == nullptr) return bad_record(__LINE__);
    {
        CVNAutolock guard(rw->state);
        ++rw->writers;
    }
    rw->gate.Lock();
    return finish_write(rw, vnthread_selfid());
}

int vnrwlock_tryrwlock(vnrwlock_handle rw) {
    if (rw == nullptr) return bad_record(__LINE__);
    unsigned int self = vnthread_selfid();
    bool busy = false;
    {
        CVNAutolock guard(rw->state);
        ++rw->writers;
    }
    if (!rw->gate.Try()) {
        busy = true;
    } else if (rw->writer != self) {
        // A try must not wait: with reads still held the lock is busy, although the gate
        // was free (readers release it when no writer is announced).
        CVNAutolock guard(rw->state);
        if (rw->reads > 0) {
            busy = true;
            rw->gate.Unlock();
        }
    }
    if (busy) {
        CVNAutolock guard(rw->state);
        --rw->writers;
        errno = 16;
        return 16;
    }
    return finish_write(rw, self);
}

int vnrwlock_unlock(vnrwlock_handle rw) {
    if (rw == nullptr) return bad_record(__LINE__);
    unsigned int self = vnthread_selfid();
    if (!rw->gate.Try()) {
        // Another thread holds the gate, so the caller is a plain reader.
        drop_read(rw, self, false);
        return 0;
    }
    if (rw->writer == self) {
        {
            CVNAutolock guard(rw->state);
            --rw->writers;
        }
        // The writer id goes with the writer's last nested unlock, not when the writers
        // count reaches 0: a stale id would make a later read by this thread unlock as a
        // write and cancel another writer's announcement.
        if (--rw->writer_depth == 0) rw->writer = 0;
        rw->gate.Unlock();
        rw->gate.Unlock();
        return 0;
    }
    bool gate_reader;
    {
        CVNAutolock guard(rw->state);
        gate_reader = rw->gate_reader == self;
    }
    drop_read(rw, self, gate_reader);
    rw->gate.Unlock();
    if (gate_reader) rw->gate.Unlock();
    return 0;
}

CVNLockRW::CVNLockRW() : m_hLock(vnrwlock_alloc()) {}

CVNLockRW::~CVNLockRW() {
    if (m_hLock != nullptr) vnrwlock_destroy(m_hLock);
    m_owners.clear();
}

bool CVNLockRW::IsLocked(bool count) {
    CVNAutolock guard(m_lock);
    unsigned long self = vnthread_selfid();
    auto it = m_owners.find(self);
    if (it != m_owners.end()) {
        if (count) ++it->second;
        return true;
    }
    m_owners.insert(self, 1);
    return false;
}

bool CVNLockRW::IsNeedUnLock() {
    CVNAutolock guard(m_lock);
    auto it = m_owners.find(vnthread_selfid());
    if (it == m_owners.end()) return false;
    if (--it->second != 0) return false;
    m_owners.erase(it);
    return true;
}

void CVNLockRW::Forget() {
    CVNAutolock guard(m_lock);
    m_owners.erase(vnthread_selfid());
}

void CVNLockRW::LockRD() {
    if (!IsLocked(true)) vnrwlock_rdlock(m_hLock);
}

void CVNLockRW::LockRW() {
    if (IsLocked(false)) {
        syslog(VN_LOG_ERROR, "unnamed", __LINE__,
               "is already locked, now try to lockRW, why???????");
        return;
    }
    vnrwlock_wrlock(m_hLock);
}

void CVNLockRW::Unlock() {
    if (IsNeedUnLock()) vnrwlock_unlock(m_hLock);
}

int CVNLockRW::TryLockRD() {
    if (IsLocked(true)) {
        // Already held by this thread through this object: a nested read never blocks.
        return 1;
    }
    if (vnrwlock_tryrdlock(m_hLock) == 0) return 1;
    Forget();
    return 0;
}

int CVNLockRW::TryLockWR() {
    if (IsLocked(false)) return 0;
    if (vnrwlock_tryrwlock(m_hLock) == 0) return 1;
    Forget();
    return 0;
}
