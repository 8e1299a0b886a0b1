// CFEventPump: a pump whose registrations call member functions of counted sinks (see
// vnfeventpump.h).
#include "fevent/vnfeventpump.h"

#include <new>

#include "base/vnlog.h"

// The user data of one registration: the bound method and the sink it is called on. The
// pump registration owns it and the sink reference in it; OnRemoved gives both back. The
// owner keeps the live ones in a list, since the pump drops registrations silently when it
// is freed and their references would be lost.
struct CFEventPump::Registration {
    CFECallbackWraper::Method method;
    CRefCount* sink;  // one reference held
    int fd;
    CFEventPump::Registration** head;  // the owner's list
    Registration* prev;
    Registration* next;
};

namespace {

typedef CFEventPump::Registration Registration;

void OnEvent(void* pump, int fd, int events, void* userData) {
    Registration* r = static_cast<Registration*>(userData);
    // The sink may end its own registration (Unset) from inside the call, which frees the
    // context and drops the registration's reference: keep the sink alive until it returns.
    CRefCount* sink = r->sink;
    CFEventPump::CFECallbackWraper::Method method = r->method;
    sink->AddRef();
    (sink->*method)(pump, fd, events);
    sink->Release();
}

void OnRemoved(void*, int, void* userData) {
    Registration* r = static_cast<Registration*>(userData);
    if (r->prev != nullptr) {
        r->prev->next = r->next;
    } else {
        *r->head = r->next;
    }
    if (r->next != nullptr) r->next->prev = r->prev;
    CRefCount* sink = r->sink;
    delete r;
    sink->Release();  // last: the sink's destructor may use the pump again
}

}  // namespace

CFEventPump::CFECallbackWraper::CFECallbackWraper(const CFECallbackWraper& other)
    : m_pfnMethod(other.m_pfnMethod), m_pHeld(other.m_pHeld) {
    if (m_pHeld != nullptr) m_pHeld->AddRef();
}

// NOLINTNEXTLINE(bugprone-unhandled-self-assignment): the new reference is added first
CFEventPump::CFECallbackWraper& CFEventPump::CFECallbackWraper::operator=(
    const CFECallbackWraper& other) {
    // Add before release, so that assigning a wrapper to itself keeps the object alive.
    if (other.m_pHeld != nullptr) other.m_pHeld->AddRef();
    if (m_pHeld != nullptr) m_pHeld->Release();
    m_pfnMethod = other.m_pfnMethod;
    m_pHeld = other.m_pHeld;
    return *this;
}

CFEventPump::CFECallbackWraper::~CFECallbackWraper() {
    if (m_pHeld != nullptr) m_pHeld->Release();
    m_pHeld = nullptr;
}

CFEventPump::CFEventPump() : m_pFevent(vnfe_alloc()), m_pContexts(nullptr) {}

CFEventPump::~CFEventPump() {
    // End each registration through the pump, which calls OnRemoved and so releases its
    // sink. A sink destructor that ends other registrations meanwhile only shortens the list.
    while (m_pContexts != nullptr) {
        Registration* r = m_pContexts;
        // NOLINTNEXTLINE(clang-analyzer-cplusplus.NewDelete): OnRemoved unlinks what it frees
        const int fd = r->fd;
        // A registration the pump no longer knows is ended here; one it knew was ended by
        // the pump's removal callback, which unlinked it.
        if (vnfe_unset(m_pFevent, fd, 0xFF) != 0 && m_pContexts == r) OnRemoved(m_pFevent, fd, r);
    }
    if (m_pFevent != nullptr) vnfe_free(m_pFevent);
}

namespace {

// Shared tail of Add and AddOnce: registers through add() with a new context holding one
// sink reference; on refusal the context and the reference are given back.
template <class AddFn>
unsigned char AddRegistration(void* pump, Registration** head, int fd,
                              const CFEventPump::CFECallbackWraper& callback, CRefCount* sink,
                              AddFn add) {
    if (pump == nullptr || sink == nullptr || callback.m_pfnMethod == nullptr) {
        syslog(VN_LOG_ERROR, "fevent", __LINE__, "illegal argument!");
        return 0;
    }
    Registration* r = new (std::nothrow) Registration;
    if (r == nullptr) return 0;
    r->method = callback.m_pfnMethod;
    r->sink = sink;
    r->fd = fd;
    r->head = head;
    r->prev = nullptr;
    r->next = *head;
    if (*head != nullptr) (*head)->prev = r;
    *head = r;
    sink->AddRef();
    if (add(r) != 0) {
        OnRemoved(pump, fd, r);  // refused: the pump will never call it
        return 0;
    }
    return 1;
}

}  // namespace

// The wrapper comes by value by design: its destructor releases the reference it holds.
// NOLINTNEXTLINE(performance-unnecessary-value-param)
unsigned char CFEventPump::Add(int fd, int interest, int persistent, CFECallbackWraper callback,
                               CRefCount* sink) {
    void* pump = m_pFevent;
    return AddRegistration(pump, &m_pContexts, fd, callback, sink, [&](Registration* r) {
        return vnfe_add(pump, fd, interest, persistent, OnEvent, r, OnRemoved);
    });
}

// NOLINTNEXTLINE(performance-unnecessary-value-param)
unsigned char CFEventPump::AddOnce(int fd, int interest, CFECallbackWraper callback,
                                   CRefCount* sink, unsigned int timeoutMs) {
    void* pump = m_pFevent;
    return AddRegistration(pump, &m_pContexts, fd, callback, sink, [&](Registration* r) {
        return vnfe_addonce(pump, fd, interest, OnEvent, r, timeoutMs, OnRemoved);
    });
}

unsigned char CFEventPump::Set(int fd, int events) {
    return vnfe_set(m_pFevent, fd, events) == 0 ? 1 : 0;
}

unsigned char CFEventPump::Unset(int fd, int events) {
    return vnfe_unset(m_pFevent, fd, events) == 0 ? 1 : 0;
}

int CFEventPump::Loop() {
    return vnfe_loop(m_pFevent);
}
