// CTlsContext: the shared settings of TLS connections, on OpenSSL (see
// vntlscontext_internal.h).
#include "net/vntlscontext_internal.h"

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <string.h>

namespace vn {
namespace detail {

namespace {

// The modern TLS 1.2 suites: forward secrecy and AEAD only (TLS 1.3 has its own list, all
// of it modern).
const char kServerCiphers[] =
    "ECDHE-ECDSA-AES128-GCM-SHA256:ECDHE-RSA-AES128-GCM-SHA256:"
    "ECDHE-ECDSA-AES256-GCM-SHA384:ECDHE-RSA-AES256-GCM-SHA384:"
    "ECDHE-ECDSA-CHACHA20-POLY1305:ECDHE-RSA-CHACHA20-POLY1305";

std::string LastError(const char* what) {
    char text[256] = "";
    unsigned long e = ERR_get_error();
    if (e != 0) ERR_error_string_n(e, text, sizeof(text));
    ERR_clear_error();
    return std::string(what) + (text[0] != '\0' ? ": " : "") + text;
}

// Settings both sides share: TLS 1.2 at least, no renegotiation (a peer could make a
// connection start over under a read and a write that expect nothing of the kind), no
// compression, and writes that may take part of a buffer and be retried from elsewhere.
void CommonSettings(SSL_CTX* ctx) {
    SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
    SSL_CTX_set_options(ctx, SSL_OP_NO_RENEGOTIATION | SSL_OP_NO_COMPRESSION);
    SSL_CTX_set_mode(ctx, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    // One read of the descriptor takes as many records as it has (up to 64 KiB), instead of
    // a header and a body read per record; the socket announces what it holds itself.
    SSL_CTX_set_read_ahead(ctx, 1);
    SSL_CTX_set_default_read_buffer_len(ctx, 64 * 1024);
}

// OpenSSL without its clean-up at exit: the library's threads (the server's among them) live
// until the process ends and may still be inside OpenSSL while exit handlers run; OpenSSL
// freeing its locks under them then would be a use after free. The process's end frees all.
// Only the first initialisation in a process decides this.
void InitOpenSsl() {
    static const bool s_done =
        OPENSSL_init_ssl(OPENSSL_INIT_NO_ATEXIT | OPENSSL_INIT_LOAD_SSL_STRINGS, nullptr) == 1;
    (void)s_done;
}

// The context a connection's session belongs to, and the key it is kept under.
int ContextIndex() {
    static const int index = SSL_CTX_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr);
    return index;
}

}  // namespace

int TlsSessionKeyIndex() {
    static const int index = SSL_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr);
    return index;
}

TlsCounters& GetTlsCounters() {
    static TlsCounters counters;
    return counters;
}

CTlsContext::CTlsContext(SSL_CTX* pCtx, bool bServer, const TlsClientOptions& options)
    : m_pCtx(pCtx), m_bServer(bServer), m_options(options), m_nRefs(1) {
    SSL_CTX_set_ex_data(m_pCtx, ContextIndex(), this);
}

CTlsContext::~CTlsContext() {
    for (auto& kv : m_sessions)
        SSL_SESSION_free(kv.second);
    SSL_CTX_free(m_pCtx);
}

void CTlsContext::Release() {
    if (m_nRefs.fetch_sub(1, std::memory_order_acq_rel) == 1) delete this;
}

CTlsContext* CTlsContext::NewClient(const TlsClientOptions& options, std::string* pError) {
    InitOpenSsl();
    SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
    if (ctx == nullptr) {
        *pError = LastError("no TLS context");
        return nullptr;
    }
    CommonSettings(ctx);
    if (options.bVerify) {
        SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, nullptr);
        // The system's store (on Debian, ca-certificates), and what the caller adds.
        SSL_CTX_set_default_verify_paths(ctx);
        const char* file = options.strCaFile.empty() ? nullptr : options.strCaFile.c_str();
        const char* path = options.strCaPath.empty() ? nullptr : options.strCaPath.c_str();
        if ((file != nullptr || path != nullptr) &&
            SSL_CTX_load_verify_locations(ctx, file, path) != 1) {
            *pError = LastError("the trusted certificates do not load");
            SSL_CTX_free(ctx);
            return nullptr;
        }
    } else {
        SSL_CTX_set_verify(ctx, SSL_VERIFY_NONE, nullptr);
    }
    // Sessions are kept by the context per host and port (TLS 1.3 hands them out after the
    // handshake, so they are caught as they come).
    SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_CLIENT | SSL_SESS_CACHE_NO_INTERNAL_STORE);
    SSL_CTX_sess_set_new_cb(ctx, [](SSL* ssl, SSL_SESSION* session) -> int {
        auto* self =
            static_cast<CTlsContext*>(SSL_CTX_get_ex_data(SSL_get_SSL_CTX(ssl), ContextIndex()));
        auto* key = static_cast<const std::string*>(SSL_get_ex_data(ssl, TlsSessionKeyIndex()));
        if (self == nullptr || key == nullptr) return 0;
        self->KeepSession(*key, session);
        return 1;  // the reference is ours now
    });
    return new CTlsContext(ctx, false, options);
}

