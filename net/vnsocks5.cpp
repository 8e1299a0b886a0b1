// The SOCKS5 client: handshake engine and the three sockets built on it (see
// vnsocks5_internal.h).
//
// Replies are collected until they are complete before they are judged: a proxy may send
// one in several segments. Exactly the bytes of the awaited message are read (a bounded
// read, never more), because whatever follows a CONNECT or BIND reply already belongs to
// the tunnel and must stay in the socket for whoever detaches it. A request reply's length
// depends on its address type (IPv4 10 bytes, IPv6 22, a name 7 plus its length), so it is
// read in two steps: the fixed head up to the first byte after the type, then the rest.
#include "net/vnsocks5_internal.h"

#include <arpa/inet.h>
#include <stdlib.h>
#include <string.h>

#include "base/vnlog.h"
#include "fevent/vnfevent.h"
#include "net/vnnet.h"
#include "net/vnnet_internal.h"

namespace {

constexpr size_t kMaxField = 255;  // one length byte on the wire

bool TooLong(const char* s) {
    return s != nullptr && strlen(s) > kMaxField;
}

// Dotted-decimal text goes on the wire as an IPv4 address; 255.255.255.255 cannot be told
// from unparsable text and goes as a name.
bool DottedIp(const char* text, unsigned int* ip) {
    *ip = vnnet_strtoip(text);
    return *ip != 0xFFFFFFFFu;
}

// Address types of requests, replies and datagram headers (RFC 1928).
constexpr unsigned char kAtypIPv4 = 1, kAtypName = 3, kAtypIPv6 = 4;

// The length of a request reply from its first have bytes: version, code, reserved and
// address type, then the address and port. The fifth byte is the first of the address, or
// a name's length. Until those five are in, and for a reply that is malformed from its head
// on (an unknown type, an empty name), the answer is 5: such a reply is judged (refused)
// as it stands instead of waiting for bytes that would not make it valid.
size_t RequestReplyLength(const unsigned char* r, size_t have) {
    if (have < 5) return 5;
    switch (r[3]) {
        case kAtypIPv4:
            return 4 + 4 + 2;
        case kAtypName:
            return r[4] == 0 ? 5 : 4 + 1 + r[4] + 2;
        case kAtypIPv6:
            return 4 + 16 + 2;
        default:
            return 5;
    }
}

}  // namespace

// ---------------------------------------------------------------------------------------
// CVNSock5ProxyTCP

CVNSock5ProxyTCP::CVNSock5ProxyTCP(CVNSock5ProxyTCPSink* pSink)
    : m_pszDestHost(nullptr),
      m_uDestPort(0),
      m_uRelayIp(0),
      m_uRelayPort(0),
      m_uBoundIp(0),
      m_uBoundPort(0),
      m_uPeerIp(0),
      m_uPeerPort(0),
      m_cCommand(kCmdConnect),
      m_cMethod(kMethodNone),
      m_nState(kStateIdle),
      m_nSocket(-1),
      m_Socket(this),
      m_uTimeout(kDefaultTimeout),
      m_pSink(pSink),
      m_bWaitBindAccept(false),
      m_nHave(0) {}

CVNSock5ProxyTCP::~CVNSock5ProxyTCP() {
    free(m_pszDestHost);
}

bool CVNSock5ProxyTCP::SetProxyInfo(const char* host, unsigned short port, const char* user,
                                    const char* password) {
    if (TooLong(user) || TooLong(password)) return false;
    return m_proxy.Assign(host, port, user, password);
}

bool CVNSock5ProxyTCP::SetDest(const char* host, unsigned short port) {
    if (TooLong(host)) return false;
    char* copy = nullptr;
    if (host != nullptr) {
        copy = strdup(host);
        if (copy == nullptr) return false;
    }
    free(m_pszDestHost);
    m_pszDestHost = copy;
    m_uDestPort = port;
    return true;
}

