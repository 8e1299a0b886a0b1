// Events over a pthread mutex and a condition variable on the monotonic clock, so a
// timed wait is not disturbed by wall-clock changes. Callable from any thread.
#include "base/vnevent.h"

#include <errno.h>
#include <pthread.h>
#include <time.h>

#include <new>

#include "base/vnlog.h"

struct vnevent_s {
    pthread_mutex_t mutex;
    pthread_cond_t cond;
    bool manual;
    bool signaled;  // guarded by mutex
};

namespace {
int bad_event(int line) {
    syslog(VN_LOG_ERROR, "event", line, "illegal argument!");
    errno = 9;
    return 9;
}

// Waits with the mutex held; returns 0 when signalled, VN_EVENT_TIMEOUT otherwise.
int wait_locked(vnevent_s* ev, const struct timespec* deadline) {
    while (!ev->signaled) {
        int rc = deadline ? pthread_cond_timedwait(&ev->cond, &ev->mutex, deadline)
                          : pthread_cond_wait(&ev->cond, &ev->mutex);
        if (rc == ETIMEDOUT) {
            if (ev->signaled) break;
            return VN_EVENT_TIMEOUT;
        }
    }
    if (!ev->manual) ev->signaled = false;
    return 0;
}
}  // namespace

vnevent_handle vnevent_create(unsigned char manual, unsigned char initial) {
    vnevent_s* ev = new (std::nothrow) vnevent_s;
    if (ev == nullptr) return nullptr;
    pthread_mutex_init(&ev->mutex, nullptr);
    pthread_condattr_t attr;
    pthread_condattr_init(&attr);
    pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
    pthread_cond_init(&ev->cond, &attr);
    pthread_condattr_destroy(&attr);
    ev->manual = manual != 0;
    ev->signaled = initial != 0;
    return ev;
}

int vnevent_destory(vnevent_handle h) {
    if (h == nullptr) return bad_event(__LINE__);
    pthread_cond_destroy(&h->cond);
    pthread_mutex_destroy(&h->mutex);
    delete h;
    return 0;
}

int vnevent_signal(vnevent_handle h) {
    if (h == nullptr) return bad_event(__LINE__);
    pthread_mutex_lock(&h->mutex);
    h->signaled = true;
    // A manual-reset event releases every waiter, an automatic one exactly one.
    if (h->manual) {
        pthread_cond_broadcast(&h->cond);
    } else {
        pthread_cond_signal(&h->cond);
    }
    pthread_mutex_unlock(&h->mutex);
    return 0;
}

int vnevent_reset(vnevent_handle h) {
    if (h == nullptr) return bad_event(__LINE__);
    pthread_mutex_lock(&h->mutex);
    h->signaled = false;
    pthread_mutex_unlock(&h->mutex);
    return 0;
}

int vnevent_issignaled(vnevent_handle h) {
    if (h == nullptr) return 0;
    pthread_mutex_lock(&h->mutex);
    int result = h->signaled ? 1 : 0;
    if (result && !h->manual) h->signaled = false;
    pthread_mutex_unlock(&h->mutex);
    return result;
}

int vnevent_wait(vnevent_handle h) {
    return vnevent_timedwait(h, -1);
}

int vnevent_timedwait(vnevent_handle h, long long ms) {
    if (h == nullptr) {
        errno = 9;
        return 9;
    }
    unsigned int timeout = static_cast<unsigned int>(ms);
    pthread_mutex_lock(&h->mutex);
    int rc;
    if (timeout == 0xFFFFFFFFu) {
        rc = wait_locked(h, nullptr);
    } else {
        struct timespec deadline;
        clock_gettime(CLOCK_MONOTONIC, &deadline);
        deadline.tv_sec += timeout / 1000;
        deadline.tv_nsec += static_cast<long>(timeout % 1000) * 1000000L;
        if (deadline.tv_nsec >= 1000000000L) {
            deadline.tv_sec += 1;
            deadline.tv_nsec -= 1000000000L;
        }
        rc = wait_locked(h, &deadline);
    }
    pthread_mutex_unlock(&h->mutex);
    return rc;
}

CVNEvent::~CVNEvent() {
    if (m_hEvent != nullptr) vnevent_destory(m_hEvent);
}
