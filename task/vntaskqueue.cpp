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

static_assert(sizeof(ImmediateTask) == kCacheLine, "an immediate task is one cache line");
static_assert(sizeof(ImmediateBlock) == 4096, "a block of immediate tasks is one page");

TaskQueue::TaskQueue(const char* n) : tail(new ImmediateBlock), head(tail), name(n) {}

void ImmediateBlock::DestroySlots() {
    const unsigned int n = end.load(std::memory_order_relaxed);
    for (unsigned int i = 0; i < n; ++i)
        At(i)->~ImmediateTask();
    end.store(0, std::memory_order_relaxed);
    next.store(nullptr, std::memory_order_relaxed);
}

TaskQueue::~TaskQueue() {
    // The worker has ended: the chain from head on holds every task not yet taken (and the
    // emptied calls of those taken, whose destruction releases nothing).
    ImmediateBlock* b = head;
    while (b != nullptr) {
        ImmediateBlock* next = b->next.load(std::memory_order_relaxed);
        delete b;  // destroys the tasks left in it, which releases their references
        b = next;
    }
    for (ImmediateBlock* list : {spare, freeBlocks}) {
        while (list != nullptr) {
            ImmediateBlock* next = list->next.load(std::memory_order_relaxed);
            delete list;
            list = next;
        }
    }
    while (TaskEntry* e = delayed.PopFront())
        delete e;
    // Every lent task is gone: the references held for them go too.
    for (const std::pair<CRefCount*, size_t>& r : lentRetired)
        r.first->Release();
    if (lentTarget != nullptr) lentTarget->Release();
}

namespace {
// Whether id lies in the cyclic range [first, last].
bool InRange(unsigned int id, unsigned int first, unsigned int last) {
    return id - first <= last - first;
}

// Empty blocks kept for the pushers (64 KiB); more go back to the allocator.
constexpr unsigned int kFreeBlocksKept = 16;
}  // namespace

unsigned int TaskQueue::AllocId() {
    // The reserved id 0 counts as one id in use.
    const unsigned long long inUse = 1ULL + (immPushed - immRetired) + ids.Size();
    if (inUse >= 0x7FFFFFFFu) return 0;
    // Ids are handed out in increasing order, so the first try nearly always succeeds;
    // after the 32-bit wrap, the reserved 0, the range of pending immediate ids and the
    // delayed ids still in use are skipped. The count check above leaves a free one.
    while (nextId == 0 || (immAny && InRange(nextId, immFirst, immLast)) ||
           ids.Find(nextId) != nullptr)
        ++nextId;
    return nextId++;
}

unsigned int TaskQueue::PushImmediate(const CScopeCall& call) {
    unsigned int id = AllocId();
    if (id == 0) return 0;
    // Lending (see lentTarget): decided before this push counts in immPushed, so that
    // every task of an ended lending lies below the count it is retired with.
    CRefCount* const target = call.getTarget();
    bool lend = target != nullptr && target == lentTarget;
    if (!lend) {
        if (lentTarget != nullptr) {
            if (lentRetired.empty()) lentRetireAt.store(immPushed, std::memory_order_relaxed);
            lentRetired.emplace_back(lentTarget, immPushed);
            lentTarget = nullptr;
        }
        if (target != nullptr && target == lastTarget) {
            target->AddRef();
            lentTarget = target;
            lend = true;
        }
    }
    lastTarget = target;
    if (!immAny) {
        immAny = true;
        immFirst = id;
    }
    immLast = id;
    ++immPushed;
    ImmediateBlock* b = tail;
    const unsigned int end = b->end.load(std::memory_order_relaxed);  // only pushers write it
    // Published with a release store: the worker, which reads `end` with acquire and no
    // lock, then finds the task constructed.
    if (end < ImmediateBlock::kSlots) {
        new (b->At(end)) ImmediateTask(call, id, lend);
        b->end.store(end + 1, std::memory_order_release);
        return id;
    }
    // A new block; after a first burst it comes from the cache. It is filled before it is
    // linked, so the worker never sees it without its first task.
    ImmediateBlock* nb = freeBlocks;
    if (nb != nullptr) {
        freeBlocks = nb->next.load(std::memory_order_relaxed);
        nb->next.store(nullptr, std::memory_order_relaxed);
        --freeCount;
    } else {
        nb = new ImmediateBlock;
    }
    new (nb->At(0)) ImmediateTask(call, id, lend);
    nb->end.store(1, std::memory_order_relaxed);
    b->next.store(nb, std::memory_order_release);
    tail = nb;
    return id;
}