unsigned int CVNSock5ProxyTCP::PumpTimeout() const {
    // "No limit" must not become a deadline 49 days ahead that the pump's 32-bit clock
    // could wrap past.
    return m_uTimeout == VN_TIMEOUT_INFINITE ? 0 : m_uTimeout;
}

void CVNSock5ProxyTCP::Start() {
    m_nState = kStateConnecting;
    m_Socket.Close();
    m_nSocket = -1;
    m_nHave = 0;
    m_bWaitBindAccept = false;
    m_uBoundIp = m_uPeerIp = m_uRelayIp = 0;
    m_uBoundPort = m_uPeerPort = m_uRelayPort = 0;
    int fd =
        m_proxy.host != nullptr ? vn::detail::socket_open_connect(m_proxy.host, m_proxy.port) : -1;
    if (fd == -1) {
        Finish(false);
        return;
    }
    m_nSocket = fd;
    m_Socket.Attach(fd);
    if (!m_Socket.SetEventOnce(VN_EV_READ | VN_EV_WRITE, PumpTimeout())) Finish(false);
}

bool CVNSock5ProxyTCP::WaitBindAccept() {
    if (m_nState != kStateEstablished || m_cCommand != kCmdBind) return false;
    m_nHave = 0;
    m_bWaitBindAccept = m_Socket.SetEventOnce(VN_EV_READ, PumpTimeout());
    return m_bWaitBindAccept;
}

int CVNSock5ProxyTCP::Detach() {
    m_nSocket = -1;
    m_bWaitBindAccept = false;
    if (m_nState == kStateEstablished) m_nState = kStateIdle;
    return m_Socket.Detach();
}

void CVNSock5ProxyTCP::Close() {
    m_nSocket = -1;
    m_bWaitBindAccept = false;
    m_nState = kStateIdle;
    m_Socket.Close();
}

bool CVNSock5ProxyTCP::SendBytes(const unsigned char* buf, size_t len) {
    return vnsocket_send(m_nSocket, buf, static_cast<unsigned>(len)) == static_cast<int>(len);
}

void CVNSock5ProxyTCP::OnSend() {
    if (m_nState == kStateEstablished) {
        if (m_pSink != nullptr) m_pSink->OnSend();
        return;
    }
    if (m_nState != kStateConnecting) return;
    // Writable: the connect finished; a failed one still has its error pending.
    if (vn::detail::socket_pending_error(m_nSocket) != 0) {
        Finish(false);
        return;
    }
    m_nState = kStateGreetingSent;
    m_cMethod =
        (m_proxy.user != nullptr && m_proxy.user[0] != '\0') ? kMethodUserPass : kMethodNone;
    const unsigned char greeting[3] = {5, 1, m_cMethod};
    m_nHave = 0;
    if (!SendBytes(greeting, sizeof(greeting)) ||
        !m_Socket.SetEventOnce(VN_EV_READ, PumpTimeout())) {
        Finish(false);
    }
}

size_t CVNSock5ProxyTCP::Needed() const {
    if (m_nState == kStateGreetingSent || m_nState == kStateAuthSent) return 2;
    return RequestReplyLength(m_reply, m_nHave);
}

int CVNSock5ProxyTCP::Collect() {
    for (;;) {
        size_t need = Needed();
        if (m_nHave >= need) return 1;
        int n = vn::detail::socket_read_waiting(m_nSocket, m_reply + m_nHave, need - m_nHave);
        if (n <= 0) return n;  // 0: more to come; -1: the connection ended or failed
        m_nHave += static_cast<size_t>(n);
    }
}