CTlsContext* CTlsContext::NewServer(const char* pszCertFile, const char* pszKeyFile,
                                    std::string* pError) {
    if (pszCertFile == nullptr || pszKeyFile == nullptr) {
        *pError = "a certificate and a key are needed";
        return nullptr;
    }
    InitOpenSsl();
    SSL_CTX* ctx = SSL_CTX_new(TLS_server_method());
    if (ctx == nullptr) {
        *pError = LastError("no TLS context");
        return nullptr;
    }
    CommonSettings(ctx);
    SSL_CTX_set_options(ctx, SSL_OP_CIPHER_SERVER_PREFERENCE);
    if (SSL_CTX_set_cipher_list(ctx, kServerCiphers) != 1 ||
        SSL_CTX_use_certificate_chain_file(ctx, pszCertFile) != 1 ||
        SSL_CTX_use_PrivateKey_file(ctx, pszKeyFile, SSL_FILETYPE_PEM) != 1 ||
        SSL_CTX_check_private_key(ctx) != 1) {
        *pError = LastError("the certificate or key does not load");
        SSL_CTX_free(ctx);
        return nullptr;
    }
    // Resumption: a session cache of its own and tickets (the default) for TLS 1.3.
    static const unsigned char kContext[] = "vnbase";
    SSL_CTX_set_session_id_context(ctx, kContext, sizeof(kContext) - 1);
    SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_SERVER);
    return new CTlsContext(ctx, true, TlsClientOptions());
}

bool CTlsContext::ParsePins(const char* pszPins, std::vector<std::string>* pPins) {
    pPins->clear();
    if (pszPins == nullptr) return true;
    std::string all(pszPins);
    size_t at = 0;
    while (at <= all.size()) {
        size_t end = all.find(';', at);
        if (end == std::string::npos) end = all.size();
        std::string pin = all.substr(at, end - at);
        at = end + 1;
        // An empty entry is a mistake in the list, not "no pin": pinning must not vanish.
        if (pin.empty()) return false;
        static const char kPrefix[] = "sha256//";
        if (pin.compare(0, sizeof(kPrefix) - 1, kPrefix) != 0) return false;
        std::string b64 = pin.substr(sizeof(kPrefix) - 1);
        // 32 bytes are 44 Base64 characters, exactly the last one '=' (the decoder below
        // would take 44 characters of anything for 33 bytes).
        if (b64.size() != 44 || b64[43] != '=' || b64[42] == '=') return false;
        unsigned char raw[33];
        if (EVP_DecodeBlock(raw, reinterpret_cast<const unsigned char*>(b64.data()), 44) != 33) {
            return false;
        }
        pPins->push_back(std::string(reinterpret_cast<char*>(raw), 32));
    }
    return true;
}

bool CTlsContext::CheckPins(SSL* ssl) const {
    if (m_options.pins.empty()) return true;
    X509* cert = SSL_get0_peer_certificate(ssl);
    EVP_PKEY* key = cert != nullptr ? X509_get0_pubkey(cert) : nullptr;
    if (key == nullptr) return false;
    unsigned char* der = nullptr;
    int len = i2d_PUBKEY(key, &der);
    if (len <= 0) return false;
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int n = 0;
    bool ok = EVP_Digest(der, static_cast<size_t>(len), digest, &n, EVP_sha256(), nullptr) == 1;
    OPENSSL_free(der);
    if (!ok || n != 32) return false;
    for (const std::string& pin : m_options.pins) {
        if (memcmp(pin.data(), digest, 32) == 0) return true;
    }
    return false;
}

SSL_SESSION* CTlsContext::TakeSession(const std::string& strKey) {
    std::lock_guard<std::mutex> guard(m_sessionLock);
    auto it = m_sessions.find(strKey);
    if (it == m_sessions.end()) return nullptr;
    SSL_SESSION_up_ref(it->second);
    return it->second;
}

void CTlsContext::KeepSession(const std::string& strKey, SSL_SESSION* pSession) {
    std::lock_guard<std::mutex> guard(m_sessionLock);
    SSL_SESSION*& slot = m_sessions[strKey];
    if (slot != nullptr) SSL_SESSION_free(slot);
    slot = pSession;
}

}  // namespace detail
}  // namespace vn
