// Reference-counted bases (see vnrefcount.h).
#include "task/vnrefcount.h"

CRefCount::~CRefCount() {}

int CRefCount::AddRef() const {
    // One thread at a time: a load and a store, no locked instruction.
    int n = m_nRefCount.load(std::memory_order_relaxed) + 1;
    m_nRefCount.store(n, std::memory_order_relaxed);
    return n;
}

unsigned char CRefCount::Release() const {
    int before = m_nRefCount.load(std::memory_order_relaxed);
    m_nRefCount.store(before - 1, std::memory_order_relaxed);
    if (before == 1) {
        delete this;
        return 1;
    }
    return 0;
}

CRefCount* CRefCount::SafeInstance() {
    return this;
}

unsigned char CRefCount::IsValid() {
    return 1;
}

CRefCountSafe::~CRefCountSafe() {}

int CRefCountSafe::AddRef() const {
    // Taking a new reference needs no ordering: the caller already holds one.
    return m_nRefCount.fetch_add(1, std::memory_order_relaxed) + 1;
}

unsigned char CRefCountSafe::Release() const {
    // Release ordering publishes this holder's writes; the acquire on the last
    // decrement makes all of them visible to the destructor.
    if (m_nRefCount.fetch_sub(1, std::memory_order_acq_rel) == 1) {
        delete this;
        return 1;
    }
    return 0;
}
