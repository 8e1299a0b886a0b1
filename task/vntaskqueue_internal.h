// Internal header (not installed): the task queue of one CVNTaskBase.
//
// Immediate tasks: one chain of fixed-size blocks (4 KiB, a cache line per task). Pushers
// append under the lock and publish each task with a release store of its block's `end`
// (and a new block through the full one's `next`); the worker alone walks the chain from
// its read position and runs what is published, one task per loop iteration, without the
// lock. So a pusher and a busy worker rarely meet on the lock: the worker takes it only to
// hand used-up blocks back to the pushers' cache (once per 63 tasks), to apply
// cancellations, to take a due delayed task, and once on its way to sleep (the check that
// pairs with the pushers' look at its idle flag). A steady stream of tasks allocates
// nothing and a burst never reallocates or copies a big array. Tasks the worker did not
// reach when it stopped simply stay in the chain for the next Start.
//
// Immediate ids are not indexed: they are handed out in increasing order and the tasks
// leave in the same order, so every pending immediate id lies in the cyclic range
// [immFirst, immLast] (refreshed whenever the worker hands blocks back; between two
// refreshes it may also cover tasks that already ran, which only makes it larger);
// cancelling an id of that range searches the unread part of the chain and empties the
// call in place (the worker skips it), and after the 32-bit id wrap a new id skips the
// whole range.
//
// Delayed tasks: heap entries in a doubly linked list sorted by due time (push order kept
// for equal times), found by id through a hash index; they are long-lived and often
// cancelled (timers). Id 0 counts as permanently in use, so it is never handed out.
// Delayed pushes and cancels bump `pushes`; the worker takes the lock for them only when
// that count moved since its last take, and reads the clock only while a delayed task
// exists (the earliest due time is mirrored in `headDueUs`).
//
// Memory layout: what the pushers write on every push, what the worker reads on every
// iteration and what only the worker touches sit on separate cache lines, so a worker
// draining its queue does not fight a pusher filling it for the same line.
//
// Thread safety: the members are guarded by `lock`, except the atomics and those marked
// "worker only"; pushers and the worker hold the lock only while moving tasks, never while
// a call runs. A cancellation is applied by the worker at the start of an iteration:
// CancelTask sets cancelPending, and an iteration that sees it takes the lock and applies
// the cancel set before it takes a task, so the task does not run.
#pragma once

#include <stdint.h>

#include <pthread.h>

#include <atomic>
#include <climits>
#include <mutex>
#include <set>
#include <vector>

#include "common/vnstring.h"
#include "task/vnscopecall.h"
#include "task/vntask.h"
#include "task/vnwaitword_internal.h"

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
    // The point as microseconds of the monotonic clock.
    long long Usec() const { return sec * 1000000LL + usec; }
    bool After(const DueTime& o) const { return sec > o.sec || (sec == o.sec && usec > o.usec); }
};

// Cache line size assumed for the layout below (x86-64, and most ARM cores).
constexpr size_t kCacheLine = 64;

// An immediate task: one cache line. A cancelled one keeps its place with an empty call.
// A lent task's call holds no reference on its target: the queue holds one for all the
// tasks lent that target (TaskQueue::lentTarget), so it never releases that target itself.
struct alignas(kCacheLine) ImmediateTask {
    ImmediateTask(const CScopeCall& c, unsigned int i, bool l)
        : call(l ? CScopeCall(c, CScopeCall::LentTarget()) : CScopeCall(c)), id(i), lent(l) {}
    ~ImmediateTask() { Empty(); }
    ImmediateTask(const ImmediateTask&) = delete;
    ImmediateTask& operator=(const ImmediateTask&) = delete;
    // Empties the call, releasing what it holds (for a lent one, its argument only).
    void Empty() {
        if (lent) call.ForgetLentTarget();
        call = CScopeCall();
    }
    // Moves the call out for destruction elsewhere; the task stays, empty.
    CScopeCall TakeCall() {
        if (lent) call.ForgetLentTarget();
        return static_cast<CScopeCall&&>(call);
    }
    CScopeCall call;  // the queue's own copy; holds its references (see above)
    unsigned int id;
    bool lent;
};

