// CVNTLSSocket: a connected stream with TLS on it (see vntlssocket_internal.h).
#include "net/vntlssocket_internal.h"

#include <arpa/inet.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <sys/socket.h>

#include "base/vnlog.h"
#include "net/vntlscontext_internal.h"
#include "task/vntask.h"
#include "task/vntaskcall.h"

VN_TASK_CALL(CVNTLSSocket, DeliverPending);

namespace {

const char kTag[] = "vnnet";

bool IsAddress(const std::string& host) {
    unsigned char buf[16];
    return inet_pton(AF_INET, host.c_str(), buf) == 1 ||
           inet_pton(AF_INET6, host.c_str(), buf) == 1;
}

// The reason and text of a refused certificate.
int VerifyReason(long v) {
    switch (v) {
        case X509_V_ERR_CERT_HAS_EXPIRED:
            return VNTLS_EXPIRED;
        case X509_V_ERR_CERT_NOT_YET_VALID:
            return VNTLS_NOT_YET_VALID;
        case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
        case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
        case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
        case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
        case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
            return VNTLS_UNKNOWN_ISSUER;
        case X509_V_ERR_HOSTNAME_MISMATCH:
        case X509_V_ERR_IP_ADDRESS_MISMATCH:
            return VNTLS_NAME_MISMATCH;
        default:
            return VNTLS_UNTRUSTED;
    }
}

std::string ErrorText(const char* what) {
    char text[256] = "";
    unsigned long e = ERR_get_error();
    if (e != 0) ERR_error_string_n(e, text, sizeof(text));
    ERR_clear_error();
    return text[0] != '\0' ? std::string(what) + ": " + text : std::string(what);
}

}  // namespace

CVNTLSSocket::CVNTLSSocket(vn::detail::CTlsContext* pCtx, const char* pszHost, unsigned short uPort)
    : m_pPlain(VNCreateTCPSocket()),
      m_pSink(nullptr),
      m_pCtx(pCtx),
      m_pSsl(nullptr),
      m_strHost(pszHost != nullptr ? pszHost : ""),
      m_nState(kStateIdle),
      m_bReadWantsWrite(false),
      m_bWriteWantsRead(false),
      m_bPeerClosed(false),
      m_bBroken(false),
      m_bReadInterest(true),
      m_bPendingPosted(false),
      m_bShutdownSent(false),
      m_bTransportGone(false),
      m_bWantWire(false),
      m_uTaken(0),
      m_nError(VNTLS_NONE),
      m_pAlive(nullptr),
      m_pTask(CVNTaskBase::GetCurrentTask()),
      m_pHolder(new CScopeHolder<CVNTLSSocket, 0, CRefCountSafe>(this)) {
    m_pCtx->AddRef();
    m_strSessionKey = m_strHost + ":" + std::to_string(uPort);
    if (m_pPlain != nullptr) m_pPlain->SetSink(this);
}

CVNTLSSocket::~CVNTLSSocket() {
    m_pHolder->Clear();
    if (m_pAlive != nullptr) *m_pAlive = false;
    delete m_pPlain;  // closes the descriptor (no close_notify: nobody asked for an orderly end)
    if (m_pSsl != nullptr) {
        // OpenSSL takes a session whose connection was not shut down for a bad one and
        // spoils it for every holder (the kept copy included). Only a failed handshake or a
        // broken record make it so; a stream simply let go of does not.
        if (m_nState != kStateFailed && !m_bBroken && SSL_is_init_finished(m_pSsl)) {
            SSL_set_shutdown(m_pSsl, SSL_SENT_SHUTDOWN | SSL_RECEIVED_SHUTDOWN);
        }
        SSL_free(m_pSsl);
    }
    m_pCtx->Release();
    m_pHolder->Release();
}

