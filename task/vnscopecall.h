// Public header (part of vnbase.h).
// CScopeCall: a one-argument call bound to an object and gated by a reference-counted
// target whose liveness (IsValid) is asked just before the call runs. It is the unit of
// work that task threads queue (task/vntask.h). CScopeHolder: the small liveness handle
// an owner creates for itself and clears in its destructor, so that calls still queued
// for a dead owner find it invalid and do not run.
//
// Thread safety: a CScopeCall is not locked; task queues copy it under their own lock
// and the running thread owns its copy. Copies change the counts of the target and the
// argument (atomically for CRefCountSafe). A CScopeHolder is read by the thread that
// runs the calls and cleared by its owner; m_pHeld is atomic.
//   m_pHolder = new CScopeHolder<CMyOwner, 0, CRefCountSafe>(this);       // owner's constructor
//   CVNTaskBase::PushTask(m_pTask, CScopeCall(m_pHolder, this, &CMyOwner::OnWork, arg));
//   m_pHolder->Clear(); m_pHolder->Release();                             // first in ~CMyOwner
#pragma once

#include <atomic>
#include <type_traits>

#include "common/vnexport.h"
#include "task/vnrefcount.h"

namespace vn {
namespace detail {
struct ImmediateTask;
}  // namespace detail
}  // namespace vn

class VN_EXPORT CScopeCall {
public:
    // A plain function bound instead of a member: fn(object, arg).
    typedef int (*PlainFunction)(void* object, CRefCount* arg);

    // All fields null. Running it returns 9; pushing it to a task is refused.
    CScopeCall();

    // Binds object->*method(arg), gated by target. Takes one reference on target and one
    // on arg (each when non-null). When result is non-null the call's result is stored
    // there after each run. The method may belong to a base class of T.
    template <class T, class U>
    CScopeCall(CRefCount* target, T* object, int (U::*method)(CRefCount*), CRefCount* arg = nullptr,
               int* result = nullptr)
        : m_pTarget(target),
          m_pObject(static_cast<U*>(object)),
          m_pArg(arg),
          m_pResult(result),
          m_pfnThunk(&CallMember<U>) {
        static_assert(std::is_base_of<U, T>::value || std::is_same<U, T>::value,
                      "the method must belong to the object's class or one of its bases");
        m_callee.member = reinterpret_cast<Method>(method);
        TakeReferences();
    }

    // Binds fn(object, arg), gated by target; references as above.
    CScopeCall(CRefCount* target, void* object, PlainFunction fn, CRefCount* arg = nullptr,
               int* result = nullptr);

    // Copies the fields, then AddRef on the target and the argument (when non-null).
    CScopeCall(const CScopeCall& other);
    // AddRef on the source's target and argument first, then Release of its own, then
    // copies: self-assignment leaves every count unchanged.
    CScopeCall& operator=(const CScopeCall& other);
    // Take over the source's references without touching any count; the source is left
    // empty (as if default-constructed).
    CScopeCall(CScopeCall&& other) noexcept;
    CScopeCall& operator=(CScopeCall&& other) noexcept;
    // Release of the target, then of the argument (when non-null).
    ~CScopeCall();

    // AddRef on the new argument, then Release of the old one, then stores the new one.
    void setArg(CRefCount* arg);
    CRefCount* getArg() const { return m_pArg; }
    CRefCount* getTarget() const { return m_pTarget; }

    // Runs the call: 9 without calling anything when the target is null or its IsValid()
    // answers 0 (the result place is then left alone); otherwise the bound call's result,
    // also stored through the result pointer when one was given.
    int operator()();

private:
    // The task queue keeps one reference on a target that many queued calls share and
    // lends it to their copies (task/vntaskqueue_internal.h).
    friend struct vn::detail::ImmediateTask;
    struct LentTarget {};
    // A copy that uses the source's target without a reference of its own (one on the
    // argument, as any copy); the lender keeps the target alive while the copy lives.
    CScopeCall(const CScopeCall& other, LentTarget);
    // Lets go of a lent target without releasing it; the argument stays.
    void ForgetLentTarget() { m_pTarget = nullptr; }

    class CUnknown;  // never defined: the erased class of the bound method
    typedef int (CUnknown::*Method)(CRefCount*);
    union Callee {
        Method member;
        PlainFunction function;
    };
    typedef int (*Thunk)(void* object, const Callee& callee, CRefCount* arg);

    // Converting a pointer to member function to another such type and back yields the
    // original value, so the erased method is cast back to U's before the call.
    template <class U>
    static int CallMember(void* object, const Callee& callee, CRefCount* arg) {
        int (U::*method)(CRefCount*) = reinterpret_cast<int (U::*)(CRefCount*)>(callee.member);
        return (static_cast<U*>(object)->*method)(arg);
    }
    static int CallFunction(void* object, const Callee& callee, CRefCount* arg);
    void TakeReferences();

    CRefCount* m_pTarget;  // liveness gate; one reference held
    void* m_pObject;       // not counted
    Callee m_callee;       // the bound method (or plain function)
    CRefCount* m_pArg;     // one reference held, or null
    int* m_pResult;        // optional result place
    Thunk m_pfnThunk;      // restores the bound method's type; null in an empty call
};

// Liveness handle of an owner T. The owner creates it in its constructor holding itself,
// uses it as the target of every call it posts for itself, and clears it first thing in
// its destructor before releasing it; queued calls keep the holder (not the owner) alive
// and find it invalid. Every use in the system has N = 0 and Base = CRefCountSafe.
template <class T, int N = 0, class Base = CRefCountSafe>
class CScopeHolder : public Base {
public:
    explicit CScopeHolder(T* held) : m_pHeld(held) {}

    // A holder never stands for itself as a call target.
    CRefCount* SafeInstance() override { return nullptr; }
    // 1 while the owner lives (m_pHeld non-null).
    unsigned char IsValid() override {
        return m_pHeld.load(std::memory_order_acquire) != nullptr ? 1 : 0;
    }
    T* Get() const { return m_pHeld.load(std::memory_order_acquire); }
    // Called by the owner's destructor, before it releases its reference.
    void Clear() { m_pHeld.store(nullptr, std::memory_order_release); }

    // The owner; atomic because the thread that runs queued calls reads it while the
    // owner may be clearing it.
    std::atomic<T*> m_pHeld;
};