void CVNSock5ProxyTCP::OnRecv() {
    bool waiting = m_nState == kStateGreetingSent || m_nState == kStateAuthSent ||
                   m_nState == kStateRequestSent ||
                   (m_nState == kStateEstablished && m_bWaitBindAccept);
    if (!waiting) return;
    // Each step gets the full time-out; a step still short of bytes waits for more.
    if (!m_Socket.SetEventOnce(VN_EV_READ, PumpTimeout())) {
        Finish(false);
        return;
    }
    int r = Collect();
    if (r < 0) {
        Finish(false);
        return;
    }
    if (r == 0) return;
    size_t have = m_nHave;
    m_nHave = 0;
    if (m_nState == kStateGreetingSent) {
        OnMethodReply();
    } else if (m_nState == kStateAuthSent) {
        OnAuthReply();
    } else {
        OnRequestReply(have);  // state 8, or the second BIND reply in state 10
    }
}

void CVNSock5ProxyTCP::OnMethodReply() {
    if (m_reply[0] != 5 || m_reply[1] != m_cMethod) {
        Finish(false);  // 0xFF (nothing acceptable) or a method never offered
        return;
    }
    if (m_cMethod == kMethodNone) {
        SendRequest();
        return;
    }
    m_nState = kStateAuthSent;
    const char* user = m_proxy.user != nullptr ? m_proxy.user : "";
    const char* pass = m_proxy.password != nullptr ? m_proxy.password : "";
    size_t ulen = strlen(user), plen = strlen(pass);  // at most 255 each (SetProxyInfo)
    unsigned char msg[3 + 2 * kMaxField];
    size_t len = 0;
    msg[len++] = 1;
    msg[len++] = static_cast<unsigned char>(ulen);
    memcpy(msg + len, user, ulen);  // NOLINT(bugprone-not-null-terminated-result): wire bytes
    len += ulen;
    msg[len++] = static_cast<unsigned char>(plen);
    memcpy(msg + len, pass, plen);  // NOLINT(bugprone-not-null-terminated-result): wire bytes
    len += plen;
    if (!SendBytes(msg, len)) Finish(false);
}

void CVNSock5ProxyTCP::OnAuthReply() {
    m_nState = kStateAuthReading;
    // Only the status byte counts; proxies differ in the version byte they echo.
    if (m_reply[1] != 0) {
        Finish(false);
        return;
    }
    SendRequest();
}

void CVNSock5ProxyTCP::OnRequestReply(size_t have) {
    if (m_nState == kStateRequestSent) m_nState = kStateReplyReading;
    // Collect stopped at the length of the reply's own address type; an unknown type or an
    // empty name stopped it at the head.
    unsigned char atyp = m_reply[3];
    bool ok = m_reply[0] == 5 && m_reply[1] == 0 &&
              (atyp == kAtypIPv4 || (atyp == kAtypName && m_reply[4] != 0) || atyp == kAtypIPv6) &&
              have == RequestReplyLength(m_reply, have);
    // A name or an IPv6 address cannot be told through the IPv4 getters: the address is
    // kept as 0 ("not an IPv4 address"), the port as given.
    unsigned int ip = 0;
    unsigned short port = 0;
    if (ok) {
        if (atyp == kAtypIPv4) memcpy(&ip, m_reply + 4, 4);
        memcpy(&port, m_reply + have - 2, 2);
        port = vnnet_ntoh16(port);
    }
    if (ok && m_nState == kStateEstablished) {
        m_uPeerIp = ip;
        m_uPeerPort = port;
    } else if (ok && m_cCommand == kCmdUdpAssociate) {
        // The datagram socket is IPv4 (Create takes an IPv4 address), so only an IPv4 relay
        // can be reached from it; a relay named or given as IPv6 is refused rather than
        // resolved here on the I/O thread or reached over a second socket.
        ok = atyp == kAtypIPv4;
        // 0.0.0.0 means "where you reached me": the address of the proxy itself, which must
        // then be an IPv4 one too.
        if (ok && ip == 0) ok = vnsocket_getpeername(m_nSocket, &ip, nullptr);
        if (ok) {
            m_uRelayIp = ip;
            m_uRelayPort = port;
        }
    } else if (ok) {
        m_uBoundIp = ip;
        m_uBoundPort = port;
    }
    Finish(ok);
}