bool CVNTLSSocket::Attach(int fd) {
    if (m_pPlain == nullptr || m_nState != kStateIdle) return false;
    // The descriptor is this socket's from here on, whatever follows (it closes it).
    if (!m_pPlain->Attach(fd)) {
        m_nState = kStateFailed;
        return false;
    }
    m_pSsl = SSL_new(m_pCtx->Get());
    if (m_pSsl == nullptr || SSL_set_fd(m_pSsl, fd) != 1) {
        m_nState = kStateFailed;
        m_nError = VNTLS_PROTOCOL;
        m_strError = ErrorText("no TLS session");
        return false;
    }
    if (m_pCtx->IsServer()) {
        SSL_set_accept_state(m_pSsl);
    } else {
        SSL_set_connect_state(m_pSsl);
        bool address = IsAddress(m_strHost);
        // SNI carries names only (RFC 6066); an address is checked against the IP entries.
        if (!address) SSL_set_tlsext_host_name(m_pSsl, m_strHost.c_str());
        if (m_pCtx->Verifies()) {
            if (address) {
                X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(m_pSsl), m_strHost.c_str());
            } else {
                // A wildcard stands for one whole left-most label only (RFC 6125 6.4.3).
                SSL_set_hostflags(m_pSsl, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
                SSL_set1_host(m_pSsl, m_strHost.c_str());
            }
        }
        SSL_set_ex_data(m_pSsl, vn::detail::TlsSessionKeyIndex(), &m_strSessionKey);
        if (SSL_SESSION* session = m_pCtx->TakeSession(m_strSessionKey)) {
            SSL_set_session(m_pSsl, session);
            SSL_SESSION_free(session);
        }
    }
    // The first write report drives the handshake: no sink call comes from inside Attach.
    m_nState = kStateHandshake;
    return true;
}

int CVNTLSSocket::GetSocket() {
    return m_pPlain != nullptr ? m_pPlain->GetSocket() : -1;
}

void CVNTLSSocket::Handshake() {
    ERR_clear_error();
    int r = SSL_do_handshake(m_pSsl);
    if (r == 1) {
        if (!m_pCtx->IsServer() && !m_pCtx->CheckPins(m_pSsl)) {
            Fail(VNTLS_PIN_MISMATCH, "the certificate's public key matches no pin");
            return;
        }
        m_nState = kStateOpen;
        vn::detail::TlsCounters& counters = vn::detail::GetTlsCounters();
        counters.uHandshakes.fetch_add(1, std::memory_order_relaxed);
        if (SSL_session_reused(m_pSsl)) counters.uResumed.fetch_add(1, std::memory_order_relaxed);
        // The stream is open: the sink may send, and may already have bytes to read.
        if (!TellSend()) return;
        AfterRead();
        return;
    }
    switch (SSL_get_error(m_pSsl, r)) {
        case SSL_ERROR_WANT_READ:
            m_pPlain->SetEvent(VN_EV_READ, false);
            return;
        case SSL_ERROR_WANT_WRITE:
            m_pPlain->SetEvent(VN_EV_WRITE, false);
            return;
        case SSL_ERROR_SSL: {
            long v = SSL_get_verify_result(m_pSsl);
            if (v != X509_V_OK) {
                ERR_clear_error();
                Fail(VerifyReason(v), X509_verify_cert_error_string(v));
            } else {
                Fail(VNTLS_PROTOCOL, ErrorText("handshake failed"));
            }
            return;
        }
        default:
            Fail(VNTLS_PROTOCOL, ErrorText("the peer ended the handshake"));
            return;
    }
}

void CVNTLSSocket::Fail(int nReason, const std::string& strText) {
    m_nState = kStateFailed;
    m_nError = nReason;
    m_strError = strText;
    syslog(VN_LOG_ERROR, kTag, __LINE__, "TLS with [%s] refused: %s", m_strHost.c_str(),
           strText.c_str());
    if (m_pPlain != nullptr) m_pPlain->Close();
    TellClose();
}

int CVNTLSSocket::GetError(std::string* pText) const {
    if (pText != nullptr) *pText = m_strError;
    return m_nError;
}

bool CVNTLSSocket::Tell(void (CVNITCPSocketSink::*pReport)(CVNITCPSocket*)) {
    if (m_pSink == nullptr) return true;
    bool alive = true;
    bool* outer = m_pAlive;
    m_pAlive = &alive;
    (m_pSink->*pReport)(this);
    if (!alive) {
        if (outer != nullptr) *outer = false;
        return false;
    }
    m_pAlive = outer;
    return true;
}

void CVNTLSSocket::TellClose() {
    if (m_pSink != nullptr) m_pSink->OnClose(this);  // may delete this
}

void CVNTLSSocket::OnRecv(CVNITCPSocket*) {
    if (m_nState == kStateHandshake) {
        Handshake();
        return;
    }
    if (m_nState != kStateOpen) return;
    if (m_bWriteWantsRead) {
        m_bWriteWantsRead = false;
        if (!TellSend()) return;
    }
    if (!TellRecv()) return;
    AfterRead();
}