// A block of immediate tasks, 4 KiB: 63 task lines, then one line for the links that
// pushers publish. Slots [0, end) hold constructed tasks.
struct alignas(kCacheLine) ImmediateBlock {
    static constexpr unsigned int kSlots = 63;

    ImmediateBlock() {}
    ~ImmediateBlock() { DestroySlots(); }
    ImmediateBlock(const ImmediateBlock&) = delete;
    ImmediateBlock& operator=(const ImmediateBlock&) = delete;

    ImmediateTask* At(unsigned int i) { return reinterpret_cast<ImmediateTask*>(m_storage) + i; }
    // Destroys the tasks of [0, end) and empties the block for reuse. Only while no other
    // thread can reach the block.
    void DestroySlots();

private:
    alignas(ImmediateTask) unsigned char m_storage[kSlots * sizeof(ImmediateTask)];

public:
    // Written by pushers under the lock, read by the worker without it (acquire).
    alignas(kCacheLine) std::atomic<unsigned int> end{0};  // slots published
    std::atomic<ImmediateBlock*> next{nullptr};            // published once this one is full
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
    // reserved 0 included) are in use. PushImmediate queues a copy of call (taking its
    // references) only when it succeeds; PushDelayed takes e over only then.
    unsigned int PushImmediate(const CScopeCall& call);
    unsigned int PushDelayed(TaskEntry* e);
    // Moves the delayed entry id, while it waits in the list, to delayMs from now; false
    // when it is not waiting there (running, gone, or its cancellation pending). The new
    // due time must not be earlier: nothing tells a sleeping worker. Under the lock.
    bool Rearm(unsigned int id, long long delayMs);
    // Applies the pending cancellations and empties the cancel set: cancelled delayed
    // entries are chained through their next pointers into *removed, cancelled immediate
    // calls are moved into *dead; both are destroyed outside the lock. Worker, under the
    // lock.
    void CancelPass(TaskEntry** removed, std::vector<CScopeCall>* dead);
    // Worker, without the lock: the next published immediate task, or null when the worker
    // has caught up with the pushers (cancelled tasks are skipped). The caller runs it and
    // empties its call before it asks for the next one. Used-up blocks go to `spare`.
    ImmediateTask* NextReady();
    // Whether a published immediate task waits for the worker (cancelled ones count too).
    // Worker only; `order` acquire without the lock, relaxed under it.
    bool ImmediatePublished(std::memory_order order) const {
        if (head->end.load(order) > readPos) return true;
        return readPos == ImmediateBlock::kSlots && head->next.load(order) != nullptr;
    }
    // Hands the used-up blocks back to the pushers' cache and refreshes the in-use count
    // and the range of pending immediate ids; the blocks beyond the cache's bound are
    // returned for deletion outside the lock. Lent references that no task still queued
    // uses are appended to *unlent, to be released outside the lock. Worker, under the
    // lock.
    ImmediateBlock* Collect(std::vector<CRefCount*>* unlent);
    // Appends to *unlent the lent references that no task after the first `done` ones
    // uses (see lentTarget); `done` counts the tasks that ran (or were skipped) and were
    // emptied. Worker, under the lock.
    void TakeUnlent(size_t done, std::vector<CRefCount*>* unlent);
    // Counts a delayed push or a cancel: the worker compares the count with `seenPushes`.
    // Under the lock.
    void CountPush() {
        pushes.store(pushes.load(std::memory_order_relaxed) + 1, std::memory_order_release);
    }
    // Mirrors the delayed list's size and earliest due time into the atomics the worker
    // reads without the lock. Under the lock, after every change of the delayed list.
    void PublishDelayed() {
        delayedCount.store(delayed.count, std::memory_order_relaxed);
        headDueUs.store(delayed.head != nullptr ? delayed.head->due.Usec() : LLONG_MAX,
                        std::memory_order_release);
    }

