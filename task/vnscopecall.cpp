// CScopeCall (see vnscopecall.h).
#include "task/vnscopecall.h"

CScopeCall::CScopeCall()
    : m_pTarget(nullptr),
      m_pObject(nullptr),
      m_pArg(nullptr),
      m_pResult(nullptr),
      m_pfnThunk(nullptr) {
    m_callee.member = nullptr;
}

CScopeCall::CScopeCall(CRefCount* target, void* object, PlainFunction fn, CRefCount* arg,
                       int* result)
    : m_pTarget(target),
      m_pObject(object),
      m_pArg(arg),
      m_pResult(result),
      m_pfnThunk(fn != nullptr ? &CScopeCall::CallFunction : nullptr) {
    m_callee.function = fn;
    TakeReferences();
}

CScopeCall::CScopeCall(const CScopeCall& other) : CScopeCall(other, LentTarget()) {
    if (m_pTarget != nullptr) m_pTarget->AddRef();  // the argument's was taken already
}

CScopeCall::CScopeCall(const CScopeCall& other, LentTarget)
    : m_pTarget(other.m_pTarget),
      m_pObject(other.m_pObject),
      m_callee(other.m_callee),
      m_pArg(other.m_pArg),
      m_pResult(other.m_pResult),
      m_pfnThunk(other.m_pfnThunk) {
    if (m_pArg != nullptr) m_pArg->AddRef();
}

// NOLINTNEXTLINE(bugprone-unhandled-self-assignment): references are added first
CScopeCall& CScopeCall::operator=(const CScopeCall& other) {
    // The source is read before anything is released (it may be this very call), and its
    // references are added before ours are dropped: on self-assignment, or when both
    // share a target, no object passes through a count of zero.
    CRefCount* const target = other.m_pTarget;
    void* const object = other.m_pObject;
    const Callee callee = other.m_callee;
    CRefCount* const arg = other.m_pArg;
    int* const result = other.m_pResult;
    const Thunk thunk = other.m_pfnThunk;
    if (target != nullptr) target->AddRef();
    if (arg != nullptr) arg->AddRef();
    if (m_pTarget != nullptr) {
        m_pTarget->Release();
        m_pTarget = nullptr;
    }
    if (m_pArg != nullptr) {
        m_pArg->Release();
        m_pArg = nullptr;
    }
    m_pTarget = target;
    m_pObject = object;
    m_callee = callee;
    m_pArg = arg;
    m_pResult = result;
    m_pfnThunk = thunk;
    return *this;
}

CScopeCall::CScopeCall(CScopeCall&& other) noexcept
    : m_pTarget(other.m_pTarget),
      m_pObject(other.m_pObject),
      m_callee(other.m_callee),
      m_pArg(other.m_pArg),
      m_pResult(other.m_pResult),
      m_pfnThunk(other.m_pfnThunk) {
    other.m_pTarget = nullptr;
    other.m_pObject = nullptr;
    other.m_callee.member = nullptr;
    other.m_pArg = nullptr;
    other.m_pResult = nullptr;
    other.m_pfnThunk = nullptr;
}

CScopeCall& CScopeCall::operator=(CScopeCall&& other) noexcept {
    if (this != &other) {
        CScopeCall old(static_cast<CScopeCall&&>(*this));  // released at the end
        m_pTarget = other.m_pTarget;
        m_pObject = other.m_pObject;
        m_callee = other.m_callee;
        m_pArg = other.m_pArg;
        m_pResult = other.m_pResult;
        m_pfnThunk = other.m_pfnThunk;
        other.m_pTarget = nullptr;
        other.m_pObject = nullptr;
        other.m_callee.member = nullptr;
        other.m_pArg = nullptr;
        other.m_pResult = nullptr;
        other.m_pfnThunk = nullptr;
    }
    return *this;
}

CScopeCall::~CScopeCall() {
    if (m_pTarget != nullptr) {
        m_pTarget->Release();
        m_pTarget = nullptr;
    }
    if (m_pArg != nullptr) {
        m_pArg->Release();
        m_pArg = nullptr;
    }
}

void CScopeCall::setArg(CRefCount* arg) {
    if (arg != nullptr) arg->AddRef();
    if (m_pArg != nullptr) m_pArg->Release();
    m_pArg = arg;
}

int CScopeCall::operator()() {
    // A call without a target cannot be asked for liveness; it counts as invalid
    // rather than dereferencing null.
    if (m_pTarget == nullptr || m_pTarget->IsValid() == 0) return 9;
    if (m_pfnThunk == nullptr) return 9;
    int result = m_pfnThunk(m_pObject, m_callee, m_pArg);
    if (m_pResult != nullptr) *m_pResult = result;
    return result;
}

int CScopeCall::CallFunction(void* object, const Callee& callee, CRefCount* arg) {
    return callee.function(object, arg);
}

void CScopeCall::TakeReferences() {
    if (m_pTarget != nullptr) m_pTarget->AddRef();
    if (m_pArg != nullptr) m_pArg->AddRef();
}