void CVNSock5ProxyTCP::SendRequest() {
    m_nState = kStateRequestSent;
    unsigned char req[4 + 1 + kMaxField + 2];
    size_t len = 0;
    req[len++] = 5;
    req[len++] = m_cCommand;
    req[len++] = 0;
    unsigned int ip = 0;
    unsigned char ip6[16];
    if (m_cCommand != kCmdConnect || m_pszDestHost == nullptr || DottedIp(m_pszDestHost, &ip)) {
        // BIND and UDP ASSOCIATE name the address 0.0.0.0 (ip left 0).
        req[len++] = kAtypIPv4;
        memcpy(req + len, &ip, 4);
        len += 4;
    } else if (inet_pton(AF_INET6, m_pszDestHost, ip6) == 1) {
        // An IPv6 literal (the text vnnet_addrfamily calls 6, without brackets) as its 16
        // bytes: sent as a name, the proxy would have to resolve it, and some refuse to.
        req[len++] = kAtypIPv6;
        memcpy(req + len, ip6, sizeof(ip6));
        len += sizeof(ip6);
    } else {
        size_t hlen = strlen(m_pszDestHost);  // at most 255 (SetDest)
        req[len++] = kAtypName;
        req[len++] = static_cast<unsigned char>(hlen);
        memcpy(req + len, m_pszDestHost, hlen);
        len += hlen;
    }
    // BIND names port 0; CONNECT the destination's; UDP ASSOCIATE the local UDP port.
    unsigned short port = vnnet_hton16(m_cCommand == kCmdBind ? 0 : m_uDestPort);
    memcpy(req + len, &port, 2);
    len += 2;
    if (!SendBytes(req, len)) Finish(false);
}

void CVNSock5ProxyTCP::OnClose() {
    if (m_nState == kStateEstablished && !m_bWaitBindAccept) {
        m_nSocket = -1;  // already closed by the socket layer
        m_nState = kStateIdle;
        if (m_pSink != nullptr) m_pSink->OnClose();
        return;
    }
    Finish(false);
}

void CVNSock5ProxyTCP::OnTimeout() {
    OnClose();
}

void CVNSock5ProxyTCP::Finish(bool bResult) {
    if (m_nState == kStateIdle) return;
    int before = m_nState;
    m_Socket.SetEvent(VN_EV_READ | VN_EV_WRITE, true);
    m_nHave = 0;
    m_bWaitBindAccept = false;
    if (!bResult) {
        m_nSocket = -1;
        m_Socket.Close();
        m_nState = kStateIdle;
    } else {
        m_nState = kStateEstablished;
    }
    if (m_pSink == nullptr) return;
    // The sink may delete the engine's owner: nothing after these calls.
    switch (m_cCommand) {
        case kCmdConnect:
            m_pSink->OnConnect(bResult);
            break;
        case kCmdBind:
            if (before == kStateEstablished) {
                m_pSink->OnBindAccept(bResult);
            } else {
                m_pSink->OnBind(bResult);
            }
            break;
        case kCmdUdpAssociate:
            m_pSink->OnUdpAssociate(bResult, m_uRelayIp, m_uRelayPort);
            break;
        default:
            break;
    }
}

// ---------------------------------------------------------------------------------------
// CVNSocks5ProxyTCPCnnSocket

CVNSocks5ProxyTCPCnnSocket::CVNSocks5ProxyTCPCnnSocket() : m_Engine(this), m_pSink(nullptr) {}

CVNSocks5ProxyTCPCnnSocket::~CVNSocks5ProxyTCPCnnSocket() {}