void CVNTLSSocket::OnSend(CVNITCPSocket*) {
    if (m_nState == kStateHandshake) {
        Handshake();
        return;
    }
    if (m_nState != kStateOpen) return;
    if (m_bReadWantsWrite) {
        m_bReadWantsWrite = false;
        if (!TellRecv()) return;
    }
    if (!TellSend()) return;
    AfterRead();
}

void CVNTLSSocket::OnClose(CVNITCPSocket*) {
    if (m_nState == kStateHandshake) {
        Fail(VNTLS_PROTOCOL, "the connection ended during the handshake");
        return;
    }
    // The descriptor is gone. Decrypted bytes OpenSSL still holds were received before the
    // end, as a plain stream's unread bytes are: the sink gets them first (now, or when it
    // wants to read again), and the end after them.
    m_bTransportGone = true;
    AfterRead();
}

bool CVNTLSSocket::HasPending() const {
    // Decrypted bytes, or whole records read ahead from the descriptor; what is left after
    // a read that wanted more is part of a record whose rest the descriptor will announce.
    return m_pSsl != nullptr && !m_bWantWire && SSL_has_pending(m_pSsl) == 1;
}

void CVNTLSSocket::AfterRead() {
    // OpenSSL may hold decrypted bytes the descriptor will not announce again: the sink is
    // told while it takes them (it may also leave them, with read interest off).
    while (m_nState == kStateOpen && !m_bPeerClosed && !m_bBroken && m_bReadInterest &&
           HasPending()) {
        unsigned long long before = m_uTaken;
        if (!TellRecv()) return;
        if (m_uTaken == before) break;  // the sink takes nothing now
    }
    bool ended = m_bPeerClosed || m_bBroken || (m_bTransportGone && !HasPending());
    if (m_nState == kStateOpen && ended) {
        // close_notify, a record that failed, or the connection's end: the stream ends here.
        m_nState = kStateClosed;
        m_pPlain->Close();
        TellClose();
    }
}

void CVNTLSSocket::PostPending() {
    if (m_bPendingPosted || m_pTask == nullptr) return;
    m_bPendingPosted = true;
    vn_task_call_CVNTLSSocketDeliverPending::Post(m_pTask, m_pHolder, this, nullptr);
}

void CVNTLSSocket::DeliverPending() {
    m_bPendingPosted = false;
    if (m_nState != kStateOpen) return;
    if (m_bReadInterest && HasPending() && !m_bBroken && !TellRecv()) return;
    AfterRead();
}

int CVNTLSSocket::Recv(void* buf, int len) {
    if (m_nState != kStateOpen || buf == nullptr || len <= 0 || m_bPeerClosed || m_bBroken) {
        return m_bPeerClosed ? 0 : -1;
    }
    // Past the descriptor's end only what OpenSSL holds is left.
    if (m_bTransportGone && !HasPending()) return -1;
    // One SSL_read gives at most one record (16 KiB): as many are taken as the buffer holds
    // and OpenSSL has read ahead, like one recv of a plain stream. When it holds nothing
    // more, the next read would only ask the kernel to say it has nothing either: the
    // descriptor's next report says when there is more.
    char* out = static_cast<char*>(buf);
    int total = 0;
    while (total < len) {
        if (total > 0 && SSL_has_pending(m_pSsl) != 1) break;
        // The descriptor's number may belong to another connection by now.
        if (m_bTransportGone && !HasPending()) break;
        ERR_clear_error();
        int r = SSL_read(m_pSsl, out + total, len - total);
        if (r > 0) {
            total += r;
            m_bWantWire = false;
            continue;
        }
        switch (SSL_get_error(m_pSsl, r)) {
            case SSL_ERROR_WANT_READ:
                m_bWantWire = true;
                break;
            case SSL_ERROR_WANT_WRITE:
                m_bReadWantsWrite = true;
                m_pPlain->SetEvent(VN_EV_WRITE, false);
                break;
            case SSL_ERROR_ZERO_RETURN:
                // The bytes before close_notify are given first; the end follows (AfterRead).
                m_bPeerClosed = true;
                break;
            default:
                // A record that does not decrypt, or the stream cut inside one.
                syslog(VN_LOG_ERROR, kTag, __LINE__, "TLS read from [%s] failed: %s",
                       m_strHost.c_str(), ErrorText("read").c_str());
                m_bBroken = true;
                break;
        }
        break;
    }
    m_uTaken += static_cast<unsigned long long>(total);
    if (total > 0) return total;
    return m_bPeerClosed ? 0 : -1;
}

