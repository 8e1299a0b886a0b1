// CVNHttpProxyTCPCnnSocket: a tunnel through an HTTP proxy's CONNECT method (see
// vnhttpproxy_internal.h).
//
// The reply head is collected until its blank line before it is judged, because a proxy
// may send its status line and headers in several segments. It is read with MSG_PEEK and
// then exactly the head is consumed: whatever the proxy sends after the head already
// belongs to the tunnel and stays in the socket for the caller who detaches it.
#include "net/vnhttpproxy_internal.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "fevent/vnfevent.h"
#include "net/vnhttphead.h"
#include "net/vnnet.h"
#include "net/vnnet_internal.h"

namespace {

bool TooLong(const char* s) {
    return s != nullptr && strlen(s) > vn::detail::kMaxProxyFieldLen;
}

}  // namespace

CVNHttpProxyTCPCnnSocket::CVNHttpProxyTCPCnnSocket()
    : m_pszHost(nullptr),
      m_uPort(0),
      m_uTimeout(0),
      m_nSocket(-1),
      m_Socket(this),
      m_pSink(nullptr),
      m_nState(kStateIdle),
      m_bConnecting(false) {}

CVNHttpProxyTCPCnnSocket::~CVNHttpProxyTCPCnnSocket() {
    free(m_pszHost);
}

bool CVNHttpProxyTCPCnnSocket::SetProxyInfo(const char* host, unsigned short port, const char* user,
                                            const char* password) {
    if (TooLong(user) || TooLong(password)) return false;
    return m_proxy.Assign(host, port, user, password);
}

bool CVNHttpProxyTCPCnnSocket::Connect(const char* host, unsigned short port,
                                       unsigned int timeoutMs) {
    if (host == nullptr || port == 0 || timeoutMs == 0 || TooLong(host)) return false;
    if (m_proxy.host == nullptr) return false;
    char* copy = strdup(host);
    if (copy == nullptr) return false;
    free(m_pszHost);
    m_pszHost = copy;
    m_uPort = port;
    m_uTimeout = timeoutMs;
    m_nState = kStateIdle;
    m_reply.clear();
    m_bConnecting = OpenProxyConnection();
    return m_bConnecting;
}

int CVNHttpProxyTCPCnnSocket::Detach() {
    m_nSocket = -1;
    return m_Socket.Detach();
}

bool CVNHttpProxyTCPCnnSocket::OpenProxyConnection() {
    m_nSocket = -1;
    m_Socket.Close();
    m_reply.clear();
    int fd = vn::detail::socket_open_connect(m_proxy.host, m_proxy.port);
    if (fd == -1) return false;
    m_nSocket = fd;
    m_Socket.Attach(fd);
    if (!m_Socket.SetEventOnce(VN_EV_READ | VN_EV_WRITE, m_uTimeout)) {
        // Nobody would hear how this attempt ends: do not leave it running.
        m_nSocket = -1;
        m_Socket.Close();
        return false;
    }
    return true;
}

std::string CVNHttpProxyTCPCnnSocket::Authority() const {
    const char* host = m_pszHost != nullptr ? m_pszHost : "";
    // An IPv6 literal's colons would run into the port's: it goes in brackets (RFC 3986
    // authority form), in the request line and the Host line alike. A host already given
    // in brackets is no address text and goes as it is.
    std::string authority = vnnet_addrfamily(host) == 6 ? "[" + std::string(host) + "]" : host;
    return authority + ":" + std::to_string(m_uPort);
}

std::string CVNHttpProxyTCPCnnSocket::PlainRequest() const {
    std::string authority = Authority();
    // Sized for the longest host accepted (255 bytes and brackets, twice) instead of a fixed
    // buffer that would cut the request.
    char buf[1024];
    int n = snprintf(buf, sizeof(buf),
                     "CONNECT %s HTTP/1.1\r\nHost: %s\r\nAccept: */*\r\n"
                     "Content-Type: text/html\r\nProxy-Connection: Keep-Alive\r\n"
                     "Content-length: 0\r\n\r\n",
                     authority.c_str(), authority.c_str());
    return std::string(buf, n > 0 ? static_cast<size_t>(n) : 0);
}

