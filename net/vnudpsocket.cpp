// CVNUDPSocket: datagrams on the event pump (see vnudpsocket_internal.h).
#include "net/vnudpsocket_internal.h"

#include <stdlib.h>

#include "base/vnlog.h"
#include "fevent/vnfevent.h"
#include "net/vnnet.h"

CVNUDPSocket::CVNUDPSocket() : m_Socket(this), m_pSink(nullptr), m_pRecvBuf(nullptr) {}

CVNUDPSocket::~CVNUDPSocket() {
    free(m_pRecvBuf);
}

bool CVNUDPSocket::Create(unsigned int /*timeoutMs: used by the SOCKS5 variant only*/,
                          unsigned int ip, unsigned short port) {
    int fd = vnsocket_create(false, 0);
    if (fd == -1) return false;
    unsigned int boundIp = 0;
    unsigned short boundPort = 0;
    if (!vnsocket_bind(fd, ip, port) || !vnsocket_getsockname(fd, &boundIp, &boundPort)) {
        vnsocket_close(fd);
        return false;
    }
    m_Socket.Attach(fd);
    m_Socket.SetEvent(VN_EV_READ, false);
    if (boundIp == 0) boundIp = vnnet_getlocalip(false);

    // Room for at least one full datagram of the receive buffer's size either way (Linux
    // defaults are far larger; a tuned-down system may not be).
    int sendSize = 0;
    int recvSize = 0;
    if (vnsocket_getsendbufsize(fd, &sendSize) && sendSize < kRecvBufSize) {
        vnsocket_setsendbufsize(fd, kRecvBufSize);
        vnsocket_getsendbufsize(fd, &sendSize);
    }
    if (vnsocket_getrecvbufsize(fd, &recvSize) && recvSize < kRecvBufSize) {
        vnsocket_setrecvbufsize(fd, kRecvBufSize);
        vnsocket_getrecvbufsize(fd, &recvSize);
    }
    syslog(VN_LOG_NOTICE, "unnamed", __LINE__, "Udp Create sendbufsize[%d] recvbufsize[%d]",
           sendSize, recvSize);
    if (m_pSink != nullptr) m_pSink->OnCreate(true, boundIp, boundPort, this);
    return true;
}

bool CVNUDPSocket::Attach(int fd) {
    m_Socket.Attach(fd);
    return m_Socket.SetEvent(VN_EV_READ, false);
}

int CVNUDPSocket::Detach() {
    return m_Socket.Detach();
}

int CVNUDPSocket::SendTo(const char* ip, unsigned short port, const char* buf, unsigned int len) {
    // vnsocket_sendto takes an int length; a datagram cannot exceed 64 KiB anyway.
    if (len > 0x7FFFFFFFu) return -1;
    return vnsocket_sendto(m_Socket.GetSocket(), buf, static_cast<int>(len), ip, port);
}

int CVNUDPSocket::RecvFrom(char* buf, int len, unsigned int* ip, unsigned short* port) {
    return vnsocket_recvfrom(m_Socket.GetSocket(), buf, len, ip, port);
}

bool CVNUDPSocket::SetSendBufSize(unsigned int size) {
    int fd = m_Socket.GetSocket();
    return fd != -1 && vnsocket_setsendbufsize(fd, size);
}

bool CVNUDPSocket::SetRecvBufSize(unsigned int size) {
    int fd = m_Socket.GetSocket();
    return fd != -1 && vnsocket_setrecvbufsize(fd, size);
}

bool CVNUDPSocket::GetSockName(unsigned int* ip, unsigned short* port) {
    int fd = m_Socket.GetSocket();
    return fd != -1 && vnsocket_getsockname(fd, ip, port);
}

bool CVNUDPSocket::SetEvent(int events, bool bRemove) {
    return m_Socket.SetEvent(events, bRemove);
}

void CVNUDPSocket::Close() {
    m_Socket.Close();
}

void CVNUDPSocket::OnRecv() {
    if (m_pSink == nullptr) return;
    if (m_pRecvBuf == nullptr) {
        m_pRecvBuf = static_cast<char*>(malloc(kRecvBufSize));
        if (m_pRecvBuf == nullptr) {
            syslog(VN_LOG_ERROR, "unnamed", __LINE__, "malloc recvbuf fail len[%u]",
                   static_cast<unsigned int>(kRecvBufSize));
            return;
        }
    }
    unsigned int ip = 0;
    unsigned short port = 0;
    int n = RecvFrom(m_pRecvBuf, kRecvBufSize, &ip, &port);
    if (n > 0) m_pSink->OnRecv(m_pRecvBuf, n, ip, port, this);
}