bool CVNSocks5ProxyTCPCnnSocket::Connect(const char* host, unsigned short port,
                                         unsigned int timeoutMs) {
    if (host == nullptr || port == 0 || timeoutMs == 0) return false;
    if (!m_Engine.SetDest(host, port)) return false;
    m_Engine.SetTimeout(timeoutMs);
    m_Engine.SetCommand(CVNSock5ProxyTCP::kCmdConnect);
    m_Engine.Start();  // may report, and the report may delete this
    return true;
}

void CVNSocks5ProxyTCPCnnSocket::OnConnect(bool bSuccess) {
    if (m_pSink != nullptr) m_pSink->OnConnect(bSuccess, this, 0);
}

// ---------------------------------------------------------------------------------------
// CVNSocks5ProxyTCPListenSocket

CVNSocks5ProxyTCPListenSocket::CVNSocks5ProxyTCPListenSocket()
    : m_uTimeout(CVNSock5ProxyTCP::kDefaultTimeout),
      m_bAccepted(false),
      m_Engine(this),
      m_pSink(nullptr) {}

CVNSocks5ProxyTCPListenSocket::~CVNSocks5ProxyTCPListenSocket() {}

bool CVNSocks5ProxyTCPListenSocket::Listen(unsigned int /*ip*/, unsigned short /*port*/,
                                           unsigned int timeoutMs, int /*backlog*/) {
    m_uTimeout = timeoutMs;
    m_bAccepted = false;
    m_Engine.SetDest(nullptr, 0);
    m_Engine.SetTimeout(timeoutMs);
    m_Engine.SetCommand(CVNSock5ProxyTCP::kCmdBind);
    m_Engine.Start();  // may report, and the report may delete this
    return true;
}

bool CVNSocks5ProxyTCPListenSocket::GetLocalAddr(unsigned int* ip, unsigned short* port) {
    unsigned int bip = m_Engine.GetBoundIp();
    unsigned short bport = m_Engine.GetBoundPort();
    if (ip != nullptr) *ip = bip;
    if (port != nullptr) *port = bport;
    return bip != 0 && bport != 0;
}

int CVNSocks5ProxyTCPListenSocket::Accept() {
    if (!m_bAccepted) return -1;
    m_bAccepted = false;
    return m_Engine.Detach();
}

void CVNSocks5ProxyTCPListenSocket::OnBind(bool bSuccess) {
    // The second reply comes on the same connection when a peer arrives: listen for it
    // with the caller's time-out before telling anyone (the sink may delete this).
    if (bSuccess && !m_Engine.WaitBindAccept()) {
        m_Engine.Close();
        bSuccess = false;
    }
    if (!bSuccess) {
        m_Engine.Close();
        if (m_pSink != nullptr) m_pSink->OnClose(this);
        return;
    }
    if (m_pSink != nullptr) m_pSink->OnListen(m_Engine.GetBoundIp(), m_Engine.GetBoundPort(), this);
}

void CVNSocks5ProxyTCPListenSocket::OnBindAccept(bool bSuccess) {
    if (!bSuccess) {
        m_Engine.Close();
        if (m_pSink != nullptr) m_pSink->OnClose(this);
        return;
    }
    m_bAccepted = true;
    if (m_pSink != nullptr) m_pSink->OnAccept(this);
}

// ---------------------------------------------------------------------------------------
// CVNSocks5ProxyUDPSocket

CVNSocks5ProxyUDPSocket::CVNSocks5ProxyUDPSocket()
    : m_pSink(nullptr),
      m_nSocket(-1),
      m_Udp(this),
      m_Engine(this),
      m_uRelayIp(0),
      m_uRelayPort(0),
      m_pRecvBuf(nullptr),
      m_pSendBuf(nullptr) {}

CVNSocks5ProxyUDPSocket::~CVNSocks5ProxyUDPSocket() {
    free(m_pRecvBuf);
    free(m_pSendBuf);
}

