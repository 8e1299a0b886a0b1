// Internal header (not installed): the SOCKS5 client (RFC 1928, username/password of
// RFC 1929). CVNSock5ProxyTCP is the handshake engine on one control connection; three
// sockets embed one engine each and are its sink: CVNSocks5ProxyTCPCnnSocket (CONNECT),
// CVNSocks5ProxyTCPListenSocket (BIND) and CVNSocks5ProxyUDPSocket (UDP ASSOCIATE). They
// are what the factories make for VNPROXY_SOCKS5.
//
// Thread safety: every object belongs to the CVNTaskIO thread that created it; every call
// and every report happen there. A sink may delete the socket inside any report.
//   CVNITCPCnnSocket* c = VNCreateProxyCnnTCPSocket(VNPROXY_SOCKS5, "127.0.0.1", 1080, u, p);
//   c->SetSink(sink); c->Connect("dest.example", 443, 5000);  // OnConnect -> c->Detach()
#pragma once

#include <string>

#include "net/vnfesocket_internal.h"
#include "net/vnproxyinfo_internal.h"
#include "net/vnsocketi.h"

// What the engine reports to the socket that embeds it.
class CVNSock5ProxyTCPSink {
public:
    virtual ~CVNSock5ProxyTCPSink() {}
    // The CONNECT reply (or a failure before it).
    virtual void OnConnect(bool bSuccess) = 0;
    // The first BIND reply: the proxy listens (see GetBoundIp).
    virtual void OnBind(bool bSuccess) = 0;
    // The second BIND reply: a peer connected to the proxy (or the wait failed).
    virtual void OnBindAccept(bool bSuccess) = 0;
    // The UDP ASSOCIATE reply with the relay's address (network order) and port. Only an
    // IPv4 relay is accepted: the datagram socket is IPv4.
    virtual void OnUdpAssociate(bool bSuccess, unsigned int ip, unsigned short port) = 0;
    // Established control connection: never raised by the engine; writable; closed.
    virtual void OnRecv() = 0;
    virtual void OnSend() = 0;
    virtual void OnClose() = 0;
};

class CVNSock5ProxyTCP : public CVNFESocketSink {
public:
    enum { kCmdConnect = 1, kCmdBind = 2, kCmdUdpAssociate = 3 };
    enum { kMethodNone = 0, kMethodUserPass = 2 };
    enum {
        kStateIdle = 0,          // idle, or failed (control connection closed)
        kStateConnecting = 4,    // connecting to the proxy
        kStateGreetingSent = 5,  // waiting for the method reply
        kStateAuthSent = 6,      // waiting for the authentication reply
        kStateAuthReading = 7,
        kStateRequestSent = 8,  // waiting for the reply to the request
        kStateReplyReading = 9,
        kStateEstablished = 10,  // the request succeeded; no interest registered
    };
    enum { kDefaultTimeout = 5000 };
    // Longest reply: 4 header bytes, a length byte, a 255-byte name and the port.
    enum { kMaxReply = 4 + 1 + 255 + 2 };

    explicit CVNSock5ProxyTCP(CVNSock5ProxyTCPSink* pSink);
    ~CVNSock5ProxyTCP() override;
    CVNSock5ProxyTCP(const CVNSock5ProxyTCP&) = delete;
    CVNSock5ProxyTCP& operator=(const CVNSock5ProxyTCP&) = delete;

    // Copies of the proxy settings. false for a null host, port 0, or a user name or
    // password longer than 255 bytes (their length bytes cannot say more).
    bool SetProxyInfo(const char* host, unsigned short port, const char* user,
                      const char* password);
    bool HasProxy() const { return m_proxy.host != nullptr; }
    // The destination (CONNECT) or the local UDP port (UDP ASSOCIATE; host null). false for a
    // host longer than 255 bytes or no memory.
    bool SetDest(const char* host, unsigned short port);
    // Every step of the handshake must complete within timeoutMs (VN_TIMEOUT_INFINITE or 0:
    // no limit).
    void SetTimeout(unsigned int timeoutMs) { m_uTimeout = timeoutMs; }
    void SetCommand(unsigned char cmd) { m_cCommand = cmd; }

    // Connects to the proxy and runs the handshake; a failure to start is reported to the
    // sink before this returns. The sink may delete the engine inside that report.
    void Start();
    // After the first BIND reply: waits (with the time-out) for the second one, which is
    // reported as OnBindAccept. false when the registration failed.
    bool WaitBindAccept();
    // Forgets the control descriptor and returns it, unregistered and open (-1 if none).
    int Detach();
    // Unregisters and closes the control connection; the engine becomes idle.
    void Close();

