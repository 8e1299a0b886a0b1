// Public header (part of vnbase.h).
// The descriptor event pump: watches up to 64 descriptors for readability, writability,
// errors and idle time-outs and calls one callback per descriptor that has something to
// report. A plain function API over an opaque handle; one pump belongs to one thread.
//
// Thread safety: none inside. A pump is used only by the thread that runs its passes
// (its I/O task thread); callbacks run on that thread, nested inside vnfe_loop, and may
// add, change or remove registrations (their own or others') while a pass runs.
//   void* pump = vnfe_alloc();
//   vnfe_add(pump, fd, VN_EV_READ, VN_EV_READ, on_event, ctx, on_removed);
//   while (running) vnfe_loop(pump);      // one pass: waits at most 1 ms, then dispatches
#pragma once

#include "common/vnexport.h"

// Event bits passed to the event callback; the same values name interest bits.
enum {
    VN_EV_TIMEOUT = 0x1,  // a one-shot registration's idle time-out expired
    VN_EV_READ = 0x2,     // readable (also: the peer closed, a read then finds the end)
    VN_EV_WRITE = 0x4,    // writable
    VN_EV_ERROR = 0x8,    // error on the descriptor, or the descriptor is no longer open
    VN_EV_ACCEPT = 0x10,  // socket level only: read interest on a listening socket
};

// Registrations one pump holds at most.
enum { VN_FE_CAPACITY = 64 };

// Event callback: (pump, descriptor, reported events, user data).
typedef void (*vnfe_callback)(void* pump, int fd, int events, void* userData);
// Removal callback: (pump, descriptor, user data); runs once, after the registration has
// been removed because no interest was left.
typedef void (*vnfe_removecallback)(void* pump, int fd, void* userData);

// A new empty pump, or null when memory is short.
VN_EXPORT void* vnfe_alloc();
// Drops all registrations without calling any callback and frees the pump; null is
// ignored. Must not be called from inside one of the pump's callbacks. Returns 0.
VN_EXPORT int vnfe_free(void* pump);
// Drops all registrations without calling any callback; null is ignored. Returns 0.
VN_EXPORT int vnfe_clearup(void* pump);
// The number of registrations (0 for null).
VN_EXPORT int vnfe_fdsize(void* pump);

// Adds a registration without time-out. interest: VN_EV_READ | VN_EV_WRITE; persistent:
// the interest bits that stay set after they fire (the others are one-shot). removal may
// be null. 0 on success; 22 (bad argument: interest 0, descriptor < 0, null pump or
// callback), 17 (descriptor already registered) or 12 (64 registrations) with errno set.
// On failure neither callback is ever called for this registration.
VN_EXPORT int vnfe_add(void* pump, int fd, int interest, int persistent, vnfe_callback callback,
                       void* userData, vnfe_removecallback removal);
// Adds a registration whose interest bits are all one-shot, with an idle time-out when
// timeoutMs > 0: when nothing else fired, VN_EV_TIMEOUT is reported once the pump's clock
// reaches the deadline's whole second (a time-out under 1000 ms fires at the first idle
// pass; one of n seconds fires between n - 1 and n seconds later). Results as vnfe_add.
VN_EXPORT int vnfe_addonce(void* pump, int fd, int interest, vnfe_callback callback, void* userData,
                           unsigned int timeoutMs, vnfe_removecallback removal);
// 1 when the descriptor is registered, else 0.
VN_EXPORT int vnfe_is_added(void* pump, int fd);
// ORs events into the registration's interest: 0; 9 (errno 9) when not registered.
VN_EXPORT int vnfe_set(void* pump, int fd, int events);
// Clears events from the registration's interest; when none is left, removes it and then
// calls its removal callback. 0; 9 (errno 9) when not registered.
VN_EXPORT int vnfe_unset(void* pump, int fd, int events);
// One pass: waits at most 1 ms for readiness (not at all when the pump is empty), then
// calls the callbacks. A time-out or an error ends a registration; an error is reported
// alone (VN_EV_ERROR without readiness bits). Returns the number of descriptors whose
// callback ran.
VN_EXPORT int vnfe_loop(void* pump);
