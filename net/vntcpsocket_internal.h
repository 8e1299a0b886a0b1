// Internal header (not installed): CVNTCPSocket, the connected stream behind
// VNCreateTCPSocket; also the transport the framed socket is built on.
//
// Thread safety: belongs to the CVNTaskIO thread that created it; every call and every
// sink report happen there.
//   CVNITCPSocket* s = VNCreateTCPSocket();       // on the I/O thread
//   s->SetSink(sink); s->Attach(fd);                // OnRecv -> s->Recv(...); s->Send(...)
#pragma once

#include "net/vnfesocket_internal.h"
#include "net/vnsocketi.h"

class CVNTCPSocket : public CVNITCPSocket, public CVNFESocketSink {
public:
    CVNTCPSocket();
    ~CVNTCPSocket() override;

    // CVNITCPSocket
    void SetSink(CVNITCPSocketSink* pSink) override { m_pSink = pSink; }
    bool Attach(int fd) override;
    int Detach() override;
    int GetSocket() override { return m_Socket.GetSocket(); }
    int Send(const void* buf, int len) override;
    int Recv(void* buf, int len) override;
    int GetUnreadDataLen() override;
    bool SetSendBufSize(unsigned int size) override;
    bool GetSendBufSize(int* size) override;
    bool SetRecvBufSize(unsigned int size) override;
    bool GetRecvBufSize(int* size) override;
    bool SetNoDelay(bool bNoDelay) override;
    bool GetSockName(unsigned int* ip, unsigned short* port) override;
    bool GetPeerName(unsigned int* ip, unsigned short* port) override;
    bool SetEvent(int events, bool bRemove) override;
    void Close() override;

    // CVNFESocketSink: passed on to the sink.
    void OnRecv() override;
    void OnSend() override;
    void OnClose() override;

    CVNFESocket& FESocket() { return m_Socket; }

private:
    CVNFESocket m_Socket;
    CVNITCPSocketSink* m_pSink;  // not owned
};