    int GetState() const { return m_nState; }
    int GetSocket() const { return m_nSocket; }
    // The address and port of a CONNECT or first BIND reply, and of the second BIND reply
    // (the peer). A reply may give a name or an IPv6 address, which these cannot express:
    // the address is then 0 and the port the reply's.
    unsigned int GetBoundIp() const { return m_uBoundIp; }
    unsigned short GetBoundPort() const { return m_uBoundPort; }
    unsigned int GetPeerIp() const { return m_uPeerIp; }
    unsigned short GetPeerPort() const { return m_uPeerPort; }
    CVNFESocket& FESocket() { return m_Socket; }

    // CVNFESocketSink: the control connection's readiness.
    void OnRecv() override;
    void OnSend() override;
    void OnClose() override;
    void OnTimeout() override;

private:
    // The time-out as the pump takes it (0: none).
    unsigned int PumpTimeout() const;
    bool SendBytes(const unsigned char* buf, size_t len);
    void SendRequest();
    // Reads what the awaited message still lacks (never more): 1 complete, 0 more to come,
    // -1 the connection ended or failed.
    int Collect();
    // Bytes of the awaited message (known once its fixed head arrived).
    size_t Needed() const;
    // The reply of each waiting state, complete in m_reply.
    void OnMethodReply();
    void OnAuthReply();
    void OnRequestReply(size_t have);
    void Finish(bool bResult);

    vn::detail::ProxySettings m_proxy;
    char* m_pszDestHost;  // malloc'ed copy, or null
    unsigned short m_uDestPort;
    unsigned int m_uRelayIp;  // UDP ASSOCIATE reply
    unsigned short m_uRelayPort;
    unsigned int m_uBoundIp;  // CONNECT or first BIND reply; 0 unless IPv4
    unsigned short m_uBoundPort;
    unsigned int m_uPeerIp;  // second BIND reply; 0 unless IPv4
    unsigned short m_uPeerPort;
    unsigned char m_cCommand;
    unsigned char m_cMethod;
    int m_nState;
    int m_nSocket;  // control descriptor copy, -1
    CVNFESocket m_Socket;
    unsigned int m_uTimeout;
    CVNSock5ProxyTCPSink* m_pSink;  // not owned
    bool m_bWaitBindAccept;         // established BIND waiting for its second reply
    unsigned char m_reply[kMaxReply];
    size_t m_nHave;  // bytes of the awaited message read so far
};

class CVNSocks5ProxyTCPCnnSocket : public CVNITCPCnnSocket, public CVNSock5ProxyTCPSink {
public:
    CVNSocks5ProxyTCPCnnSocket();
    ~CVNSocks5ProxyTCPCnnSocket() override;

    bool SetProxyInfo(const char* host, unsigned short port, const char* user,
                      const char* password) {
        return m_Engine.SetProxyInfo(host, port, user, password);
    }

    // CVNITCPCnnSocket
    void SetSink(CVNITCPCnnSocketSink* pSink) override { m_pSink = pSink; }
    // false for a null host or one over 255 bytes, port 0 or time-out 0; otherwise true,
    // and exactly one OnConnect follows (possibly before this returns).
    bool Connect(const char* host, unsigned short port, unsigned int timeoutMs) override;
    int Detach() override { return m_Engine.Detach(); }

    // CVNSock5ProxyTCPSink
    void OnConnect(bool bSuccess) override;
    void OnBind(bool) override {}
    void OnBindAccept(bool) override {}
    void OnUdpAssociate(bool, unsigned int, unsigned short) override {}
    void OnRecv() override {}
    void OnSend() override {}
    void OnClose() override {}

    CVNSock5ProxyTCP& Engine() { return m_Engine; }

private:
    CVNSock5ProxyTCP m_Engine;
    CVNITCPCnnSocketSink* m_pSink;  // not owned
};

class CVNSocks5ProxyTCPListenSocket : public CVNITCPListenSocket, public CVNSock5ProxyTCPSink {
public:
    CVNSocks5ProxyTCPListenSocket();
    ~CVNSocks5ProxyTCPListenSocket() override;

    bool SetProxyInfo(const char* host, unsigned short port, const char* user,
                      const char* password) {
        return m_Engine.SetProxyInfo(host, port, user, password);
    }