bool CVNSocks5ProxyUDPSocket::Create(unsigned int timeoutMs, unsigned int ip, unsigned short port) {
    int fd = vnsocket_create(false, 0);
    if (fd == -1) return false;
    unsigned int boundIp = 0;
    unsigned short boundPort = 0;
    if (!vnsocket_bind(fd, ip, port) || !vnsocket_getsockname(fd, &boundIp, &boundPort)) {
        vnsocket_close(fd);
        return false;
    }
    m_nSocket = fd;
    m_Udp.Attach(fd);  // no interest until the relay is known
    m_strRelayIp.clear();
    m_uRelayIp = 0;
    m_uRelayPort = 0;

    int sendSize = 0;
    int recvSize = 0;
    if (vnsocket_getsendbufsize(fd, &sendSize) && sendSize < kSendBufSize) {
        SetSendBufSize(kSendBufSize);
        vnsocket_getsendbufsize(fd, &sendSize);
    }
    if (vnsocket_getrecvbufsize(fd, &recvSize) && recvSize < kRecvBufSize) {
        SetRecvBufSize(kRecvBufSize);
        vnsocket_getrecvbufsize(fd, &recvSize);
    }
    syslog(VN_LOG_NOTICE, "unnamed", __LINE__, "Udp Create sendbufsize[%d] recvbufsize[%d]",
           sendSize, recvSize);

    m_Engine.SetDest(nullptr, boundPort);
    m_Engine.SetTimeout(timeoutMs);
    m_Engine.SetCommand(CVNSock5ProxyTCP::kCmdUdpAssociate);
    m_Engine.Start();  // may report, and the report may delete this
    return true;
}

void CVNSocks5ProxyUDPSocket::OnUdpAssociate(bool bSuccess, unsigned int ip, unsigned short port) {
    if (!bSuccess) {
        if (m_pSink != nullptr) m_pSink->OnCreate(false, 0, 0, this);
        return;
    }
    m_uRelayIp = ip;
    m_uRelayPort = port;
    m_strRelayIp = vnnet_iptostr(ip);
    m_Udp.SetEvent(VN_EV_READ, false);
    unsigned int localIp = 0;
    unsigned short localPort = 0;
    GetSockName(&localIp, &localPort);
    if (localIp == 0) localIp = vnnet_getlocalip(false);
    if (m_pSink != nullptr) m_pSink->OnCreate(true, localIp, localPort, this);
}

bool CVNSocks5ProxyUDPSocket::Attach(int fd) {
    m_Udp.Attach(fd);
    m_nSocket = fd;
    return m_Udp.SetEvent(VN_EV_READ, false);
}

int CVNSocks5ProxyUDPSocket::Detach() {
    m_nSocket = -1;
    return m_Udp.Detach();
}

int CVNSocks5ProxyUDPSocket::SendTo(const char* ip, unsigned short port, const char* buf,
                                    unsigned int len) {
    if (ip == nullptr || buf == nullptr || port == 0 || len == 0) return 0;
    if (m_strRelayIp.empty() || m_uRelayPort == 0) return 0;
    unsigned int addr = 0;
    bool dotted = DottedIp(ip, &addr);
    size_t hostLen = dotted ? 4 : strlen(ip);
    if (!dotted && hostLen > kMaxField) return 0;
    size_t head = 4 + (dotted ? 4 : 1 + hostLen) + 2;
    // Never cut a datagram: one that does not fit the buffer is refused whole.
    if (len > kSendBufSize || head + len > kSendBufSize) return 0;
    if (m_pSendBuf == nullptr) {
        m_pSendBuf = static_cast<char*>(malloc(kSendBufSize));
        if (m_pSendBuf == nullptr) {
            syslog(VN_LOG_ERROR, "unnamed", __LINE__, "SendTo malloc fail len[%u]",
                   static_cast<unsigned int>(kSendBufSize));
            return 0;
        }
    }
    unsigned char* p = reinterpret_cast<unsigned char*>(m_pSendBuf);
    size_t off = 0;
    p[off++] = 0;
    p[off++] = 0;
    p[off++] = 0;  // fragment 0: whole datagram
    if (dotted) {
        p[off++] = kAtypIPv4;
        memcpy(p + off, &addr, 4);
        off += 4;
    } else {
        p[off++] = kAtypName;
        p[off++] = static_cast<unsigned char>(hostLen);
        memcpy(p + off, ip, hostLen);
        off += hostLen;
    }
    unsigned short nport = vnnet_hton16(port);
    memcpy(p + off, &nport, 2);
    off += 2;
    memcpy(p + off, buf, len);
    off += len;
    int sent = vnsocket_sendto(m_Udp.GetSocket(), m_pSendBuf, static_cast<int>(off),
                               m_strRelayIp.c_str(), m_uRelayPort);
    return sent == static_cast<int>(off) ? static_cast<int>(len) : 0;
}

