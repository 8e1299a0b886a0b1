// Internal header (not installed): the task queue of one CVNTaskBase.
//
// Immediate tasks: the pushers append to the `pending` chain of fixed-size blocks; the
// worker, when its private `ready` chain is used up, takes the whole pending chain over in
// one step under the lock and then runs it in order, one task per loop iteration, without
// the lock. Used-up blocks come back to the pushers through a small cache, so a steady
// stream of tasks allocates nothing and a burst never reallocates or copies a big array.
// Their ids are not indexed: they are handed out in increasing order and the tasks leave
// in the same order, so every pending immediate id lies in the cyclic range
// [immFirst, immLast]; cancelling an id of that range searches both chains and empties
// the call in place (the worker skips it), and after the 32-bit id wrap a new id skips the
// whole range.
//
// Delayed tasks: heap entries in a doubly linked list sorted by due time (push order kept
// for equal times), found by id through a hash index; they are long-lived and often
// cancelled (timers). Id 0 counts as permanently in use, so it is never handed out.
//
// Thread safety: the members are guarded by `lock`, except those marked "worker only";
// pushers and the worker hold the lock only while moving tasks, never while a call runs.
// A cancellation is applied by the worker at the start of an iteration: CancelTask sets
// cancelPending, and an iteration that sees it takes the lock and applies the cancel set
// before it takes a task, so the task does not run.
#pragma once

#include <stdint.h>

#include <pthread.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <set>
#include <vector>

#include "common/vnstring.h"
#include "task/vnscopecall.h"
#include "task/vntask.h"

namespace vn {
namespace detail {

// Tells the processor that the thread spins (saves power, yields to a sibling
// hyper-thread).
inline void CpuRelax() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__)
    asm volatile("yield");
#endif
}

// A point on the monotonic clock, kept as seconds and microseconds below 1,000,000.
struct DueTime {
    long long sec = 0;
    int usec = 0;

    static DueTime Now();
    // now + delay ms: seconds += delay / 1000 (truncated toward zero), microseconds +=
    // (delay % 1000) * 1000, then carried (or borrowed, for a negative delay) into range.
    DueTime Plus(long long delayMs) const;
    // Microseconds from this point to later (negative when later lies before it).
    long long UsecUntil(const DueTime& later) const;
    bool After(const DueTime& o) const { return sec > o.sec || (sec == o.sec && usec > o.usec); }
};

// An immediate task. A cancelled one keeps its place with an empty call.
struct ImmediateTask {
    ImmediateTask(CScopeCall&& c, unsigned int i) : call(static_cast<CScopeCall&&>(c)), id(i) {}
    CScopeCall call;  // the queue's own copy; holds its references
    unsigned int id;
};

// A block of immediate tasks (about 4 KiB). Slots [0, end) hold constructed tasks; the
// worker takes them in order from `begin`.
struct ImmediateBlock {
    static constexpr unsigned int kSlots = 63;

    ImmediateBlock() {}
    ~ImmediateBlock() { DestroySlots(); }
    ImmediateBlock(const ImmediateBlock&) = delete;
    ImmediateBlock& operator=(const ImmediateBlock&) = delete;

    ImmediateTask* At(unsigned int i) { return reinterpret_cast<ImmediateTask*>(m_storage) + i; }
    // Destroys the tasks of [0, end) and empties the block for reuse.
    void DestroySlots();

    ImmediateBlock* next = nullptr;
    unsigned int begin = 0;
    unsigned int end = 0;

private:
    alignas(ImmediateTask) unsigned char m_storage[kSlots * sizeof(ImmediateTask)];
};

// A FIFO chain of blocks; it owns them.
struct ImmediateChain {
    ImmediateBlock* head = nullptr;
    ImmediateBlock* tail = nullptr;
    size_t count = 0;  // tasks pushed into the chain (cancelled and run ones included)

    void Append(ImmediateBlock* b);
    ImmediateBlock* PopFront();
    // Moves every block of this chain in front of dst's.
    void MoveAllToFront(ImmediateChain& dst);
    void DeleteAll();
};

// A delayed task.
struct TaskEntry {
    explicit TaskEntry(const CScopeCall& c) : call(c) {}

    CScopeCall call;      // the queue's own copy; holds its references
    long long delay = 0;  // milliseconds
    DueTime due;
    etask_mode mode = etask_once;
    unsigned int id = 0;
    TaskEntry* prev = nullptr;
    TaskEntry* next = nullptr;
    TaskEntry* hashNext = nullptr;  // chain of its TaskIndex bucket
};

