// CVNTCPCnnSocket: direct non-blocking connect, reported once (see vntcpcnnsocket_internal.h).
//
// How a failed connect shows itself on Linux: a refused or unreachable connect raises
// POLLERR (the pump's error report), usually together with POLLOUT and POLLHUP. A socket
// can still come out writable with a pending error (an error that arrives between two
// passes, or a report of writability alone), so writability is only a success once
// SO_ERROR says so.
#include "net/vntcpcnnsocket_internal.h"

#include "fevent/vnfevent.h"
#include "net/vnnet.h"
#include "net/vnnet_internal.h"

CVNTCPCnnSocket::CVNTCPCnnSocket() : m_Socket(this), m_pSink(nullptr), m_bConnecting(false) {}

CVNTCPCnnSocket::~CVNTCPCnnSocket() {}

bool CVNTCPCnnSocket::Connect(const char* host, unsigned short port, unsigned int timeoutMs) {
    m_bConnecting = false;
    int fd = vn::detail::socket_open_connect(host, port);
    if (fd == -1) return false;
    m_Socket.Attach(fd);
    // Writable means connected, an error or a close means refused; read interest also
    // catches a peer that accepts and closes at once.
    if (!m_Socket.SetEventOnce(VN_EV_READ | VN_EV_WRITE, timeoutMs)) {
        // The pump refused it (no I/O thread, or 64 descriptors already): nobody would hear
        // how this attempt ends, so it does not go on in the background either.
        m_Socket.Close();
        return false;
    }
    m_bConnecting = true;
    return true;
}

int CVNTCPCnnSocket::Detach() {
    return m_Socket.Detach();
}

void CVNTCPCnnSocket::OnRecv() {
    // Data that arrives with (or before) the connect's success is the next owner's.
}

void CVNTCPCnnSocket::OnSend() {
    if (!m_bConnecting) return;
    int err = vn::detail::socket_pending_error(m_Socket.GetSocket());
    if (err != 0) {
        m_Socket.Close();
        Report(false, 1);
        return;
    }
    Report(true, 0);
}

void CVNTCPCnnSocket::OnClose() {
    Report(false, 1);
}

void CVNTCPCnnSocket::OnTimeout() {
    if (!m_bConnecting) return;
    // The attempt is over: stop the kernel's retries instead of leaving a connect that
    // could still succeed with nobody waiting for it.
    m_Socket.Close();
    Report(false, 0);
}

void CVNTCPCnnSocket::Report(bool bSuccess, int nReason) {
    if (!m_bConnecting) return;
    m_bConnecting = false;
    if (m_pSink != nullptr) m_pSink->OnConnect(bSuccess, this, nReason);  // may delete this
}
