// Internal header (not installed): CTlsContext, the settings TLS connections of one owner
// share (an OpenSSL SSL_CTX): for a client, what to trust, the public-key pins and whether to
// verify at all, plus the sessions it may resume; for a server, its certificate chain and
// key. TLS 1.2 is the least version either side speaks; renegotiation is refused.
//
// Thread safety: made and configured before use; a context may then be shared by
// connections on several threads (OpenSSL allows that). The client's session store is
// guarded by its own lock. Counted: every connection holds a reference.
//   CTlsContext* ctx = CTlsContext::NewClient(options, &error);   // one reference
//   ... new CVNTLSSocket(ctx, host) ...; ctx->Release();
#pragma once

#include <atomic>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "net/vntls.h"

typedef struct ssl_ctx_st SSL_CTX;
typedef struct ssl_session_st SSL_SESSION;
typedef struct ssl_st SSL;

namespace vn {
namespace detail {

struct TlsClientOptions {
    bool bVerify = true;            // check the chain and the name (off only when asked for)
    std::string strCaFile;          // trusted authorities besides the system's (PEM), or ""
    std::string strCaPath;          // a directory of them (c_rehash layout), or ""
    std::vector<std::string> pins;  // SHA-256 of the SubjectPublicKeyInfo, 32 bytes each
};

class CTlsContext {
public:
    // A client context; null with *pError set when the trust settings cannot be loaded.
    static CTlsContext* NewClient(const TlsClientOptions& options, std::string* pError);
    // A server context with the PEM certificate chain and key; null with *pError set.
    static CTlsContext* NewServer(const char* pszCertFile, const char* pszKeyFile,
                                  std::string* pError);
    // Pins in curl's form, "sha256//BASE64" separated by ';': the raw digests, or false.
    static bool ParsePins(const char* pszPins, std::vector<std::string>* pPins);

    void AddRef() { m_nRefs.fetch_add(1, std::memory_order_relaxed); }
    void Release();

    SSL_CTX* Get() const { return m_pCtx; }
    bool IsServer() const { return m_bServer; }
    bool Verifies() const { return m_options.bVerify; }
    // Whether the peer's public key (of the certificate the connection presented) is one
    // of the pins; true when there are none.
    bool CheckPins(SSL* ssl) const;

    // Client sessions to resume, by "host:port". Take gives a new reference (or null).
    SSL_SESSION* TakeSession(const std::string& strKey);
    void KeepSession(const std::string& strKey, SSL_SESSION* pSession);  // takes a reference

private:
    CTlsContext(SSL_CTX* pCtx, bool bServer, const TlsClientOptions& options);
    ~CTlsContext();
    CTlsContext(const CTlsContext&) = delete;
    CTlsContext& operator=(const CTlsContext&) = delete;

    SSL_CTX* m_pCtx;  // owned
    bool m_bServer;
    TlsClientOptions m_options;
    std::atomic<int> m_nRefs;
    std::mutex m_sessionLock;
    std::map<std::string, SSL_SESSION*> m_sessions;  // guarded by m_sessionLock; owned
};

// The index under which a client connection keeps its session key ("host:port") with
// SSL_set_ex_data, so that a session handed out later is kept under it.
int TlsSessionKeyIndex();

// Counts of TLS handshakes completed by this process (for the tests: a kept connection
// must not cost another one) and of those that resumed a session.
struct TlsCounters {
    std::atomic<unsigned long long> uHandshakes{0};
    std::atomic<unsigned long long> uResumed{0};
};
TlsCounters& GetTlsCounters();

}  // namespace detail
}  // namespace vn
