// Marshalled method calls (see vntaskcall.h).
#include "task/vntaskcall.h"

vn_task_call_base::~vn_task_call_base() {
    SignalDone();
}

void vn_task_call_base::SignalDone() {
    if (m_pDone != nullptr) {
        // Cleared first: after the signal the waiter may destroy the event at once.
        CVNEvent* done = m_pDone;
        m_pDone = nullptr;
        done->Post();
    }
}

CTaskCallArg::CTaskCallArg(vn_task_call_base* call)
    : m_llCall(static_cast<long long>(reinterpret_cast<intptr_t>(call))), m_llReserved(0) {}

CTaskCallArg::~CTaskCallArg() {
    delete TakeCall();  // a call that never ran (null when it was dispatched)
}

vn_task_call_base* CTaskCallArg::TakeCall() {
    // The field is a pointer widened to 64 bits, never a number.
    // NOLINTNEXTLINE(performance-no-int-to-ptr)
    vn_task_call_base* call = reinterpret_cast<vn_task_call_base*>(static_cast<intptr_t>(m_llCall));
    m_llCall = 0;
    return call;
}

int DispatchTaskCall(void* /*owner*/, CRefCount* arg) {
    // Only ever bound with a CTaskCallArg as the argument (vn_task_call_post).
    vn_task_call_base* call =
        arg != nullptr ? static_cast<CTaskCallArg*>(arg)->TakeCall() : nullptr;
    if (call != nullptr) {
        if (call->m_pfnInvoke != nullptr) call->m_pfnInvoke(call);
        delete call;
    }
    return 0;
}

unsigned int vn_task_call_post(CVNTaskBase* task, CRefCount* holder, vn_task_call_base* call) {
    CTaskCallArg* box = new CTaskCallArg(call);
    CScopeCall scope(holder, call->m_pOwner, &DispatchTaskCall, box);
    // From here the queue's copy of the call holds the only lasting reference: when the
    // push is refused, destroying `scope` frees the box and with it the call object.
    box->Release();
    return CVNTaskBase::PushTask(task, scope);
}
