// Internal header (not installed): CVNTCPListenSocket, the direct listening socket behind
// VNCreateNoneProxyTCPListenSocket.
//
// Thread safety: belongs to the CVNTaskIO thread that created it; every call and every
// sink report happen there.
//   CVNITCPListenSocket* l = VNCreateNoneProxyTCPListenSocket();   // on the I/O thread
//   l->SetSink(sink); l->Listen(0, 0, VN_TIMEOUT_INFINITE, 16);    // OnAccept -> l->Accept()
#pragma once

#include "net/vnfesocket_internal.h"
#include "net/vnsocketi.h"

class CVNTCPListenSocket : public CVNITCPListenSocket, public CVNFESocketSink {
public:
    CVNTCPListenSocket();
    ~CVNTCPListenSocket() override;

    // CVNITCPListenSocket
    void SetSink(CVNITCPListenSocketSink* pSink) override { m_pSink = pSink; }
    bool Listen(unsigned int ip, unsigned short port, unsigned int timeoutMs, int backlog) override;
    bool GetLocalAddr(unsigned int* ip, unsigned short* port) override;
    bool Attach(int fd, unsigned int timeoutMs) override;
    int Accept() override;
    void Close() override;

    // CVNFESocketSink
    void OnRecv() override;
    void OnSend() override {}
    void OnClose() override;
    void OnTimeout() override;

    CVNFESocket& FESocket() { return m_Socket; }
    unsigned int GetTimeout() const { return m_uTimeout; }

private:
    // Adopts a listening descriptor and registers accept interest, lasting or one-shot.
    void Adopt(int fd, unsigned int timeoutMs);

    CVNFESocket m_Socket;
    unsigned int m_uTimeout;           // per-connection wait; VN_TIMEOUT_INFINITE: none
    CVNITCPListenSocketSink* m_pSink;  // not owned
};
