// Threads with cooperative stop, and the thread-local key table. Callable from any
// thread.
//
// Linux has no safe way to kill a thread, so a record is shared between the creator and
// the thread (a reference count of two): whoever lets go last frees it. A thread that
// ignores its stop flag past the time-out is detached, never killed, and it keeps a valid
// record until it returns.
#include "base/vnthread.h"

#include <errno.h>
#include <pthread.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <new>

#include "base/vnevent.h"
#include "base/vnlock.h"
#include "base/vnlog.h"

struct vnthread_s {
    pthread_t handle;
    std::atomic<int> stop{0};
    vnevent_handle finished = nullptr;  // manual reset; signalled when entry returned
    vnthread_proc entry = nullptr;
    void* arg = nullptr;
    ethread_priority prio = 1;
    std::atomic<int> refs{2};               // the creator's and the thread's
    std::atomic<bool> handle_taken{false};  // joined or detached already
};

namespace {

// ---- thread-local key table -------------------------------------------------------
// Keys map to slot indexes into a per-thread array. One pthread key per table entry would
// exhaust the process's 1024 pthread keys, which other libraries share.
struct KeyEntry {
    unsigned int key;
    int slot;
};

struct KeyTable {
    CVNLock lock;
    KeyEntry entries[VN_TLS_KEY_MAX];  // sorted by key; guarded by lock
    int count = 0;                     // guarded by lock
};

KeyTable& key_table() {
    static KeyTable* table = new KeyTable;  // never freed: threads may log during exit
    return *table;
}

thread_local void* t_values[VN_TLS_KEY_MAX];

// Index of the first entry whose key is >= key.
int lower_bound(const KeyTable& t, unsigned int key) {
    int lo = 0, hi = t.count;
    while (lo < hi) {
        int mid = (lo + hi) / 2;
        if (t.entries[mid].key < key) {
            lo = mid + 1;
        } else {
            hi = mid;
        }
    }
    return lo;
}

// The reserved keys are read on every log line and every task push, so they live in
// plain thread-locals and do not take table entries from callers.
thread_local void* t_reserved[3];

int set_specific(unsigned int key, void* value) {
    if (key >= VN_TLS_KEY_THREADNAME && key <= VN_TLS_KEY_TASK) {
        t_reserved[key - VN_TLS_KEY_THREADNAME] = value;
        return 0;
    }
    KeyTable& t = key_table();
    int slot = -1;
    {
        CVNAutolock guard(t.lock);
        int pos = lower_bound(t, key);
        if (pos < t.count && t.entries[pos].key == key) {
            slot = t.entries[pos].slot;
        } else if (t.count < VN_TLS_KEY_MAX) {
            memmove(&t.entries[pos + 1], &t.entries[pos],
                    sizeof(KeyEntry) * static_cast<size_t>(t.count - pos));
            // Slots are handed out in order and never reused, so a slot index stays below
            // the number of keys ever inserted, which the table bounds.
            slot = t.count;
            t.entries[pos].key = key;
            t.entries[pos].slot = slot;
            ++t.count;
        }
    }
    if (slot < 0) {
        syslog(VN_LOG_ERROR, "thread", __LINE__, "out of memory!");
        errno = 12;
        return 12;
    }
    t_values[slot] = value;
    return 0;
}

void* get_specific(unsigned int key) {
    if (key >= VN_TLS_KEY_THREADNAME && key <= VN_TLS_KEY_TASK) {
        return t_reserved[key - VN_TLS_KEY_THREADNAME];
    }
    KeyTable& t = key_table();
    int slot;
    {
        CVNAutolock guard(t.lock);
        int pos = lower_bound(t, key);
        if (pos >= t.count || t.entries[pos].key != key) return nullptr;
        slot = t.entries[pos].slot;
    }
    return t_values[slot];
}

void release_record(vnthread_s* rec) {
    if (rec->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) {
        vnevent_destory(rec->finished);
        delete rec;
    }
}

pid_t current_tid() {
    return static_cast<pid_t>(syscall(SYS_gettid));
}

void apply_priority(ethread_priority prio) {
    if (prio == 1) return;
    // Below normal maps to a higher nice value; time-critical to the lowest one the
    // process may set. Real-time scheduling is not used: a busy time-critical thread
    // must not be able to lock up the machine.
    int nice_value = prio == 0 ? 5 : -10;
    if (setpriority(PRIO_PROCESS, static_cast<id_t>(current_tid()), nice_value) != 0) {
        syslog(VN_LOG_WARNING, "thread", __LINE__,
               "cannot set priority %d (errno %d), thread keeps normal priority", prio, errno);
    }
}

void* thread_routine(void* p) {
    vnthread_s* rec = static_cast<vnthread_s*>(p);
    apply_priority(rec->prio);
    int rc = set_specific(VN_TLS_KEY_THREADRECORD, rec);
    if (rc == 0) rec->entry(rec->arg);
    rec->stop.store(1, std::memory_order_release);
    vnevent_signal(rec->finished);
    release_record(rec);
    return nullptr;
}

// Joins or detaches the platform thread, exactly once.
void let_go_of_thread(vnthread_s* rec, bool join) {
    if (rec->handle_taken.exchange(true)) return;
    if (join) {
        pthread_join(rec->handle, nullptr);
    } else {
        pthread_detach(rec->handle);
    }
}

int bad_argument(int line) {
    syslog(VN_LOG_ERROR, "thread", line, "illegal argument!");
    errno = 22;
    return 22;
}

}  // namespace

