// Internal header (not installed): CVNUDPSocket, the direct datagram socket behind
// VNCreateNoneProxyUDPSocket.
//
// Thread safety: belongs to the CVNTaskIO thread that created it; every call and every
// sink report happen there.
//   CVNIUDPSocket* u = VNCreateNoneProxyUDPSocket();   // on the I/O thread
//   u->SetSink(sink); u->Create(0, 0, 0);                // OnCreate, then OnRecv per datagram
#pragma once

#include "net/vnfesocket_internal.h"
#include "net/vnsocketi.h"

class CVNUDPSocket : public CVNIUDPSocket, public CVNFESocketSink {
public:
    // Size of the receive buffer: a longer datagram is cut to this length.
    enum { kRecvBufSize = 10240 };

    CVNUDPSocket();
    ~CVNUDPSocket() override;

    // CVNIUDPSocket
    bool Create(unsigned int timeoutMs, unsigned int ip, unsigned short port) override;
    void SetSink(CVNIUDPSocketSink* pSink) override { m_pSink = pSink; }
    bool Attach(int fd) override;
    int Detach() override;
    int GetSocket() override { return m_Socket.GetSocket(); }
    int SendTo(const char* ip, unsigned short port, const char* buf, unsigned int len) override;
    int RecvFrom(char* buf, int len, unsigned int* ip, unsigned short* port) override;
    bool SetSendBufSize(unsigned int size) override;
    bool SetRecvBufSize(unsigned int size) override;
    bool GetSockName(unsigned int* ip, unsigned short* port) override;
    bool SetEvent(int events, bool bRemove) override;
    void Close() override;

    // CVNFESocketSink
    void OnRecv() override;
    void OnSend() override {}
    void OnClose() override {}

    CVNFESocket& FESocket() { return m_Socket; }

private:
    CVNFESocket m_Socket;
    CVNIUDPSocketSink* m_pSink;  // not owned
    char* m_pRecvBuf;            // kRecvBufSize bytes, malloc'ed at the first datagram; owned
};