namespace {

// A relayed datagram: unfragmented, IPv4 sender, and a payload. Its payload length, or 0.
// The sink and RecvFrom can name only an IPv4 sender, so a datagram whose header gives a
// name or an IPv6 address is dropped.
int ParseRelayed(const char* buf, int n, unsigned int* ip, unsigned short* port) {
    if (n <= CVNSocks5ProxyUDPSocket::kHeaderIPv4) return 0;
    if (buf[0] != 0 || buf[1] != 0 || buf[2] != 0 || buf[3] != kAtypIPv4) return 0;
    unsigned short nport;
    if (ip != nullptr) memcpy(ip, buf + 4, 4);
    memcpy(&nport, buf + 8, 2);
    if (port != nullptr) *port = vnnet_ntoh16(nport);
    return n - CVNSocks5ProxyUDPSocket::kHeaderIPv4;
}

}  // namespace

int CVNSocks5ProxyUDPSocket::RecvFrom(char* buf, int len, unsigned int* ip, unsigned short* port) {
    int n = vnsocket_recvfrom(m_Udp.GetSocket(), buf, len, nullptr, nullptr);
    int payload = ParseRelayed(buf, n, ip, port);
    if (payload > 0) memmove(buf, buf + kHeaderIPv4, static_cast<size_t>(payload));
    return payload;
}

bool CVNSocks5ProxyUDPSocket::SetSendBufSize(unsigned int size) {
    int fd = m_Udp.GetSocket();
    return fd != -1 && vnsocket_setsendbufsize(fd, size);
}

bool CVNSocks5ProxyUDPSocket::SetRecvBufSize(unsigned int size) {
    int fd = m_Udp.GetSocket();
    return fd != -1 && vnsocket_setrecvbufsize(fd, size);
}

bool CVNSocks5ProxyUDPSocket::GetSockName(unsigned int* ip, unsigned short* port) {
    int fd = m_Udp.GetSocket();
    return fd != -1 && vnsocket_getsockname(fd, ip, port);
}

void CVNSocks5ProxyUDPSocket::Close() {
    m_nSocket = -1;
    m_Udp.Close();
    m_Engine.Close();
}

void CVNSocks5ProxyUDPSocket::OnRecv() {
    if (m_pSink == nullptr) return;
    if (m_pRecvBuf == nullptr) {
        m_pRecvBuf = static_cast<char*>(malloc(kRecvBufSize));
        if (m_pRecvBuf == nullptr) {
            syslog(VN_LOG_ERROR, "unnamed", __LINE__, "malloc recvbuf fail len[%u]",
                   static_cast<unsigned int>(kRecvBufSize));
            return;
        }
    }
    int n = vnsocket_recvfrom(m_Udp.GetSocket(), m_pRecvBuf, kRecvBufSize, nullptr, nullptr);
    unsigned int ip = 0;
    unsigned short port = 0;
    int payload = ParseRelayed(m_pRecvBuf, n, &ip, &port);
    if (payload > 0) m_pSink->OnRecv(m_pRecvBuf + kHeaderIPv4, payload, ip, port, this);
}