    // ---- the pushers' side: guarded by `lock`, written on every push
    alignas(kCacheLine) TaskLock lock;
    ImmediateBlock* tail;                  // the block pushers append to
    ImmediateBlock* freeBlocks = nullptr;  // cache of empty blocks for the pushers
    unsigned int freeCount = 0;
    // Cyclic range holding every pending immediate id (possibly more); empty when !immAny.
    bool immAny = false;
    unsigned int immFirst = 0;
    unsigned int immLast = 0;
    unsigned int nextId = 1;
    // Immediate tasks pushed, and those the worker had taken as of its last Collect: the
    // difference counts as in use.
    size_t immPushed = 0;
    size_t immRetired = 0;
    // Lending. A call copied into the queue takes a reference on its target, and the
    // worker's release of it comes back to the same count: a pusher feeding a busy worker
    // on another core waited for that line on every push. Once two pushes in a row name
    // one target, the queue takes one reference on it and the following calls for it hold
    // none of their own, until a push names another target: the lending then ends, and
    // the reference goes to lentRetired with the push count its tasks lie below. The
    // worker releases it before it runs the first task past them, so a target is let go
    // no later than it would have been by the last of its calls; a reference still lent
    // when the queue runs empty is released before the worker sleeps.
    CRefCount* lastTarget = nullptr;  // the target of the last push; no reference
    CRefCount* lentTarget = nullptr;  // one reference held, or null

    // ---- read by the worker on every iteration, written only by delayed pushes, cancels
    // and changes of the delayed list (under the lock)
    alignas(kCacheLine) std::atomic<bool> cancelPending{false};  // cleared by CancelPass
    // delayed.count, readable without the lock: the worker skips the clock and the
    // delayed pass while no delayed task exists.
    std::atomic<unsigned int> delayedCount{0};
    // Due time of delayed.head in microseconds of the monotonic clock, LLONG_MAX when
    // there is none: the worker takes the lock for the delayed pass only when it is due,
    // and bounds its idle wait with it.
    std::atomic<long long> headDueUs{LLONG_MAX};
    // Bumped by every delayed push and cancel (CountPush).
    std::atomic<unsigned int> pushes{0};
    // The push count of the first entry of lentRetired, SIZE_MAX when it is empty: the
    // worker takes the lock to release it once it reaches a task at or past it.
    std::atomic<size_t> lentRetireAt{SIZE_MAX};

    // ---- the worker's own
    alignas(kCacheLine) ImmediateBlock* head;  // worker only: the block it reads
    unsigned int readPos = 0;                  // worker only: next slot of head to take
    unsigned int seenEnd = 0;                  // worker only: head->end as last read
    ImmediateBlock* spare = nullptr;           // worker only: used-up blocks, for Collect
    size_t immTaken = 0;                       // worker only: slots taken (run or skipped)
    size_t takenAtIdle = 0;                    // worker only: immTaken when it last went idle
    unsigned int seenPushes = 0;  // worker only: `pushes` as of its last take of the lock

    // ---- rarely touched: delayed tasks, cancellations (guarded by `lock`)
    alignas(kCacheLine) TaskList delayed;
    std::set<unsigned int> cancels;
    // Targets no longer lent, each with one reference held until the worker has taken the
    // tasks pushed before it stopped being lent (immPushed at that moment).
    std::vector<std::pair<CRefCount*, size_t>> lentRetired;
    TaskIndex ids;  // delayed entries by id (a running repeating one included)
    vn::strutf8 name;

    // The default idle wait (CVNTaskBase::WaitForWork / WakeUp).
    alignas(kCacheLine) WaitWord wake;

private:
    unsigned int AllocId();
    // The first task with this id that the worker has not taken yet and that was not
    // cancelled, or null. Worker, under the lock.
    ImmediateTask* FindUntaken(unsigned int id);
};

}  // namespace detail
}  // namespace vn
