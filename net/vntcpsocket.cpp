// CVNTCPSocket: a connected stream on the event pump (see vntcpsocket_internal.h).
#include "net/vntcpsocket_internal.h"

#include "fevent/vnfevent.h"
#include "net/vnnet.h"

CVNTCPSocket::CVNTCPSocket() : m_Socket(this), m_pSink(nullptr) {}

CVNTCPSocket::~CVNTCPSocket() {}

bool CVNTCPSocket::Attach(int fd) {
    m_Socket.Attach(fd);
    return m_Socket.SetEvent(VN_EV_READ | VN_EV_WRITE, false);
}

int CVNTCPSocket::Detach() {
    return m_Socket.Detach();
}

int CVNTCPSocket::Send(const void* buf, int len) {
    // Every attempt, even one that sends nothing, asks for one more write report: a
    // sender that met a full buffer learns from OnSend when to try again.
    m_Socket.SetEvent(VN_EV_READ | VN_EV_WRITE, false);
    int fd = m_Socket.GetSocket();
    if (buf == nullptr || len <= 0 || fd == -1) return -1;
    return vnsocket_send(fd, buf, static_cast<unsigned int>(len));
}

int CVNTCPSocket::Recv(void* buf, int len) {
    int fd = m_Socket.GetSocket();
    if (buf == nullptr || len <= 0 || fd == -1) return -1;
    return vnsocket_recv(fd, buf, static_cast<unsigned int>(len));
}

int CVNTCPSocket::GetUnreadDataLen() {
    return vnsocket_getunreaddatalen(m_Socket.GetSocket());
}

bool CVNTCPSocket::SetSendBufSize(unsigned int size) {
    int fd = m_Socket.GetSocket();
    return fd != -1 && vnsocket_setsendbufsize(fd, size);
}

bool CVNTCPSocket::GetSendBufSize(int* size) {
    int fd = m_Socket.GetSocket();
    return fd != -1 && vnsocket_getsendbufsize(fd, size);
}

bool CVNTCPSocket::SetRecvBufSize(unsigned int size) {
    int fd = m_Socket.GetSocket();
    return fd != -1 && vnsocket_setrecvbufsize(fd, size);
}

bool CVNTCPSocket::GetRecvBufSize(int* size) {
    int fd = m_Socket.GetSocket();
    return fd != -1 && vnsocket_getrecvbufsize(fd, size);
}

bool CVNTCPSocket::SetNoDelay(bool bNoDelay) {
    int fd = m_Socket.GetSocket();
    return fd != -1 && vnsocket_setnodelay(fd, bNoDelay);
}

bool CVNTCPSocket::GetSockName(unsigned int* ip, unsigned short* port) {
    int fd = m_Socket.GetSocket();
    return fd != -1 && vnsocket_getsockname(fd, ip, port);
}

bool CVNTCPSocket::GetPeerName(unsigned int* ip, unsigned short* port) {
    int fd = m_Socket.GetSocket();
    return fd != -1 && vnsocket_getpeername(fd, ip, port);
}

bool CVNTCPSocket::SetEvent(int events, bool bRemove) {
    return m_Socket.SetEvent(events, bRemove);
}

void CVNTCPSocket::Close() {
    m_Socket.Close();
}

void CVNTCPSocket::OnRecv() {
    if (m_pSink != nullptr) m_pSink->OnRecv(this);
}

void CVNTCPSocket::OnSend() {
    if (m_pSink != nullptr) m_pSink->OnSend(this);
}

void CVNTCPSocket::OnClose() {
    // The descriptor is already closed (GetSocket() gives -1 from here on).
    if (m_pSink != nullptr) m_pSink->OnClose(this);
}
