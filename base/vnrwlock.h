// Public header (part of vnbase.h).
// Writer-preferring reader/writer lock with per-thread nesting: plain functions over an
// opaque record, and CVNLockRW with its scope guards. A writer announces itself before it
// blocks; a reader that enters while a writer waits holds back further new readers until
// it unlocks. Nested reads by a thread that already reads never block.
//
// Thread safety: every function may be called from any thread.
//   CVNLockRW rw;
//   { CVNAutolockReadonly r(rw); ...read... }
//   { CVNAutolockReadWrite w(rw); ...write... }
#pragma once

#include "common/vnexport.h"
#include "base/vnlock.h"
#include "common/vnmap.h"

typedef struct vnrwlock_s* vnrwlock_handle;

// New lock, or null (logged).
VN_EXPORT vnrwlock_handle vnrwlock_alloc();
// 0; 9 (errno 9) for a null record.
VN_EXPORT int vnrwlock_destroy(vnrwlock_handle rw);
VN_EXPORT int vnrwlock_rdlock(vnrwlock_handle rw);
// 0 when taken; 16 (errno 16) when a writer holds or awaits the lock; 9 for null.
VN_EXPORT int vnrwlock_tryrdlock(vnrwlock_handle rw);
// 0, or the wait's error code; 9 for null.
VN_EXPORT int vnrwlock_wrlock(vnrwlock_handle rw);
// 0 when taken; 16 (errno 16) when busy (the writers count is left as it was); 9 for null.
VN_EXPORT int vnrwlock_tryrwlock(vnrwlock_handle rw);
// Releases one lock of the calling thread: 0; 9 (errno 9) for a null record.
VN_EXPORT int vnrwlock_unlock(vnrwlock_handle rw);

// Reader/writer lock that counts, per thread, the locks taken through this object, so a
// thread's nested LockRD/Unlock pairs reach the record once.
struct VN_EXPORT CVNLockRW {
    CVNLockRW();
    ~CVNLockRW();
    CVNLockRW(const CVNLockRW&) = delete;
    CVNLockRW& operator=(const CVNLockRW&) = delete;

    void LockRD();
    // Logs and does nothing when the calling thread already holds this lock.
    void LockRW();
    void Unlock();
    // 1 when taken. A lock taken here is recorded like LockRD/LockRW, so Unlock releases it.
    int TryLockRD();
    int TryLockWR();

private:
    // True when the calling thread already holds a lock through this object (its count is
    // raised when count is true); otherwise enters it with count 1 and returns false.
    bool IsLocked(bool count);
    // Lowers the calling thread's count; true when it reached 0 (the record must be unlocked).
    bool IsNeedUnLock();
    // Undoes the entry IsLocked(false) made for a try-lock that failed.
    void Forget();

    vnrwlock_handle m_hLock;                           // owned
    CVNLock m_lock;                                    // guards m_owners
    vnstl::map<unsigned long, unsigned int> m_owners;  // thread id -> nesting count
};

struct CVNAutolockReadonly {
    CVNLockRW* m_pLock;
    explicit CVNAutolockReadonly(CVNLockRW& lock) : m_pLock(&lock) { m_pLock->LockRD(); }
    ~CVNAutolockReadonly() { m_pLock->Unlock(); }
    CVNAutolockReadonly(const CVNAutolockReadonly&) = delete;
    CVNAutolockReadonly& operator=(const CVNAutolockReadonly&) = delete;
};

struct CVNAutolockReadWrite {
    CVNLockRW* m_pLock;
    explicit CVNAutolockReadWrite(CVNLockRW& lock) : m_pLock(&lock) { m_pLock->LockRW(); }
    ~CVNAutolockReadWrite() { m_pLock->Unlock(); }
    CVNAutolockReadWrite(const CVNAutolockReadWrite&) = delete;
    CVNAutolockReadWrite& operator=(const CVNAutolockReadWrite&) = delete;
};
