// Public header (part of vnbase.h).
// CFEventPump: an object wrapper over one descriptor event pump for callers outside the
// library. A registration calls a member function of a reference-counted sink object and
// holds one reference on that sink for as long as it lasts; when the registration ends
// (a one-shot event, a time-out, an error or Unset) the reference is released.
//
// Thread safety: none inside, like the pump: one thread adds, changes and runs the
// registrations of a CFEventPump, and the sinks are called on that thread inside Loop.
//   CFEventPump pump;
//   pump.Add(fd, VN_EV_READ, VN_EV_READ,
//            CFEventPump::CFECallbackWraper(&CConn::OnEvent), conn);   // conn: CRefCount
//   while (running) pump.Loop();
#pragma once

#include "common/vnexport.h"
#include "fevent/vnfevent.h"
#include "task/vnrefcount.h"

class VN_EXPORT CFEventPump {
public:
    // The bound call of a registration: a member function of the sink's class, called
    // with (pump handle, descriptor, events). The wrapper may also hold one reference on
    // an object of the caller's (null allowed), taken when it is made or copied and
    // released when it is destroyed.
    struct VN_EXPORT CFECallbackWraper {
        typedef void (CRefCount::*Method)(void* pump, int fd, int events);

        CFECallbackWraper() : m_pfnMethod(nullptr), m_pHeld(nullptr) {}
        // T must derive (non-virtually) from CRefCount; the sink given to Add must be a T.
        template <class T>
        explicit CFECallbackWraper(void (T::*method)(void*, int, int), CRefCount* held = nullptr)
            : m_pfnMethod(static_cast<Method>(method)), m_pHeld(held) {
            if (m_pHeld != nullptr) m_pHeld->AddRef();
        }
        CFECallbackWraper(const CFECallbackWraper& other);
        CFECallbackWraper& operator=(const CFECallbackWraper& other);
        ~CFECallbackWraper();

        Method m_pfnMethod;
        CRefCount* m_pHeld;  // one reference held, or null
    };

    // A new pump (see IsValid).
    CFEventPump();
    // Ends every registration still in the pump (releasing its sink reference, without
    // calling the sink), then frees the pump.
    virtual ~CFEventPump();
    // Not copyable: copies would share the pump and free it twice.
    CFEventPump(const CFEventPump&) = delete;
    CFEventPump& operator=(const CFEventPump&) = delete;

    // Registers fd with interest (VN_EV_READ | VN_EV_WRITE) whose bits in persistent stay
    // set after they fire. Takes one reference on sink for the registration. 1 on
    // success; 0 (nothing taken) for a null sink or method or when the pump refuses (fd
    // already registered, 64 registrations, bad interest).
    unsigned char Add(int fd, int interest, int persistent, CFECallbackWraper callback,
                      CRefCount* sink);
    // The same with all interest one-shot and an idle time-out (0: none); see vnfe_addonce.
    unsigned char AddOnce(int fd, int interest, CFECallbackWraper callback, CRefCount* sink,
                          unsigned int timeoutMs);
    // ORs events into fd's interest: 1, or 0 when fd is not registered.
    unsigned char Set(int fd, int events);
    // Clears events from fd's interest; with none left the registration ends and the sink
    // reference is released. 1, or 0 when fd is not registered.
    unsigned char Unset(int fd, int events);

    // One pass (vnfe_loop: waits at most 1 ms, then calls the sinks): the number of
    // descriptors whose sink was called.
    int Loop();
    // The pump handle, for the vnfe_* functions; null when allocation failed.
    void* GetHandle() const { return m_pFevent; }
    bool IsValid() const { return m_pFevent != nullptr; }

    struct Registration;  // the context of one registration (private)

private:
    void* m_pFevent;            // owned
    Registration* m_pContexts;  // live registrations, so the destructor can end them
};