// The queue lock: a mutex that spins briefly before it sleeps. Its critical sections are
// a few pointer moves, so a pusher and the worker that collide are better served by a
// short spin than by a futex sleep and wake-up on every collision.
class TaskLock {
public:
    TaskLock();
    ~TaskLock() { pthread_mutex_destroy(&m_mutex); }
    TaskLock(const TaskLock&) = delete;
    TaskLock& operator=(const TaskLock&) = delete;
    void lock() { pthread_mutex_lock(&m_mutex); }
    void unlock() { pthread_mutex_unlock(&m_mutex); }

private:
    pthread_mutex_t m_mutex;
};
typedef std::lock_guard<TaskLock> TaskLockGuard;

// Index from id to delayed entry: a hash table chained through the entries themselves, so
// a push or a removal allocates nothing (the table itself grows and shrinks by doubling,
// amortised). Ids are handed out in sequence, so `id & mask` spreads them evenly.
class TaskIndex {
public:
    TaskIndex() {}
    ~TaskIndex() { delete[] m_buckets; }
    TaskIndex(const TaskIndex&) = delete;
    TaskIndex& operator=(const TaskIndex&) = delete;

    TaskEntry* Find(unsigned int id) const;
    void Insert(TaskEntry* e);  // e->id is not present
    void Erase(TaskEntry* e);   // e is present
    unsigned int Size() const { return m_count; }

private:
    void Rehash(unsigned int buckets);

    TaskEntry** m_buckets = nullptr;
    unsigned int m_mask = 0;  // bucket count - 1
    unsigned int m_count = 0;
};

// Intrusive doubly linked list of delayed entries; it links entries but does not own them.
struct TaskList {
    unsigned int count = 0;
    TaskEntry* head = nullptr;
    TaskEntry* tail = nullptr;

    // Inserts e before the first entry due later than e (scanning from the tail, where
    // new due times usually land): equal due times keep push order.
    void InsertByDue(TaskEntry* e);
    void Remove(TaskEntry* e);
    TaskEntry* PopFront();
};

struct TaskQueue {
    explicit TaskQueue(const char* name);
    ~TaskQueue();  // destroys every task still queued without running it

    // Give a free id (never 0) to the task and queue it; 0 when 0x7FFFFFFF ids (the
    // reserved 0 included) are in use. PushImmediate takes over call's references.
    unsigned int PushImmediate(CScopeCall& call);
    unsigned int PushDelayed(TaskEntry* e);
    // Applies the pending cancellations and empties the cancel set: cancelled delayed
    // entries are chained through their next pointers into *removed, cancelled immediate
    // calls are moved into *dead; both are destroyed outside the lock. Worker, under the
    // lock.
    void CancelPass(TaskEntry** removed, std::vector<CScopeCall>* dead);
    // Worker, without the lock: the next immediate task to run, or null when `ready` is
    // used up (cancelled tasks are skipped). Used-up blocks go to `spare`.
    ImmediateTask* NextReady();
    // Takes the pending chain over when `ready` is used up, and hands the spare blocks back
    // to the pushers' cache; the blocks beyond the cache's bound are returned for deletion
    // outside the lock. Worker, under the lock.
    ImmediateBlock* Refill();
    // Puts the tasks left in `ready` back at the head of `pending` (the worker ends).
    // Worker, under the lock.
    void ReturnReady();
    // Whether the worker has something to do right now (or the earliest delayed task falls
    // due by `now`). Worker, under the lock.
    bool HasWork(const DueTime& now);

    TaskLock lock;
    ImmediateChain pending;
    ImmediateChain ready;  // worker only
    ImmediateChain spare;  // worker only: used-up blocks, handed back at the next Refill
    ImmediateBlock* freeBlocks = nullptr;  // cache of empty blocks for the pushers
    unsigned int freeCount = 0;
    // Cyclic range holding every pending immediate id (possibly more); empty when !immAny.
    bool immAny = false;
    unsigned int immFirst = 0;
    unsigned int immLast = 0;
    size_t readyMoved = 0;                   // tasks the last Refill moved (counted as in use)
    std::atomic<bool> cancelPending{false};  // set by CancelTask, cleared by CancelPass
    // Bumped (under the lock) by every push and cancel; an idle worker watches it for a
    // moment before it goes to sleep.
    std::atomic<unsigned int> pushes{0};
    TaskList delayed;
    // delayed.count, readable without the lock: the worker skips the clock and the
    // delayed pass while no delayed task exists.
    std::atomic<unsigned int> delayedCount{0};
    std::set<unsigned int> cancels;
    TaskIndex ids;  // delayed entries by id (a running repeating one included)
    unsigned int nextId = 1;
    vn::strutf8 name;

    // The default idle wait (CVNTaskBase::WaitForWork / WakeUp). A wake-up given before
    // the worker waits is kept in wakePending, so it ends the next wait at once.
    std::mutex wakeMutex;
    std::condition_variable wakeCond;
    bool wakePending = false;  // guarded by wakeMutex

private:
    unsigned int AllocId();
};

}  // namespace detail
}  // namespace vn