bool TaskQueue::Rearm(unsigned int id, long long delayMs) {
    if (cancels.count(id) != 0) return false;
    TaskEntry* e = ids.Find(id);
    // A repeating entry that is running has left the list but keeps its id.
    if (e == nullptr || (e->prev == nullptr && e->next == nullptr && delayed.head != e)) {
        return false;
    }
    delayed.Remove(e);
    e->delay = delayMs;
    e->due = DueTime::Now().Plus(delayMs);
    delayed.InsertByDue(e);
    PublishDelayed();
    return true;
}

unsigned int TaskQueue::PushDelayed(TaskEntry* e) {
    e->id = AllocId();
    if (e->id == 0) return 0;
    ids.Insert(e);
    delayed.InsertByDue(e);
    PublishDelayed();
    CountPush();
    return e->id;
}

ImmediateTask* TaskQueue::NextReady() {
    for (;;) {
        if (readPos < seenEnd) {
            // The previous task of this block has run and its call was emptied by now.
            ImmediateTask* t = head->At(readPos++);
            ++immTaken;
            if (t->call.getTarget() != nullptr) return t;
            continue;  // cancelled
        }
        seenEnd = head->end.load(std::memory_order_acquire);
        if (readPos < seenEnd) continue;
        if (readPos < ImmediateBlock::kSlots) return nullptr;  // caught up with the pushers
        ImmediateBlock* next = head->next.load(std::memory_order_acquire);
        if (next == nullptr) return nullptr;  // full and used up; the next push links one
        // Used up: nobody else reaches it any more (the pushers moved on to `next`).
        head->DestroySlots();
        head->next.store(spare, std::memory_order_relaxed);
        spare = head;
        head = next;
        readPos = 0;
        seenEnd = 0;
    }
}

void TaskQueue::TakeUnlent(size_t done, std::vector<CRefCount*>* unlent) {
    // Retired in push order, so the ones whose tasks are all done come first.
    size_t n = 0;
    while (n < lentRetired.size() && lentRetired[n].second <= done)
        unlent->push_back(lentRetired[n++].first);
    lentRetired.erase(lentRetired.begin(), lentRetired.begin() + static_cast<ptrdiff_t>(n));
    lentRetireAt.store(lentRetired.empty() ? SIZE_MAX : lentRetired.front().second,
                       std::memory_order_relaxed);
    if (lentTarget != nullptr && done == immPushed) {
        unlent->push_back(lentTarget);
        lentTarget = nullptr;
        lastTarget = nullptr;
    }
}

ImmediateBlock* TaskQueue::Collect(std::vector<CRefCount*>* unlent) {
    // Tasks the worker took have run and were emptied by now.
    TakeUnlent(immTaken, unlent);
    ImmediateBlock* excess = nullptr;
    while (ImmediateBlock* b = spare) {
        spare = b->next.load(std::memory_order_relaxed);
        if (freeCount < kFreeBlocksKept) {
            b->next.store(freeBlocks, std::memory_order_relaxed);
            freeBlocks = b;
            ++freeCount;
        } else {
            b->next.store(excess, std::memory_order_relaxed);
            excess = b;
        }
    }
    immRetired = immTaken;
    if (immTaken == immPushed) {
        immAny = false;  // nothing pending: the range restarts with the next push
    } else {
        // Under the lock the chain is exact: the first task not taken yet opens the range.
        // (readPos == end can only mean a full block whose successor holds it.)
        ImmediateBlock* b = head;
        unsigned int i = readPos;
        if (i >= b->end.load(std::memory_order_relaxed)) {
            b = b->next.load(std::memory_order_relaxed);
            i = 0;
        }
        immFirst = b->At(i)->id;
    }
    return excess;
}

ImmediateTask* TaskQueue::FindUntaken(unsigned int id) {
    unsigned int i = readPos;
    for (ImmediateBlock* b = head; b != nullptr; b = b->next.load(std::memory_order_relaxed)) {
        const unsigned int end = b->end.load(std::memory_order_relaxed);
        for (; i < end; ++i) {
            ImmediateTask* t = b->At(i);
            if (t->id == id && t->call.getTarget() != nullptr) return t;
        }
        i = 0;
    }
    return nullptr;
}

void TaskQueue::CancelPass(TaskEntry** removed, std::vector<CScopeCall>* dead) {
    for (unsigned int id : cancels) {
        if (TaskEntry* e = ids.Find(id)) {
            delayed.Remove(e);
            ids.Erase(e);
            e->next = *removed;
            *removed = e;
        } else if (immAny && InRange(id, immFirst, immLast)) {
            // Rare (immediate tasks are seldom cancelled): search what the worker has not
            // taken yet; the slot stays, with an empty call that the worker skips.
            if (ImmediateTask* t = FindUntaken(id)) dead->push_back(t->TakeCall());
        }
        // Otherwise the task ran already, or never existed.
    }
    cancels.clear();
    cancelPending.store(false, std::memory_order_relaxed);
    PublishDelayed();
}

}  // namespace detail
}  // namespace vn