vnthread_handle vnthread_create(vnthread_proc entry, void* arg, ethread_priority prio) {
    if (entry == nullptr) {
        bad_argument(__LINE__);
        return nullptr;
    }
    vnthread_s* rec = new (std::nothrow) vnthread_s;
    if (rec == nullptr) {
        syslog(VN_LOG_ERROR, "thread", __LINE__, "out of memory!");
        return nullptr;
    }
    rec->entry = entry;
    rec->arg = arg;
    rec->prio = prio;
    rec->finished = vnevent_create(1, 0);
    if (rec->finished == nullptr) {
        delete rec;
        syslog(VN_LOG_ERROR, "thread", __LINE__, "failed to create event for new thread!");
        return nullptr;
    }
    // The priority is applied by the new thread itself, so a refusal cannot leave a
    // running thread with a freed record: it only costs a warning.
    int rc = pthread_create(&rec->handle, nullptr, thread_routine, rec);
    if (rc != 0) {
        vnevent_destory(rec->finished);
        delete rec;
        syslog(VN_LOG_ERROR, "thread", __LINE__, "out of memory!");
        return nullptr;
    }
    return rec;
}

int vnthread_terminate(vnthread_handle thread, long long timeout) {
    if (thread == nullptr) return bad_argument(__LINE__);
    int expected = 0;
    bool finished = true;
    if (thread->stop.compare_exchange_strong(expected, 1)) {
        finished = timeout != 0 && vnevent_timedwait(thread->finished, timeout) == 0;
        if (!finished) {
            syslog(VN_LOG_WARNING, "thread", __LINE__,
                   "thread did not stop in time, it is detached and ends on its own");
        }
    }
    // A finished thread is joined (it is past its last touch of the record); one still
    // running is detached and drops its own reference when it returns.
    let_go_of_thread(thread, finished && vnevent_issignaled(thread->finished) == 1);
    release_record(thread);
    return 0;
}

int vnthread_signaled() {
    vnthread_s* rec = static_cast<vnthread_s*>(vnthread_getspecific(VN_TLS_KEY_THREADRECORD));
    if (rec == nullptr) return 1;
    return rec->stop.load(std::memory_order_acquire) != 0 ? 1 : 0;
}

int vnthread_waitfor(vnthread_handle thread) {
    if (thread == nullptr) return bad_argument(__LINE__);
    if (vnevent_wait(thread->finished) != 0) {
        syslog(VN_LOG_ERROR, "thread", __LINE__,
               "something wrong with thread you are waiting for!");
        return errno;
    }
    return 0;
}

int vnthread_closehandle(vnthread_handle thread) {
    if (thread == nullptr) return bad_argument(__LINE__);
    let_go_of_thread(thread, false);
    release_record(thread);
    return 0;
}

int vnthread_setname(const char* name) {
    int rc = set_specific(VN_TLS_KEY_THREADNAME, const_cast<char*>(name));
    if (rc == 0 && name != nullptr) {
        char kernel_name[16];
        strncpy(kernel_name, name, sizeof(kernel_name) - 1);
        kernel_name[sizeof(kernel_name) - 1] = '\0';
        pthread_setname_np(pthread_self(), kernel_name);
    }
    return rc;
}

const char* vnthread_getname() {
    return static_cast<const char*>(vnthread_getspecific(VN_TLS_KEY_THREADNAME));
}

int vnthread_setspecific(unsigned int key, void* value) {
    if (key >= VN_TLS_KEY_RESERVED) {
        syslog(VN_LOG_ERROR, "thread", __LINE__, "key[%u] exceeds max value[%u]!", key,
               VN_TLS_KEY_RESERVED);
        errno = 34;
        return 34;
    }
    return set_specific(key, value);
}

int vn::detail::thread_setspecific_internal(unsigned int key, void* value) {
    return set_specific(key, value);
}

void* vnthread_getspecific(unsigned int key) {
    return get_specific(key);
}

unsigned int vnthread_selfid() {
    return static_cast<unsigned int>(current_tid());
}
