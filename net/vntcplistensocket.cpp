// CVNTCPListenSocket: accepts connections, with an optional time-out on the wait for each
// one (see vntcplistensocket_internal.h).
#include "net/vntcplistensocket_internal.h"

#include "fevent/vnfevent.h"
#include "net/vnnet.h"

CVNTCPListenSocket::CVNTCPListenSocket()
    : m_Socket(this), m_uTimeout(VN_TIMEOUT_INFINITE), m_pSink(nullptr) {}

CVNTCPListenSocket::~CVNTCPListenSocket() {}

bool CVNTCPListenSocket::Listen(unsigned int ip, unsigned short port, unsigned int timeoutMs,
                                int backlog) {
    int fd = vnsocket_create(true, 0);
    if (fd == -1) return false;
    unsigned int boundIp = 0;
    unsigned short boundPort = 0;
    if (!vnsocket_bind(fd, ip, port) || !vnsocket_listen(fd, backlog) ||
        !vnsocket_getsockname(fd, &boundIp, &boundPort)) {
        vnsocket_close(fd);
        return false;
    }
    Adopt(fd, timeoutMs);
    if (boundIp == 0) boundIp = vnnet_getlocalip(false);
    if (m_pSink != nullptr) m_pSink->OnListen(boundIp, boundPort, this);
    return true;
}

bool CVNTCPListenSocket::GetLocalAddr(unsigned int* ip, unsigned short* port) {
    unsigned int boundIp = 0;
    unsigned short boundPort = 0;
    if (!vnsocket_getsockname(m_Socket.GetSocket(), &boundIp, &boundPort)) return false;
    if (boundIp == 0) boundIp = vnnet_getlocalip(false);
    if (ip != nullptr) *ip = boundIp;
    if (port != nullptr) *port = boundPort;
    return true;
}

bool CVNTCPListenSocket::Attach(int fd, unsigned int timeoutMs) {
    if (fd == -1) return false;
    Adopt(fd, timeoutMs);
    return true;
}

void CVNTCPListenSocket::Adopt(int fd, unsigned int timeoutMs) {
    m_Socket.Attach(fd);
    m_uTimeout = timeoutMs;
    // A registration the pump refuses (64 descriptors already) leaves a socket that
    // listens but never reports; the caller learns nothing of it, as designed.
    if (timeoutMs == VN_TIMEOUT_INFINITE) {
        m_Socket.SetEvent(VN_EV_ACCEPT, false);
    } else {
        m_Socket.SetEventOnce(VN_EV_ACCEPT, timeoutMs);
    }
}

int CVNTCPListenSocket::Accept() {
    return vnsocket_accept(m_Socket.GetSocket());
}

void CVNTCPListenSocket::Close() {
    m_Socket.Close();
    m_uTimeout = 0;
}

void CVNTCPListenSocket::OnRecv() {
    // A one-shot wait is renewed for the next connection before this one is reported, so
    // the sink may Close (or delete) the socket from inside OnAccept.
    if (m_uTimeout != VN_TIMEOUT_INFINITE) m_Socket.SetEventOnce(VN_EV_ACCEPT, m_uTimeout);
    if (m_pSink != nullptr) m_pSink->OnAccept(this);
}

void CVNTCPListenSocket::OnClose() {
    if (m_pSink != nullptr) m_pSink->OnClose(this);
}

void CVNTCPListenSocket::OnTimeout() {
    // Nobody came within the time-out: the socket stops listening, so the port is free
    // and the descriptor closed when the sink hears of it, as after an error.
    Close();
    if (m_pSink != nullptr) m_pSink->OnClose(this);
}
