// CVNFESocket: one descriptor and its pump registration (see vnfesocket_internal.h).
#include "net/vnfesocket_internal.h"

#include <sys/socket.h>

#include "fevent/vnfevent.h"
#include "fevent/vnfevent_internal.h"
#include "fevent/vntaskio.h"
#include "net/vnnet.h"
#include "net/vnnet_internal.h"
#include "task/vntask.h"

namespace {

// Every interest bit the pump knows: removing it ends a registration.
constexpr int kAllEvents = 0xFF;

}  // namespace

CVNFESocket::CVNFESocket(CVNFESocketSink* sink)
    : m_bAccept(false),
      m_nDatagram(-1),
      m_nSocket(-1),
      m_pFevent(CVNTaskIO::GetFevent()),
      m_pSink(sink),
      m_pProxy(new CFEventProxy(this)),
      m_pTask(CVNTaskBase::GetCurrentTask()) {
    // The task owns the pump: holding it keeps the pump alive for as long as this socket
    // may still unregister from it, even when the socket dies after its thread stopped.
    if (m_pTask != nullptr) m_pTask->AddRef();
}

CVNFESocket::~CVNFESocket() {
    // First, so that the rest of a callback running now and any later report find no socket.
    m_pProxy->m_pSocket = nullptr;
    m_pProxy->Release();
    m_pProxy = nullptr;
    Close();  // unregistering drops the registrations' proxy references
    if (m_pTask != nullptr) m_pTask->Release();
    m_pTask = nullptr;
}

void CVNFESocket::Attach(int fd) {
    VN_ASSERT_ON_THREAD(m_pTask);
    Close();
    // Every reader and writer above this expects EAGAIN instead of a wait: a blocking
    // descriptor would stall the task thread, and in the multi-thread framed socket a Send
    // blocked under its lock would wait for the drain that needs that very lock.
    if (fd != -1) vn::detail::socket_set_nonblocking(fd);
    m_nSocket = fd;
    m_nDatagram = -1;
}

int CVNFESocket::Detach() {
    VN_ASSERT_ON_THREAD(m_pTask);
    if (m_nSocket == -1) return -1;
    vnfe_unset(m_pFevent, m_nSocket, kAllEvents);
    int fd = m_nSocket;
    m_nSocket = -1;
    m_nDatagram = -1;
    return fd;
}

bool CVNFESocket::Close() {
    if (m_nSocket == -1) return false;
    // Unregister before closing: once closed, the number may be handed out again at once.
    vnfe_unset(m_pFevent, m_nSocket, kAllEvents);
    vnsocket_close(m_nSocket);
    m_nSocket = -1;
    m_nDatagram = -1;
    return true;
}

bool CVNFESocket::SetEvent(int events, bool bRemove) {
    VN_ASSERT_ON_THREAD(m_pTask);
    if (m_nSocket == -1) return false;
    if (events == VN_EV_ACCEPT) {
        events = VN_EV_READ;
        m_bAccept = !bRemove;
    }
    if (bRemove) return vnfe_unset(m_pFevent, m_nSocket, events) == 0;
    if (vnfe_is_added(m_pFevent, m_nSocket)) return vnfe_set(m_pFevent, m_nSocket, events) == 0;
    m_pProxy->AddRef();  // the registration's reference, given back by OnPumpRemoved
    if (vnfe_add(m_pFevent, m_nSocket, events, events & ~VN_EV_WRITE, OnPumpEvent, m_pProxy,
                 OnPumpRemoved) != 0) {
        m_pProxy->Release();
        return false;
    }
    return true;
}

