// Internal header (not installed): CVNTCPCnnSocket, the direct outgoing TCP connection
// behind VNCreateNoneProxyCnnTCPSocket.
//
// Thread safety: belongs to the CVNTaskIO thread that created it; every call and every
// OnConnect happen there.
//   CVNITCPCnnSocket* c = VNCreateNoneProxyCnnTCPSocket();   // on the I/O thread
//   c->SetSink(sink); c->Connect("127.0.0.1", port, 5000);     // OnConnect -> c->Detach()
#pragma once

#include "net/vnfesocket_internal.h"
#include "net/vnsocketi.h"

class CVNTCPCnnSocket : public CVNITCPCnnSocket, public CVNFESocketSink {
public:
    CVNTCPCnnSocket();
    ~CVNTCPCnnSocket() override;

    // CVNITCPCnnSocket
    void SetSink(CVNITCPCnnSocketSink* pSink) override { m_pSink = pSink; }
    // A new Connect abandons an attempt still in progress (its descriptor is closed and it
    // reports nothing).
    bool Connect(const char* host, unsigned short port, unsigned int timeoutMs) override;
    int Detach() override;

    // CVNFESocketSink: the outcome of the connect, reported once.
    void OnRecv() override;
    void OnSend() override;
    void OnClose() override;
    void OnTimeout() override;

    CVNFESocket& FESocket() { return m_Socket; }

private:
    // Reports the outcome unless it was reported already.
    void Report(bool bSuccess, int nReason);

    CVNFESocket m_Socket;
    CVNITCPCnnSocketSink* m_pSink;  // not owned
    bool m_bConnecting;             // a started connect has not been reported yet
};
