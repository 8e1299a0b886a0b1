// The task queue of one CVNTaskBase (see vntaskqueue_internal.h). Every function here
// runs with the owning task's lock held.
#include "task/vntaskqueue_internal.h"

#include <time.h>

#include <iterator>
#include <new>

#include "base/vnexport.h"

namespace vn {
namespace detail {

namespace {
constexpr unsigned int kMinBuckets = 256;
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

TaskQueue::~TaskQueue() {
    while (TaskEntry* e = delayed.PopFront())
        delete e;
}

namespace {
// Whether id lies in the cyclic range [first, last].
bool InRange(unsigned int id, unsigned int first, unsigned int last) {
    return id - first <= last - first;
}

// `ready` capacity kept across bursts; beyond it, memory goes back once a batch used
// less than a quarter of it.
constexpr size_t kKeptCapacity = 4096;
}  // namespace

unsigned int TaskQueue::AllocId() {
    // The reserved id 0 counts as one id in use.
    const unsigned long long inUse = 1ULL + pending.size() + readyMoved + ids.Size();
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
    if (!immAny) {
        immAny = true;
        immFirst = id;
    }
    immLast = id;
    pending.emplace_back(static_cast<CScopeCall&&>(call), id);
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
    while (readyPos < ready.size()) {
        ImmediateTask* t = &ready[readyPos++];
        if (t->call.getTarget() != nullptr) return t;  // else cancelled
    }
    return nullptr;
}

void TaskQueue::ClearReady() {
    const size_t used = ready.size();
    ready.clear();
    readyPos = 0;
    if (ready.capacity() > kKeptCapacity && used < ready.capacity() / 4) {
        std::vector<ImmediateTask>().swap(ready);
    }
}

void TaskQueue::Refill() {
    if (!ready.empty()) return;  // not used up (and cleared) yet
    readyMoved = pending.size();
    if (pending.empty()) {
        immAny = false;  // nothing pending: the range restarts with the next push
        return;
    }
    immFirst = pending.front().id;
    ready.swap(pending);  // `ready` was cleared by ClearReady
    readyPos = 0;
}

void TaskQueue::ReturnReady() {
    if (readyPos < ready.size()) {
        pending.insert(pending.begin(), std::make_move_iterator(ready.begin() + readyPos),
                       std::make_move_iterator(ready.end()));
    }
    ready.clear();
    readyPos = 0;
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
            // Rare (immediate tasks are seldom cancelled): search both vectors; the slot
            // stays, with an empty call that the worker skips.
            ImmediateTask* found = nullptr;
            for (size_t i = readyPos; i < ready.size() && found == nullptr; ++i) {
                if (ready[i].id == id && ready[i].call.getTarget() != nullptr) found = &ready[i];
            }
            for (size_t i = 0; i < pending.size() && found == nullptr; ++i) {
                if (pending[i].id == id && pending[i].call.getTarget() != nullptr) {
                    found = &pending[i];
                }
            }
            if (found != nullptr) dead->push_back(static_cast<CScopeCall&&>(found->call));
        }
        // Otherwise the task ran already, or never existed.
    }
    cancels.clear();
    cancelPending.store(false, std::memory_order_relaxed);
    delayedCount.store(delayed.count, std::memory_order_relaxed);
}

bool TaskQueue::HasWork(const DueTime& now) {
    for (size_t i = readyPos; i < ready.size(); ++i) {
        if (ready[i].call.getTarget() != nullptr) return true;
    }
    return !pending.empty() || !cancels.empty() ||
           (delayed.head != nullptr && !delayed.head->due.After(now));
}

}  // namespace detail
}  // namespace vn
