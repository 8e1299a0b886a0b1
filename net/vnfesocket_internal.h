// Internal header (not installed): binds one socket descriptor to the event pump of the
// CVNTaskIO thread that made it. Every socket class of the library embeds a CVNFESocket
// and hears from it through CVNFESocketSink.
//
// Thread safety: a CVNFESocket belongs to the task thread that constructed it; every
// operation and every sink call happens on that thread. Only CFEventProxy's count is
// shared (atomic). The pump never holds a pointer to the socket itself: each registration
// holds a counted CFEventProxy whose back pointer the socket clears when it dies, so a
// socket may be deleted from inside its own callbacks.
//   class CMySocket : public CVNFESocketSink {
//       CVNFESocket m_fe{this};          // m_fe.Attach(fd); m_fe.SetEvent(VN_EV_READ, false);
//       void OnRecv() override;          // ... OnSend, OnClose, OnTimeout
//   };
#pragma once

#include "task/vnrefcount.h"

class CVNTaskBase;
class CVNFESocket;

// Readiness reports of a CVNFESocket to its owner. None takes an argument.
class CVNFESocketSink {
public:
    virtual ~CVNFESocketSink() {}
    // Readable with data waiting, or (accept mode) a connection waits.
    virtual void OnRecv() = 0;
    // Writable.
    virtual void OnSend() = 0;
    // End of stream or error; the descriptor is already closed.
    virtual void OnClose() = 0;
    // A one-shot registration expired.
    virtual void OnTimeout() {}
};

// What the pump's registrations point at instead of the socket: a counted handle whose
// back pointer is cleared when the socket dies. The socket holds one reference, every
// registration one more.
class CFEventProxy : public CRefCountSafe {
public:
    explicit CFEventProxy(CVNFESocket* socket) : m_pSocket(socket) {}
    CVNFESocket* m_pSocket;  // null once the socket is gone; its owner thread only
};

class CVNFESocket {
public:
    // Binds to the pump and the task of the calling thread (a CVNTaskIO worker; elsewhere
    // there is no pump and every registration fails). sink is not owned.
    explicit CVNFESocket(CVNFESocketSink* sink = nullptr);
    // Clears the proxy's back pointer, releases the proxy, closes the descriptor and
    // releases the task. Safe inside one of this socket's own callbacks.
    virtual ~CVNFESocket();
    CVNFESocket(const CVNFESocket&) = delete;
    CVNFESocket& operator=(const CVNFESocket&) = delete;

    void SetSink(CVNFESocketSink* sink) { m_pSink = sink; }
    // Closes the current descriptor (unregistering it) and takes fd, switching it to
    // non-blocking mode; registers nothing.
    void Attach(int fd);
    // Unregisters the descriptor and returns it unclosed; -1 when none is held.
    int Detach();
    // Unregisters and closes the descriptor: true, or false when none was held.
    bool Close();
    // Adds (bRemove false) or removes interest. VN_EV_ACCEPT stands for VN_EV_READ on a
    // listening socket (accept mode). A new registration keeps read interest and makes
    // write interest one-shot: after one write report it must be asked for again. Bits
    // added to an existing registration keep the character it was made with (bits the
    // pump was told to keep when it was added stay lasting, the others fire once).
    bool SetEvent(int events, bool bRemove);
    // Replaces any registration by a one-shot one with an idle time-out (0: none): the
    // first report, an event or the time-out, ends it.
    bool SetEventOnce(int events, unsigned int timeoutMs);

    int GetSocket() const { return m_nSocket; }
    bool IsAcceptMode() const { return m_bAccept; }
    void* GetFevent() const { return m_pFevent; }
    CFEventProxy* GetProxy() const { return m_pProxy; }

    // The pump's callbacks; user data is the registration's proxy. Public for the tests,
    // which feed reports that the kernel cannot be made to produce on demand.
    static void OnPumpEvent(void* pump, int fd, int events, void* userData);
    static void OnPumpRemoved(void* pump, int fd, void* userData);

private:
    // plainReadable: poll reported the descriptor readable without a hang-up (see
    // vn::detail::vnfe_readable_without_hangup).
    void DispatchRead(bool plainReadable);
    // True for a datagram descriptor (an empty read is then an empty datagram). Asked of
    // the kernel once per descriptor.
    bool IsDatagram();
    void DispatchWrite();
    void DispatchTimeout();
    void DispatchError();

    bool m_bAccept;            // VN_EV_ACCEPT was registered last
    signed char m_nDatagram;   // IsDatagram's answer for m_nSocket; -1 until asked
    int m_nSocket;             // -1 when none
    void* m_pFevent;           // the constructing thread's pump (not owned)
    CVNFESocketSink* m_pSink;  // not owned
    CFEventProxy* m_pProxy;    // one reference owned
    CVNTaskBase* m_pTask;      // one reference owned, or null; keeps the pump alive
};
