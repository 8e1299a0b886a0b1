// Public header (part of vnbase.h).
// Reference-counted bases. CRefCount counts with plain integer arithmetic and belongs
// to one thread at a time; CRefCountSafe counts atomically and may be shared between
// threads. Both start at 1: the creator owns the first reference and releases it.
//
// Thread safety: CRefCount objects are used by one thread at a time (or handed over
// under a lock); AddRef and Release of a CRefCountSafe are safe from any thread.
//   CRefCountSafe* shared = new CRefCountSafe;   // count 1, the creator's reference
//   shared->AddRef();                            // 2: another holder
//   shared->Release(); shared->Release();        // 0: deleted by the second Release
#pragma once

#include <atomic>

#include "common/vnexport.h"

class VN_EXPORT CRefCount {
public:
    virtual ~CRefCount();

    // Adds one; returns the new count.
    virtual int AddRef() const;
    // Subtracts one; when the count was 1 deletes the object and returns 1, else 0.
    virtual unsigned char Release() const;
    // The object to use as a call target on its own behalf: the object itself.
    virtual CRefCount* SafeInstance();
    // Whether calls targeted at this object may run: 1.
    virtual unsigned char IsValid();

    int RefCount() const { return m_nRefCount.load(std::memory_order_relaxed); }

protected:
    CRefCount() : m_nRefCount(1) {}
    // Copies take the count member-wise (they do not reset it to 1).
    CRefCount(const CRefCount& other) : m_nRefCount(other.RefCount()) {}
    CRefCount& operator=(const CRefCount& other) {
        m_nRefCount.store(other.RefCount(), std::memory_order_relaxed);
        return *this;
    }

    // Atomic storage for both classes, so that reading the count of a shared object
    // is never a data race; CRefCount itself only loads and stores it (no atomic add).
    mutable std::atomic<int> m_nRefCount;
};

class VN_EXPORT CRefCountSafe : public CRefCount {
public:
    CRefCountSafe() {}
    CRefCountSafe(const CRefCountSafe& other) : CRefCount(other) {}
    CRefCountSafe& operator=(const CRefCountSafe& other) {
        CRefCount::operator=(other);
        return *this;
    }
    ~CRefCountSafe() override;

    // Atomic fetch-and-add: returns the previous value plus one.
    int AddRef() const override;
    // Atomic fetch-and-sub: deletes the object (returns 1) exactly when the value before
    // the decrement was 1.
    unsigned char Release() const override;
};