std::string CVNHttpProxyTCPCnnSocket::AuthRequest() const {
    std::string authority = Authority();
    std::string cred = m_proxy.user != nullptr ? m_proxy.user : "";
    cred += ':';
    if (m_proxy.password != nullptr) cred += m_proxy.password;
    std::string token =
        vn::detail::Base64Encode(reinterpret_cast<const unsigned char*>(cred.data()), cred.size());
    // Host 2 x 257, token at most 684 characters: well inside 4096.
    char buf[4097];
    int n = snprintf(buf, sizeof(buf),
                     "CONNECT %s HTTP/1.1\r\nHost: %s\r\nProxy-Authorization: Basic %s\r\n"
                     "Accept: */*\r\nContent-Type: text/html\r\nProxy-Connection: Keep-Alive\r\n"
                     "Content-length: 0\r\n\r\n",
                     authority.c_str(), authority.c_str(), token.c_str());
    return std::string(buf, n > 0 ? static_cast<size_t>(n) : 0);
}

void CVNHttpProxyTCPCnnSocket::OnSend() {
    if (!m_bConnecting) return;
    // Writable means the connect finished; a failed one still has its error pending.
    if (vn::detail::socket_pending_error(m_nSocket) != 0) {
        Finish(false);
        return;
    }
    // No further write reports; the reply must come within the time-out.
    if (!m_Socket.SetEventOnce(VN_EV_READ, m_uTimeout)) {
        Finish(false);
        return;
    }
    std::string request;
    int next;
    if (m_nState == kStateIdle) {
        request = PlainRequest();
        next = kStatePlainSent;
    } else if (m_nState == kStatePlainSent) {
        request = AuthRequest();
        next = kStateAuthSent;
    } else {
        Finish(false);
        return;
    }
    int sent = vnsocket_send(m_nSocket, request.data(), static_cast<unsigned>(request.size()));
    if (sent != static_cast<int>(request.size())) {
        Finish(false);
        return;
    }
    m_nState = next;
}

void CVNHttpProxyTCPCnnSocket::OnRecv() {
    if (!m_bConnecting) return;
    if (m_nState != kStatePlainSent && m_nState != kStateAuthSent) return;

    char buf[kMaxReplyHead];
    size_t room = kMaxReplyHead - m_reply.size();
    int n = vn::detail::socket_read_waiting(m_nSocket, buf, room, true);
    if (n < 0) {
        Finish(false);  // the proxy closed (or failed) before its reply was complete
        return;
    }
    if (n == 0) {
        if (!m_Socket.SetEventOnce(VN_EV_READ, m_uTimeout)) Finish(false);
        return;
    }
    size_t had = m_reply.size();
    m_reply.append(buf, static_cast<size_t>(n));
    // The reply head is read by the same rules as any HTTP head; a head that breaks them
    // is not a proxy's answer.
    CHttpHead reply;
    size_t end = 0;
    int r = reply.ParseResponse(m_reply.data(), m_reply.size(), kMaxReplyHead, &end);
    if (r == CHttpHead::kMalformed || r == CHttpHead::kTooLong) {
        Finish(false);
        return;
    }
    // Consume only what belongs to the head; the peeked rest stays in the socket.
    size_t take = r == CHttpHead::kComplete ? end - had : static_cast<size_t>(n);
    if (r == CHttpHead::kComplete) m_reply.resize(end);
    if (vn::detail::socket_read_waiting(m_nSocket, buf, take) != static_cast<int>(take)) {
        Finish(false);
        return;
    }
    if (r == CHttpHead::kNeedMore) {
        if (!m_Socket.SetEventOnce(VN_EV_READ, m_uTimeout)) Finish(false);
        return;
    }

    unsigned int code = reply.GetStatus();
    if (code == 200) {
        m_nState = kStateIdle;
        Finish(true);
        return;
    }
    bool haveUser = m_proxy.user != nullptr && m_proxy.user[0] != '\0';
    if ((code == 407 || code == 401) && m_nState == kStatePlainSent && haveUser) {
        // Ask again on a fresh connection: proxies commonly close after a 407, and the
        // rest of this one's answer (a body) is of no use. The state stays "plain sent", so
        // the next writable report sends the request with credentials.
        if (!OpenProxyConnection()) Finish(false);
        return;
    }
    Finish(false);
}

void CVNHttpProxyTCPCnnSocket::OnClose() {
    Finish(false);
}

void CVNHttpProxyTCPCnnSocket::OnTimeout() {
    Finish(false);
}

void CVNHttpProxyTCPCnnSocket::Finish(bool bSuccess) {
    if (!m_bConnecting) return;
    m_bConnecting = false;
    m_reply.clear();
    if (bSuccess) {
        m_Socket.SetEvent(VN_EV_READ | VN_EV_WRITE, true);
    } else {
        m_nSocket = -1;
        m_Socket.Close();
        m_nState = kStateIdle;
    }
    if (m_pSink != nullptr) m_pSink->OnConnect(bSuccess, this, 0);  // may delete this
}