    // CVNITCPListenSocket. Listen asks the proxy to listen (BIND); ip, port and backlog are
    // the proxy's business and not used. It returns true; OnListen (the address peers
    // should connect to) or OnClose follows, then OnAccept or OnClose for the one peer.
    // When the proxy announces a name or an IPv6 address, OnListen gets address 0 and the
    // port.
    void SetSink(CVNITCPListenSocketSink* pSink) override { m_pSink = pSink; }
    bool Listen(unsigned int ip, unsigned short port, unsigned int timeoutMs, int backlog) override;
    // The address and port the proxy announced in its first BIND reply (both written even
    // on false). true only for a non-zero IPv4 address and port: a name or an IPv6 address
    // cannot be expressed here (address 0, false).
    bool GetLocalAddr(unsigned int* ip, unsigned short* port) override;
    bool Attach(int, unsigned int) override { return false; }
    // The control connection, which now carries the peer's stream; -1 before OnAccept.
    int Accept() override;
    void Close() override { m_Engine.Close(); }

    // CVNSock5ProxyTCPSink
    void OnConnect(bool) override {}
    void OnBind(bool bSuccess) override;
    void OnBindAccept(bool bSuccess) override;
    void OnUdpAssociate(bool, unsigned int, unsigned short) override {}
    void OnRecv() override {}
    void OnSend() override {}
    void OnClose() override {}

    CVNSock5ProxyTCP& Engine() { return m_Engine; }

private:
    unsigned int m_uTimeout;
    bool m_bAccepted;
    CVNSock5ProxyTCP m_Engine;
    CVNITCPListenSocketSink* m_pSink;  // not owned
};

class CVNSocks5ProxyUDPSocket : public CVNIUDPSocket,
                                public CVNFESocketSink,
                                public CVNSock5ProxyTCPSink {
public:
    enum { kRecvBufSize = 10240, kSendBufSize = 10240 };
    enum { kHeaderIPv4 = 10 };

    CVNSocks5ProxyUDPSocket();
    ~CVNSocks5ProxyUDPSocket() override;

    bool SetProxyInfo(const char* host, unsigned short port, const char* user,
                      const char* password) {
        return m_Engine.SetProxyInfo(host, port, user, password);
    }

    // CVNIUDPSocket. Create binds the local socket and asks the proxy for a relay; OnCreate
    // follows once the relay is known (or the association failed, also when the proxy
    // names an IPv6 or named relay, which this IPv4 socket could not reach).
    bool Create(unsigned int timeoutMs, unsigned int ip, unsigned short port) override;
    void SetSink(CVNIUDPSocketSink* pSink) override { m_pSink = pSink; }
    bool Attach(int fd) override;
    int Detach() override;
    int GetSocket() override { return m_Udp.GetSocket(); }
    // Sends through the relay: len when the whole datagram went; 0 for bad arguments, a
    // host over 255 bytes, a datagram over the 10240-byte send buffer, no relay yet, or a
    // failed send.
    int SendTo(const char* ip, unsigned short port, const char* buf, unsigned int len) override;
    // One relayed datagram's payload, moved to the start of buf, with its (IPv4) sender; 0
    // for anything else, including a datagram from a named or IPv6 sender.
    int RecvFrom(char* buf, int len, unsigned int* ip, unsigned short* port) override;
    bool SetSendBufSize(unsigned int size) override;
    bool SetRecvBufSize(unsigned int size) override;
    bool GetSockName(unsigned int* ip, unsigned short* port) override;
    bool SetEvent(int events, bool bRemove) override { return m_Udp.SetEvent(events, bRemove); }
    void Close() override;

    // CVNFESocketSink (the UDP descriptor) and CVNSock5ProxyTCPSink share OnRecv, OnSend
    // and OnClose: the engine never raises OnRecv, and the other two are of no interest.
    void OnRecv() override;
    void OnSend() override {}
    void OnClose() override {}
    void OnConnect(bool) override {}
    void OnBind(bool) override {}
    void OnBindAccept(bool) override {}
    void OnUdpAssociate(bool bSuccess, unsigned int ip, unsigned short port) override;

    CVNSock5ProxyTCP& Engine() { return m_Engine; }
    unsigned int GetRelayIp() const { return m_uRelayIp; }
    unsigned short GetRelayPort() const { return m_uRelayPort; }

private:
    CVNIUDPSocketSink* m_pSink;  // not owned
    int m_nSocket;               // UDP descriptor copy, -1
    CVNFESocket m_Udp;
    CVNSock5ProxyTCP m_Engine;
    std::string m_strRelayIp;  // dotted text of the relay ("" before the association)
    unsigned int m_uRelayIp;
    unsigned short m_uRelayPort;
    char* m_pRecvBuf;  // kRecvBufSize bytes, malloc'ed at first use; owned
    char* m_pSendBuf;  // kSendBufSize bytes, malloc'ed at first use; owned
};
