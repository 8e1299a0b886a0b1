// Public header (part of vnbase.h).
// Recursive mutex (CVNLock) with plain-function and class forms, and its scope guards.
// Any thread may lock; the owner may lock again and must unlock as often.
//
// Thread safety: every function may be called from any thread.
//   CVNLock lock;
//   { CVNAutolock guard(lock); ...critical section... }
//   if (lock.Try()) { ...; lock.Unlock(); }
#pragma once

#include <pthread.h>

#include "common/vnexport.h"

struct CVNLock;

// Initialises the recursive mutex; returns the pointer.
VN_EXPORT CVNLock* vnlock_init(CVNLock* lock);
// 0, or 9 (errno 9) for a null lock.
VN_EXPORT int vnlock_destroy(CVNLock* lock);
VN_EXPORT int vnlock_lock(CVNLock* lock);
VN_EXPORT int vnlock_unlock(CVNLock* lock);
// 1 when it took the lock, 0 when another thread holds it; 9 (errno 9) for a null lock.
VN_EXPORT int vnlock_trylock(CVNLock* lock);

// The platform's recursive mutex. Not copyable: a copy of a pthread mutex is not a
// mutex, and two owners would destroy it twice.
struct VN_EXPORT CVNLock {
    pthread_mutex_t m_mutex;

    CVNLock() { vnlock_init(this); }
    ~CVNLock() { vnlock_destroy(this); }
    CVNLock(const CVNLock&) = delete;
    CVNLock& operator=(const CVNLock&) = delete;

    void Lock() { vnlock_lock(this); }
    void Unlock() { vnlock_unlock(this); }
    // 1 exactly when the lock was taken.
    int Try() { return vnlock_trylock(this) == 1 ? 1 : 0; }
};

// Locks in the constructor, unlocks in the destructor.
struct CVNAutolock {
    CVNLock* m_pLock;
    explicit CVNAutolock(CVNLock& lock) : m_pLock(&lock) { m_pLock->Lock(); }
    ~CVNAutolock() { m_pLock->Unlock(); }
    CVNAutolock(const CVNAutolock&) = delete;
    CVNAutolock& operator=(const CVNAutolock&) = delete;
};

// Like CVNAutolock, but the lock may be null (then nothing is locked).
struct CVNAutolockex {
    CVNLock* m_pLock;
    explicit CVNAutolockex(CVNLock* lock) : m_pLock(lock) {
        if (m_pLock != nullptr) m_pLock->Lock();
    }
    ~CVNAutolockex() {
        if (m_pLock != nullptr) m_pLock->Unlock();
    }
    CVNAutolockex(const CVNAutolockex&) = delete;
    // Copies the pointer only; the guard then unlocks the new lock on destruction.
    // NOLINTNEXTLINE(bugprone-unhandled-self-assignment): a pointer copy is self-safe
    CVNAutolockex& operator=(const CVNAutolockex& other) {
        m_pLock = other.m_pLock;
        return *this;
    }
};
