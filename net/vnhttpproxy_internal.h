// Internal header (not installed): CVNHttpProxyTCPCnnSocket, the outgoing TCP connection
// that reaches its destination through an HTTP proxy's CONNECT method (proxy type
// VNPROXY_HTTP of the factories).
//
// Thread safety: belongs to the CVNTaskIO thread that created it; every call and the one
// OnConnect happen there. The sink may delete the socket inside OnConnect.
//   CVNITCPCnnSocket* c = VNCreateProxyCnnTCPSocket(VNPROXY_HTTP, "127.0.0.1", 8888, u, p);
//   c->SetSink(sink); c->Connect("dest.example", 443, 5000);  // OnConnect -> c->Detach()
#pragma once

#include <string>

#include "net/vnfesocket_internal.h"
#include "net/vnhttptext_internal.h"
#include "net/vnproxyinfo_internal.h"
#include "net/vnsocketi.h"

namespace vn {
namespace detail {

// Longest host name, user name or password the proxy clients put on the wire (the SOCKS5
// length bytes cannot say more; the HTTP client keeps the same bound).
constexpr size_t kMaxProxyFieldLen = 255;

}  // namespace detail
}  // namespace vn

class CVNHttpProxyTCPCnnSocket : public CVNITCPCnnSocket, public CVNFESocketSink {
public:
    // Replies longer than this (status line and headers) are refused.
    enum { kMaxReplyHead = 4096 };
    enum { kStateIdle = 0, kStatePlainSent = 2, kStateAuthSent = 4 };

    CVNHttpProxyTCPCnnSocket();
    ~CVNHttpProxyTCPCnnSocket() override;

    // The proxy to go through (copies). false for a null host, port 0, or a user name or
    // password longer than 255 bytes (they are refused rather than cut).
    bool SetProxyInfo(const char* host, unsigned short port, const char* user,
                      const char* password);

    // CVNITCPCnnSocket
    void SetSink(CVNITCPCnnSocketSink* pSink) override { m_pSink = pSink; }
    // false (no OnConnect) for a null or over-long host, port 0, time-out 0, or when the
    // connection to the proxy cannot be started. A new Connect abandons one in progress.
    bool Connect(const char* host, unsigned short port, unsigned int timeoutMs) override;
    int Detach() override;

    // CVNFESocketSink: drive the CONNECT exchange.
    void OnRecv() override;
    void OnSend() override;
    void OnClose() override;
    void OnTimeout() override;

    // The request texts, exactly as sent (exposed for the tests).
    std::string PlainRequest() const;
    std::string AuthRequest() const;
    int GetState() const { return m_nState; }

private:
    // The destination as the requests name it: host:port, an IPv6 literal in brackets.
    std::string Authority() const;
    // Opens a fresh connection to the proxy; true when the connect is under way.
    bool OpenProxyConnection();
    // Reports the outcome once; on failure the descriptor is closed first.
    void Finish(bool bSuccess);

    vn::detail::ProxySettings m_proxy;
    char* m_pszHost;  // destination (malloc'ed copy), or null
    unsigned short m_uPort;
    unsigned int m_uTimeout;
    int m_nSocket;  // copy of the descriptor connected to the proxy, -1
    CVNFESocket m_Socket;
    CVNITCPCnnSocketSink* m_pSink;  // not owned
    int m_nState;
    bool m_bConnecting;   // a started Connect has not been reported yet
    std::string m_reply;  // the reply head collected so far (bytes already consumed)
};
