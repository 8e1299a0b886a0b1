// Public header (part of vnbase.h).
// Marshalled method calls: a method of an object that belongs to one task thread, called
// from another thread, packs its arguments into a heap call object (vn_task_call_base)
// and posts it to the owner's thread, targeted at the owner's CScopeHolder; a call that
// arrives after the owner died finds the holder cleared and does not run, and its call
// object is freed all the same.
//
// VN_TASK_CALL(Class, Method) declares `vn_task_call_<Class><Method>`, which stores copies
// of Method's arguments (C strings are copied into the call object) and offers:
//   Marshal(task, holder, owner, args...): runs owner->Method(args...) at once when the
//     caller is task's worker, else posts it there; 1 when run or queued, 0 on failure.
//   Post(task, holder, owner, done, args...): always posts; returns the task id or 0.
//     done (a CVNEvent*, may be null) is signalled once the call object is finished with:
//     after the method returned, or when the call was dropped without running.
// A private Method needs `friend struct vn_task_call_<Class><Method>;` in Class.
//
// Thread safety: Marshal and Post may be called from any thread; the method always runs
// on task's worker.
//   VN_TASK_CALL(CMyOwner, DoWork);   // namespace scope: struct vn_task_call_CMyOwnerDoWork
//   // in CMyOwner::Work(const char* what, int n), called from any thread:
//   vn_task_call_CMyOwnerDoWork::Marshal(m_pTask, m_pHolder, this, what, n);
#pragma once

#include <stdint.h>

#include <string>
#include <tuple>
#include <type_traits>
#include <utility>

#include "base/vnevent.h"
#include "common/vnexport.h"
#include "task/vnrefcount.h"
#include "task/vnscopecall.h"
#include "task/vntask.h"

// Base of the heap objects that carry one method call with its arguments to the owner's
// task thread. Derived structs are named vn_task_call_<Class><Method>.
struct VN_EXPORT vn_task_call_base {
    vn_task_call_base()
        : m_pszName(nullptr), m_pfnInvoke(nullptr), m_pOwner(nullptr), m_pDone(nullptr) {}
    // Signals m_pDone when it is still set: the call was dropped without running.
    virtual ~vn_task_call_base();
    vn_task_call_base(const vn_task_call_base&) = delete;
    vn_task_call_base& operator=(const vn_task_call_base&) = delete;

    // Signals m_pDone (when set) and clears it; the invoke function calls it after the
    // method returned.
    void SignalDone();

    const char* m_pszName;                         // the method's name, a literal
    void (*m_pfnInvoke)(vn_task_call_base* call);  // performs the call on m_pOwner
    void* m_pOwner;                                // the object whose method is called
    CVNEvent* m_pDone;                             // null unless a poster waits
};

// The argument of the CScopeCall that carries a task call: it owns the call object until
// DispatchTaskCall takes it, and deletes it when released undispatched (owner gone, task
// destroyed with the call queued, push refused). Its count is atomic: the posting thread
// drops its reference while the worker may already run the call.
class VN_EXPORT CTaskCallArg : public CRefCountSafe {
public:
    explicit CTaskCallArg(vn_task_call_base* call);
    ~CTaskCallArg() override;
    // Hands the call object over (once); null afterwards.
    vn_task_call_base* TakeCall();

    long long m_llCall;      // the vn_task_call_base*, widened (a pointer, never truncated)
    long long m_llReserved;  // 0
};

// The function bound by every marshalled call: runs the call object the box carries
// (CTaskCallArg), deletes it and returns 0. The owner argument is not used.
VN_EXPORT int DispatchTaskCall(void* owner, CRefCount* box);

// Posts call (ownership passes, also on failure) for call->m_pOwner to task, gated by
// holder. The task id, or 0 (logged by PushTask) when the push was refused.
VN_EXPORT unsigned int vn_task_call_post(CVNTaskBase* task, CRefCount* holder,
                                         vn_task_call_base* call);

namespace vn {
namespace detail {

// How one argument of a marshalled method is stored in the call object and handed back
// to the method: a copy of the decayed value, passed on as the parameter type asks
// (moved into by-value and rvalue parameters, referenced by reference parameters).
template <class P>
struct task_call_arg {
    typedef typename std::decay<P>::type type;
    static P pass(type& v) { return static_cast<P&&>(v); }
};

// C strings: the caller's buffer may be gone when the call runs, so the text is copied;
// a null pointer stays null.
template <class C>
struct task_call_cstr {
    task_call_cstr(const C* p)
        : null(p == nullptr), text(p != nullptr ? p : std::basic_string<C>()) {}
    const C* get() const { return null ? nullptr : text.c_str(); }
    bool null;
    std::basic_string<C> text;
};
template <>
struct task_call_arg<const char*> {
    typedef task_call_cstr<char> type;
    static const char* pass(type& v) { return v.get(); }
};
template <>
struct task_call_arg<const char16_t*> {
    typedef task_call_cstr<char16_t> type;
    static const char16_t* pass(type& v) { return v.get(); }
};

template <class Derived, auto Method>
struct task_call;

template <class Derived, class Owner, class R, class... P, R (Owner::*Method)(P...)>
struct task_call<Derived, Method> : vn_task_call_base {
    template <class... A>
    explicit task_call(A&&... args) : m_args(std::forward<A>(args)...) {}

    template <class... A>
    static unsigned char Marshal(CVNTaskBase* task, CRefCount* holder, Owner* owner, A&&... args) {
        if (task != nullptr && CVNTaskBase::GetCurrentTask() == task) {
            (owner->*Method)(std::forward<A>(args)...);
            return 1;
        }
        return Post(task, holder, owner, nullptr, std::forward<A>(args)...) != 0 ? 1 : 0;
    }

    template <class... A>
    static unsigned int Post(CVNTaskBase* task, CRefCount* holder, Owner* owner, CVNEvent* done,
                             A&&... args) {
        static_assert(sizeof...(A) == sizeof...(P), "wrong number of arguments for the method");
        Derived* call = new Derived(std::forward<A>(args)...);
        call->m_pszName = Derived::kName;
        call->m_pfnInvoke = &task_call::Invoke;
        call->m_pOwner = static_cast<void*>(owner);
        call->m_pDone = done;
        return vn_task_call_post(task, holder, call);
    }

    static void Invoke(vn_task_call_base* base) {
        Derived* self = static_cast<Derived*>(base);
        self->Apply(std::index_sequence_for<P...>());
        self->SignalDone();
    }

    std::tuple<typename task_call_arg<P>::type...> m_args;

private:
    template <size_t... I>
    void Apply(std::index_sequence<I...>) {
        Owner* owner = static_cast<Owner*>(m_pOwner);
        (owner->*Method)(task_call_arg<P>::pass(std::get<I>(m_args))...);
    }
};

}  // namespace detail
}  // namespace vn

// Declares struct vn_task_call_<Class><Method> (see the top of this file). Method must not
// be overloaded.
#define VN_TASK_CALL(Class, Method)                                               \
    struct vn_task_call_##Class##Method                                           \
        : ::vn::detail::task_call<vn_task_call_##Class##Method, &Class::Method> { \
        using task_call::task_call;                                               \
        static constexpr const char* kName = #Method;                             \
    }
