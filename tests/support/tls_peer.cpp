// The blocking TLS test client (see tls_peer.h).
#include "support/tls_peer.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <thread>

#include "support/external_peer.h"
#include "support/proxy_peers.h"

namespace vntest {

TlsTestClient::TlsTestClient(unsigned short port, const std::string& caFile, size_t piece)
    : m_piece(piece) {
    m_fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa = LoopbackAddr(port);
    if (connect(m_fd, reinterpret_cast<sockaddr*>(&sa), sizeof(sa)) != 0) {
        m_error = "connect failed";
        return;
    }
    int one = 1;
    setsockopt(m_fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    m_ctx = SSL_CTX_new(TLS_client_method());
    if (!caFile.empty()) {
        SSL_CTX_load_verify_locations(m_ctx, caFile.c_str(), nullptr);
        SSL_CTX_set_verify(m_ctx, SSL_VERIFY_PEER, nullptr);
    }
    m_ssl = SSL_new(m_ctx);
    m_in = BIO_new(BIO_s_mem());
    m_out = BIO_new(BIO_s_mem());
    SSL_set_bio(m_ssl, m_in, m_out);
    SSL_set_connect_state(m_ssl);
    SSL_set_tlsext_host_name(m_ssl, "localhost");
}

TlsTestClient::~TlsTestClient() {
    if (m_ssl != nullptr) SSL_free(m_ssl);
    if (m_ctx != nullptr) SSL_CTX_free(m_ctx);
    if (m_fd != -1) close(m_fd);
}

bool TlsTestClient::Flush() {
    char buf[16384];
    int n;
    while ((n = BIO_read(m_out, buf, sizeof(buf))) > 0) {
        size_t piece = m_piece == 0 ? static_cast<size_t>(n) : m_piece;
        for (size_t at = 0; at < static_cast<size_t>(n); at += piece) {
            size_t len = std::min(piece, static_cast<size_t>(n) - at);
            if (!SendAll(m_fd, std::string(buf + at, len))) return false;
            // Pieces that left together would arrive together: the peer is to read each.
            if (m_piece != 0) std::this_thread::sleep_for(std::chrono::microseconds(300));
        }
    }
    return true;
}

bool TlsTestClient::Fill() {
    pollfd p = {m_fd, POLLIN, 0};
    if (poll(&p, 1, 5000) != 1) return false;
    char buf[16384];
    ssize_t n = recv(m_fd, buf, sizeof(buf), 0);
    if (n <= 0) return false;
    BIO_write(m_in, buf, static_cast<int>(n));
    return true;
}

bool TlsTestClient::Handshake(int maxVersion) {
    if (m_ssl == nullptr) return false;
    if (maxVersion != 0) SSL_set_max_proto_version(m_ssl, maxVersion);
    for (;;) {
        int r = SSL_do_handshake(m_ssl);
        if (!Flush()) {
            m_error = "send failed";
            return false;
        }
        if (r == 1) return true;
        int e = SSL_get_error(m_ssl, r);
        if (e != SSL_ERROR_WANT_READ) {
            char text[256] = "handshake failed";
            unsigned long code = ERR_get_error();
            if (code != 0) ERR_error_string_n(code, text, sizeof(text));
            m_error = text;
            return false;
        }
        if (!Fill()) {
            m_error = "the peer closed or went silent during the handshake";
            return false;
        }
    }
}

bool TlsTestClient::Write(const std::string& data) {
    if (SSL_write(m_ssl, data.data(), static_cast<int>(data.size())) <= 0) return false;
    return Flush();
}

std::string TlsTestClient::Read(size_t until) {
    char buf[16384];
    while (until == std::string::npos || m_pending.size() < until) {
        int n = SSL_read(m_ssl, buf, sizeof(buf));
        if (n > 0) {
            m_pending.append(buf, static_cast<size_t>(n));
            continue;
        }
        int e = SSL_get_error(m_ssl, n);
        if (e == SSL_ERROR_ZERO_RETURN) {
            m_closeNotify = true;
            break;
        }
        if (e != SSL_ERROR_WANT_READ || !Flush() || !Fill()) break;
    }
    size_t take = until == std::string::npos ? m_pending.size() : std::min(until, m_pending.size());
    std::string out = m_pending.substr(0, take);
    m_pending.erase(0, take);
    return out;
}

std::string TlsTestClient::ReadAnswer() {
    std::string head;
    while (head.find("\r\n\r\n") == std::string::npos) {
        std::string more = Read(1);
        if (more.empty()) return head;
        head += more;
    }
    size_t at = head.find("Content-Length: ");
    if (at == std::string::npos) return head;
    return head + Read(std::stoul(head.substr(at + 16)));
}

bool TlsTestClient::SendRaw(const std::string& data) {
    return SendAll(m_fd, data);
}

bool TlsTestClient::WaitClosed(int ms) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    char buf[4096];
    while (std::chrono::steady_clock::now() < end) {
        pollfd p = {m_fd, POLLIN, 0};
        if (poll(&p, 1, 50) != 1) continue;
        ssize_t n = recv(m_fd, buf, sizeof(buf), 0);
        if (n <= 0) return true;
    }
    return false;
}

std::string TlsTestClient::Version() const {
    return m_ssl != nullptr ? SSL_get_version(m_ssl) : "";
}

}  // namespace vntest
