// The task queue of one CVNTaskBase (see vntaskqueue_internal.h). Its functions run with
// the queue's lock held, except the worker-only ones the header marks "without the lock".
#include "task/vntaskqueue_internal.h"

#include <time.h>

#include <iterator>
#include <new>

#include "common/vnexport.h"

namespace vn {
namespace detail {

namespace {
constexpr unsigned int kMinBuckets = 64;  // first size of the delayed-task index
}  // namespace

DueTime DueTime::Now() {
    // Due times follow the monotonic clock: a wall-clock step (NTP, the user changing the
    // time) must neither fire every delayed task at once nor stall them for hours.
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    DueTime t;
    t.sec = static_cast<long long>(ts.tv_sec);
    t.usec = static_cast<int>(ts.tv_nsec / 1000);
    return t;
}

DueTime DueTime::Plus(long long delayMs) const {
    DueTime t = *this;
    t.sec += delayMs / 1000;
    t.usec += static_cast<int>(delayMs % 1000) * 1000;
    if (t.usec >= 1000000) {
        t.sec += 1;
        t.usec -= 1000000;
    } else if (t.usec < 0) {
        t.sec -= 1;
        t.usec += 1000000;
    }
    return t;
}

long long DueTime::UsecUntil(const DueTime& later) const {
    return (later.sec - sec) * 1000000LL + (later.usec - usec);
}

void TaskList::InsertByDue(TaskEntry* e) {
    // The entries after p are exactly those due later than e, so e lands before the
    // first of them and after every entry with an equal due time.
    TaskEntry* p = tail;
    while (p != nullptr && p->due.After(e->due))
        p = p->prev;
    e->prev = p;
    e->next = p != nullptr ? p->next : head;
    if (e->next != nullptr) {
        e->next->prev = e;
    } else {
        tail = e;
    }
    if (p != nullptr) {
        p->next = e;
    } else {
        head = e;
    }
    ++count;
}

void TaskList::Remove(TaskEntry* e) {
    // The analyzer cannot see that a removed entry is unlinked before it is freed.
    // NOLINTNEXTLINE(clang-analyzer-cplusplus.NewDelete)
    if (e->prev != nullptr) {
        e->prev->next = e->next;
    } else {
        head = e->next;
    }
    if (e->next != nullptr) {
        e->next->prev = e->prev;
    } else {
        tail = e->prev;
    }
    e->prev = e->next = nullptr;
    --count;
}

TaskEntry* TaskList::PopFront() {
    TaskEntry* e = head;
    if (e != nullptr) Remove(e);
    return e;
}

TaskLock::TaskLock() {
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_ADAPTIVE_NP);
    pthread_mutex_init(&m_mutex, &attr);
    pthread_mutexattr_destroy(&attr);
}

TaskEntry* TaskIndex::Find(unsigned int id) const {
    if (m_buckets == nullptr) return nullptr;
    TaskEntry* e = m_buckets[id & m_mask];
    while (e != nullptr && e->id != id)
        e = e->hashNext;
    return e;
}

void TaskIndex::Insert(TaskEntry* e) {
    if (m_count >= m_mask + 1 || m_buckets == nullptr)
        Rehash(m_buckets == nullptr ? kMinBuckets : (m_mask + 1) * 2);
    TaskEntry** head = &m_buckets[e->id & m_mask];
    e->hashNext = *head;
    *head = e;
    ++m_count;
}

void TaskIndex::Erase(TaskEntry* e) {
    TaskEntry** link = &m_buckets[e->id & m_mask];
    while (*link != e)
        link = &(*link)->hashNext;
    *link = e->hashNext;
    e->hashNext = nullptr;
    --m_count;
    // Give back what a burst of queued tasks made the table grow to.
    if (m_mask + 1 > kMinBuckets && m_count < (m_mask + 1) / 8) Rehash((m_mask + 1) / 2);
}

void TaskIndex::Rehash(unsigned int buckets) {
    TaskEntry** table = new (std::nothrow) TaskEntry*[buckets]();
    if (table == nullptr) {
        // Out of memory: the current table keeps working with longer chains.
        VN_CHECK(m_buckets != nullptr);
        return;
    }
    unsigned int mask = buckets - 1;
    for (unsigned int i = 0; m_buckets != nullptr && i <= m_mask; ++i) {
        TaskEntry* e = m_buckets[i];
        while (e != nullptr) {
            TaskEntry* next = e->hashNext;
            e->hashNext = table[e->id & mask];
            table[e->id & mask] = e;
            e = next;
        }
    }
    delete[] m_buckets;
    m_buckets = table;
    m_mask = mask;
}

TaskQueue::TaskQueue(const char* n) : name(n) {}

void ImmediateBlock::DestroySlots() {
    for (unsigned int i = 0; i < end; ++i)
        At(i)->~ImmediateTask();
    begin = end = 0;
}

void ImmediateChain::Append(ImmediateBlock* b) {
    b->next = nullptr;
    if (tail != nullptr) {
        tail->next = b;
    } else {
        head = b;
    }
    tail = b;
}

ImmediateBlock* ImmediateChain::PopFront() {
    ImmediateBlock* b = head;
    if (b != nullptr) {
        head = b->next;
        if (head == nullptr) tail = nullptr;
        b->next = nullptr;
    }
    return b;
}

void ImmediateChain::MoveAllToFront(ImmediateChain& dst) {
    if (head == nullptr) return;
    tail->next = dst.head;
    if (dst.tail == nullptr) dst.tail = tail;
    dst.head = head;
    dst.count += count;
    head = tail = nullptr;
    count = 0;
}

void ImmediateChain::DeleteAll() {
    while (ImmediateBlock* b = PopFront())
        delete b;  // destroys the tasks left in it, which releases their references
    count = 0;
}

TaskQueue::~TaskQueue() {
    ready.DeleteAll();
    pending.DeleteAll();
    spare.DeleteAll();
    while (ImmediateBlock* b = freeBlocks) {
        freeBlocks = b->next;
        delete b;
    }
    while (TaskEntry* e = delayed.PopFront())
        delete e;
}

namespace {
// Whether id lies in the cyclic range [first, last].
bool InRange(unsigned int id, unsigned int first, unsigned int last) {
    return id - first <= last - first;
}

// Empty blocks kept for the pushers (about 64 KiB); more go back to the allocator.
constexpr unsigned int kFreeBlocksKept = 16;

// The first live task of a chain from its blocks' `begin` on, or null.
ImmediateTask* FindInChain(ImmediateChain& chain, unsigned int id) {
    for (ImmediateBlock* b = chain.head; b != nullptr; b = b->next) {
        for (unsigned int i = b->begin; i < b->end; ++i) {
            ImmediateTask* t = b->At(i);
            if (t->id == id && t->call.getTarget() != nullptr) return t;
        }
    }
    return nullptr;
}
}  // namespace

unsigned int TaskQueue::AllocId() {
    // The reserved id 0 counts as one id in use.
    const unsigned long long inUse = 1ULL + pending.count + readyMoved + ids.Size();
    if (inUse >= 0x7FFFFFFFu) return 0;
    // Ids are handed out in increasing order, so the first try nearly always succeeds;
    // after the 32-bit wrap, the reserved 0, the range of pending immediate ids and the
    // delayed ids still in use are skipped. The count check above leaves a free one.
    while (nextId == 0 || (immAny && InRange(nextId, immFirst, immLast)) ||
           ids.Find(nextId) != nullptr)
        ++nextId;
    return nextId++;
}

unsigned int TaskQueue::PushImmediate(CScopeCall& call) {
    unsigned int id = AllocId();
    if (id == 0) return 0;
    ImmediateBlock* b = pending.tail;
    if (b == nullptr || b->end == ImmediateBlock::kSlots) {
        // One block per 63 tasks; after a first burst it comes from the cache.
        b = freeBlocks;
        if (b != nullptr) {
            freeBlocks = b->next;
            --freeCount;
        } else {
            b = new ImmediateBlock;
        }
        pending.Append(b);
    }
    if (!immAny) {
        immAny = true;
        immFirst = id;
    }
    immLast = id;
    new (b->At(b->end)) ImmediateTask(static_cast<CScopeCall&&>(call), id);
    ++b->end;
    ++pending.count;
    pushes.store(pushes.load(std::memory_order_relaxed) + 1, std::memory_order_release);
    return id;
}

unsigned int TaskQueue::PushDelayed(TaskEntry* e) {
    e->id = AllocId();
    if (e->id == 0) return 0;
    ids.Insert(e);
    delayed.InsertByDue(e);
    delayedCount.store(delayed.count, std::memory_order_relaxed);
    pushes.store(pushes.load(std::memory_order_relaxed) + 1, std::memory_order_release);
    return e->id;
}

ImmediateTask* TaskQueue::NextReady() {
    while (ImmediateBlock* b = ready.head) {
        while (b->begin < b->end) {
            // A returned task stays constructed (the caller empties its call after the
            // run) until its block is used up; a cancelled one is skipped.
            ImmediateTask* t = b->At(b->begin++);
            if (t->call.getTarget() != nullptr) return t;
        }
        // Used up: the previous task of this block has run by now.
        ready.PopFront();
        b->DestroySlots();
        spare.Append(b);
    }
    return nullptr;
}

ImmediateBlock* TaskQueue::Refill() {
    ImmediateBlock* excess = nullptr;
    while (ImmediateBlock* b = spare.PopFront()) {
        if (freeCount < kFreeBlocksKept) {
            b->next = freeBlocks;
            freeBlocks = b;
            ++freeCount;
        } else {
            b->next = excess;
            excess = b;
        }
    }
    if (ready.head != nullptr) return excess;  // not used up yet
    readyMoved = pending.count;
    ImmediateTask* first = nullptr;
    for (ImmediateBlock* b = pending.head; b != nullptr && first == nullptr; b = b->next) {
        if (b->begin < b->end) first = b->At(b->begin);
    }
    if (first == nullptr) {
        immAny = false;  // nothing pending: the range restarts with the next push
    } else {
        immFirst = first->id;
    }
    ready = pending;
    pending = ImmediateChain();
    return excess;
}

void TaskQueue::ReturnReady() {
    ready.MoveAllToFront(pending);
    readyMoved = 0;
}

void TaskQueue::CancelPass(TaskEntry** removed, std::vector<CScopeCall>* dead) {
    for (unsigned int id : cancels) {
        if (TaskEntry* e = ids.Find(id)) {
            delayed.Remove(e);
            ids.Erase(e);
            e->next = *removed;
            *removed = e;
        } else if (immAny && InRange(id, immFirst, immLast)) {
            // Rare (immediate tasks are seldom cancelled): search both chains; the slot
            // stays, with an empty call that the worker skips.
            ImmediateTask* t = FindInChain(ready, id);
            if (t == nullptr) t = FindInChain(pending, id);
            if (t != nullptr) dead->push_back(static_cast<CScopeCall&&>(t->call));
        }
        // Otherwise the task ran already, or never existed.
    }
    cancels.clear();
    cancelPending.store(false, std::memory_order_relaxed);
    delayedCount.store(delayed.count, std::memory_order_relaxed);
}

bool TaskQueue::HasWork(const DueTime& now) {
    for (ImmediateBlock* b = ready.head; b != nullptr; b = b->next) {
        for (unsigned int i = b->begin; i < b->end; ++i) {
            if (b->At(i)->call.getTarget() != nullptr) return true;
        }
    }
    return pending.head != nullptr || !cancels.empty() ||
           (delayed.head != nullptr && !delayed.head->due.After(now));
}

}  // namespace detail
}  // namespace vn
