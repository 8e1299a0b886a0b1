// Recursive mutex over pthreads. Callable from any thread.
#include "base/vnlock.h"

#include <errno.h>

#include "base/vnlog.h"

namespace {
int bad_lock(int line) {
    syslog(VN_LOG_ERROR, "lock", line, "illegal argument!");
    errno = 9;
    return 9;
}
}  // namespace

CVNLock* vnlock_init(CVNLock* lock) {
    if (lock == nullptr) {
        bad_lock(__LINE__);
        return nullptr;
    }
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
    pthread_mutex_init(&lock->m_mutex, &attr);
    pthread_mutexattr_destroy(&attr);
    return lock;
}

int vnlock_destroy(CVNLock* lock) {
    if (lock == nullptr) return bad_lock(__LINE__);
    pthread_mutex_destroy(&lock->m_mutex);
    return 0;
}

int vnlock_lock(CVNLock* lock) {
    if (lock == nullptr) return bad_lock(__LINE__);
    pthread_mutex_lock(&lock->m_mutex);
    return 0;
}

int vnlock_unlock(CVNLock* lock) {
    if (lock == nullptr) return bad_lock(__LINE__);
    pthread_mutex_unlock(&lock->m_mutex);
    return 0;
}

int vnlock_trylock(CVNLock* lock) {
    if (lock == nullptr) return bad_lock(__LINE__);
    return pthread_mutex_trylock(&lock->m_mutex) == 0 ? 1 : 0;
}