int CVNTLSSocket::Send(const void* buf, int len) {
    if (m_nState != kStateOpen || buf == nullptr || len <= 0 || m_bBroken || m_bShutdownSent ||
        m_bTransportGone) {
        return -1;
    }
    // One more OnSend, as a plain socket's Send asks for.
    m_pPlain->SetEvent(VN_EV_WRITE, false);
    ERR_clear_error();
    int r = SSL_write(m_pSsl, buf, len);
    if (r > 0) return r;
    switch (SSL_get_error(m_pSsl, r)) {
        case SSL_ERROR_WANT_WRITE:
            return -1;
        case SSL_ERROR_WANT_READ:
            m_bWriteWantsRead = true;
            m_pPlain->SetEvent(VN_EV_READ, false);
            return -1;
        default:
            syslog(VN_LOG_ERROR, kTag, __LINE__, "TLS write to [%s] failed: %s", m_strHost.c_str(),
                   ErrorText("write").c_str());
            m_bBroken = true;
            PostPending();  // the end is reported from the task, not from inside Send
            return -1;
    }
}

int CVNTLSSocket::GetUnreadDataLen() {
    if (m_pSsl != nullptr && SSL_pending(m_pSsl) > 0) return SSL_pending(m_pSsl);
    return m_pPlain != nullptr ? m_pPlain->GetUnreadDataLen() : 0;
}

bool CVNTLSSocket::SetEvent(int events, bool bRemove) {
    if (m_pPlain == nullptr) return false;
    if (events & VN_EV_READ) {
        m_bReadInterest = !bRemove;
        // Bytes OpenSSL holds are announced by nobody else.
        if (!bRemove && m_nState == kStateOpen && HasPending()) PostPending();
    }
    // While the handshake runs, its own needs rule the descriptor's interest.
    if (m_nState == kStateHandshake) return true;
    return m_pPlain->SetEvent(events, bRemove);
}

void CVNTLSSocket::Close() {
    if (m_nState == kStateOpen && m_pSsl != nullptr && !m_bShutdownSent && !m_bBroken &&
        !m_bTransportGone) {
        // close_notify tells the peer the stream ends here, not cut; no answer is waited for.
        ERR_clear_error();
        SSL_shutdown(m_pSsl);
        ERR_clear_error();
    }
    m_nState = kStateClosed;
    if (m_pPlain != nullptr) m_pPlain->Close();
}

bool CVNTLSSocket::ShutdownWrite() {
    int fd = GetSocket();
    if (fd == -1) return false;
    if (m_nState == kStateOpen && !m_bShutdownSent && !m_bBroken && !m_bTransportGone) {
        ERR_clear_error();
        SSL_shutdown(m_pSsl);
        ERR_clear_error();
        m_bShutdownSent = true;
    }
    return shutdown(fd, SHUT_WR) == 0;
}

bool CVNTLSSocket::SetSendBufSize(unsigned int size) {
    return m_pPlain != nullptr && m_pPlain->SetSendBufSize(size);
}

bool CVNTLSSocket::GetSendBufSize(int* size) {
    return m_pPlain != nullptr && m_pPlain->GetSendBufSize(size);
}

bool CVNTLSSocket::SetRecvBufSize(unsigned int size) {
    return m_pPlain != nullptr && m_pPlain->SetRecvBufSize(size);
}

bool CVNTLSSocket::GetRecvBufSize(int* size) {
    return m_pPlain != nullptr && m_pPlain->GetRecvBufSize(size);
}

bool CVNTLSSocket::SetNoDelay(bool bNoDelay) {
    return m_pPlain != nullptr && m_pPlain->SetNoDelay(bNoDelay);
}

bool CVNTLSSocket::GetSockName(unsigned int* ip, unsigned short* port) {
    return m_pPlain != nullptr && m_pPlain->GetSockName(ip, port);
}

bool CVNTLSSocket::GetPeerName(unsigned int* ip, unsigned short* port) {
    return m_pPlain != nullptr && m_pPlain->GetPeerName(ip, port);
}
