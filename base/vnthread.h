// Public header (part of vnbase.h).
// Threads that stop cooperatively, and the process-wide table of thread-local keys.
// All functions may be called from any thread.
//
// Thread safety: a record returned by vnthread_create is released exactly once, by
// vnthread_terminate or vnthread_closehandle; the running thread keeps its own reference,
// so a record it still uses is never freed under it.
//   vnthread_handle t = vnthread_create(worker, arg, 1);   // worker polls vnthread_signaled()
//   ...
//   vnthread_terminate(t, -1);                             // ask it to stop, wait, release
#pragma once

#include "common/vnexport.h"

// 0 below normal, 1 normal, anything else time-critical.
typedef int ethread_priority;

// A thread's entry function; its result is ignored.
typedef unsigned int (*vnthread_proc)(void* arg);

typedef struct vnthread_s* vnthread_handle;

// Reserved thread-local keys; user keys must be below VN_TLS_KEY_RESERVED.
#define VN_TLS_KEY_RESERVED 0x80000000u
#define VN_TLS_KEY_THREADNAME 0x80000000u
#define VN_TLS_KEY_THREADRECORD 0x80000001u
#define VN_TLS_KEY_TASK 0x80000002u
// Most keys the table holds at once.
#define VN_TLS_KEY_MAX 1024

// Starts a thread running entry(arg); its record, or null (logged).
VN_EXPORT vnthread_handle vnthread_create(vnthread_proc entry, void* arg, ethread_priority prio);
// Asks the thread to stop (its vnthread_signaled() turns 1), waits up to timeout ms for it
// (-1: no limit), then releases the record. A thread that does not end in time cannot be
// killed safely on this platform: it is detached and frees its own share of the record when
// it returns. 0; 22 (errno 22) for a null record.
VN_EXPORT int vnthread_terminate(vnthread_handle thread, long long timeout);
// 1 when the calling thread was not made by vnthread_create or was asked to stop.
VN_EXPORT int vnthread_signaled();
// Waits without limit for the thread to end: 0; 22 (errno 22) for a null record.
VN_EXPORT int vnthread_waitfor(vnthread_handle thread);
// Releases the record without stopping or waiting (the thread runs on, detached).
VN_EXPORT int vnthread_closehandle(vnthread_handle thread);

// Stores the pointer (not a copy) as the calling thread's name and sets the kernel name
// (first 15 bytes) for debuggers. 0 or the key table's error.
VN_EXPORT int vnthread_setname(const char* name);
VN_EXPORT const char* vnthread_getname();

// key >= 0x80000000: 34 (errno 34). 12 (errno 12) when the table is full. Else 0.
VN_EXPORT int vnthread_setspecific(unsigned int key, void* value);
// The calling thread's value for key; null when never set.
VN_EXPORT void* vnthread_getspecific(unsigned int key);
// The kernel id of the calling thread (as ps -L, gdb and the log show it).
VN_EXPORT unsigned int vnthread_selfid();

namespace vn {
namespace detail {
// Sets a key without the reserved-key check; for the library's own reserved keys.
VN_EXPORT int thread_setspecific_internal(unsigned int key, void* value);
}  // namespace detail
}  // namespace vn