bool CVNFESocket::SetEventOnce(int events, unsigned int timeoutMs) {
    VN_ASSERT_ON_THREAD(m_pTask);
    if (m_nSocket == -1) return false;
    m_bAccept = false;
    if (events == VN_EV_ACCEPT) {
        events = VN_EV_READ;
        m_bAccept = true;
    }
    // A registration that is still there (typically the one whose callback is running
    // now) is ended first; asking the pump first spares it an "already existed" error line.
    if (vnfe_is_added(m_pFevent, m_nSocket)) vnfe_unset(m_pFevent, m_nSocket, kAllEvents);
    m_pProxy->AddRef();
    if (vnfe_addonce(m_pFevent, m_nSocket, events, OnPumpEvent, m_pProxy, timeoutMs,
                     OnPumpRemoved) != 0) {
        m_pProxy->Release();
        return false;
    }
    return true;
}

void CVNFESocket::OnPumpEvent(void* pump, int fd, int events, void* userData) {
    CFEventProxy* proxy = static_cast<CFEventProxy*>(userData);
    // Read first: it describes this report only while no other pass ran.
    const bool plainReadable = vn::detail::vnfe_readable_without_hangup(pump);
    // Held for the whole call: the socket may unregister (dropping the registration's
    // reference) or die inside any of the dispatches below.
    proxy->AddRef();
    // Each step re-reads the back pointer, and a report is only for the descriptor the
    // socket still holds: a callback may have deleted the socket, or closed the descriptor
    // (and perhaps attached another) before the next step of the same report.
    CVNFESocket* s = proxy->m_pSocket;
    if (s != nullptr && s->m_nSocket == fd) {
        if (events & VN_EV_ERROR) {
            // An error is final and reported alone.
            s->DispatchError();
        } else {
            if ((events & VN_EV_READ) && (s = proxy->m_pSocket) != nullptr && s->m_nSocket == fd) {
                s->DispatchRead(plainReadable);
            }
            if ((events & VN_EV_WRITE) && (s = proxy->m_pSocket) != nullptr && s->m_nSocket == fd) {
                s->DispatchWrite();
            }
            if ((events & VN_EV_TIMEOUT) && (s = proxy->m_pSocket) != nullptr &&
                s->m_nSocket == fd) {
                s->DispatchTimeout();
            }
        }
    }
    proxy->Release();
}

void CVNFESocket::OnPumpRemoved(void*, int, void* userData) {
    static_cast<CFEventProxy*>(userData)->Release();
}

void CVNFESocket::DispatchRead(bool plainReadable) {
    if (m_pSink == nullptr) return;
    // A listening socket has a connection waiting. A stream that poll found readable
    // without a hang-up has bytes waiting; otherwise the kernel is asked how many, since
    // readable with nothing to read is the end of the stream (and, for a datagram socket,
    // a datagram may be empty).
    if (m_bAccept || (plainReadable && !IsDatagram()) ||
        vnsocket_getunreaddatalen(m_nSocket) != 0) {
        m_pSink->OnRecv();
        return;
    }
    if (IsDatagram()) {
        // An empty datagram is a datagram, not the end of a stream: closing here would let
        // any sender silence the socket with one empty packet. Drop it and carry on.
        char none;
        vn::detail::socket_read_waiting(m_nSocket, &none, sizeof(none));
        return;
    }
    // Readable with nothing to read: the peer has closed the stream.
    CVNFESocketSink* sink = m_pSink;
    Close();
    sink->OnClose();  // may delete this
}

bool CVNFESocket::IsDatagram() {
    if (m_nDatagram < 0) {
        int type = 0;
        socklen_t len = sizeof(type);
        const bool datagram =
            getsockopt(m_nSocket, SOL_SOCKET, SO_TYPE, &type, &len) == 0 && type == SOCK_DGRAM;
        m_nDatagram = datagram ? 1 : 0;
    }
    return m_nDatagram == 1;
}

void CVNFESocket::DispatchWrite() {
    if (m_pSink != nullptr) m_pSink->OnSend();
}

void CVNFESocket::DispatchTimeout() {
    if (m_pSink != nullptr) m_pSink->OnTimeout();
}

void CVNFESocket::DispatchError() {
    if (m_pSink == nullptr) return;
    CVNFESocketSink* sink = m_pSink;
    Close();
    sink->OnClose();  // may delete this
}
