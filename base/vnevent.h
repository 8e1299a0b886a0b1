// Public header (part of vnbase.h).
// Manual- and automatic-reset events with timed waits, as plain functions over an opaque
// handle and as the CVNEvent class. Any thread may signal, reset or wait.
//
// Thread safety: every function may be called from any thread.
//   CVNEvent done;                 // automatic reset, not signalled
//   worker: done.Post();
//   waiter: if (!done.Wait(1000)) { ...timed out... }
#pragma once

#include "common/vnexport.h"

typedef struct vnevent_s* vnevent_handle;

// Result of vnevent_timedwait when the time ran out (ETIMEDOUT).
enum { VN_EVENT_TIMEOUT = 110 };

// New event, manual-reset when manual, signalled when initial; null on failure.
VN_EXPORT vnevent_handle vnevent_create(unsigned char manual, unsigned char initial);
// 0; 9 for a null handle.
VN_EXPORT int vnevent_destory(vnevent_handle h);
VN_EXPORT int vnevent_signal(vnevent_handle h);
VN_EXPORT int vnevent_reset(vnevent_handle h);
// Zero-time wait: 1 when signalled (consuming the signal of an automatic-reset event).
VN_EXPORT int vnevent_issignaled(vnevent_handle h);
// Waits without limit: 0; 9 (errno 9) on failure.
VN_EXPORT int vnevent_wait(vnevent_handle h);
// Waits up to ms milliseconds (low 32 bits all set: no limit): 0 when signalled,
// VN_EVENT_TIMEOUT when the time ran out, 9 (errno 9) on failure.
VN_EXPORT int vnevent_timedwait(vnevent_handle h, long long ms);

class VN_EXPORT CVNEvent {
public:
    // Automatic-reset, not signalled.
    CVNEvent() : m_hEvent(vnevent_create(0, 0)) {}
    CVNEvent(unsigned char manual, unsigned char initial)
        : m_hEvent(vnevent_create(manual, initial)) {}
    virtual ~CVNEvent();
    // Not copyable: two owners of one handle would destroy it twice.
    CVNEvent(const CVNEvent&) = delete;
    CVNEvent& operator=(const CVNEvent&) = delete;

    // 1 when signalled within ms milliseconds (-1: no limit), else 0.
    int Wait(long long ms) const { return vnevent_timedwait(m_hEvent, ms) == 0 ? 1 : 0; }
    int Post() const { return vnevent_signal(m_hEvent); }
    int Reset() const { return vnevent_reset(m_hEvent); }
    int IsSignaled() const { return vnevent_issignaled(m_hEvent); }

private:
    vnevent_handle m_hEvent;
};
