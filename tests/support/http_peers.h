// Test support for the HTTP client, server and command-line tool: Debian's nginx started on
// a free loopback port with a generated configuration in a private temporary directory
// (docroot, logs and temporary files all inside it), and deterministic test bytes.
#pragma once

#include <stddef.h>

#include <memory>
#include <string>
#include <vector>

#include "support/external_peer.h"

namespace vntest {

struct NginxOptions {
    // Extra directives inside the server block (location blocks and the like).
    std::string serverExtra;
    // Extra directives inside the http block.
    std::string httpExtra;
    // keepalive_timeout in seconds.
    int keepaliveSeconds = 65;
    // Further TLS ports, each with its own certificate chain and key (PEM files) and the
    // same root and serverExtra. "@PORT@" and "@TLS0@", "@TLS1@", ... in serverExtra stand
    // for the plain port and those.
    struct Tls {
        std::string chain;
        std::string key;
    };
    std::vector<Tls> tls;
    // The plain server also listens on [::1], on a port of its own (free on 127.0.0.1 too,
    // so that a test can put something else there).
    bool ipv6 = false;
};

class NginxPeer {
public:
    // Null when nginx did not come up (a few ports are tried); *why says why.
    static std::unique_ptr<NginxPeer> Start(const NginxOptions& options, std::string* why);
    ~NginxPeer();

    unsigned short port() const { return m_port; }
    // The served folder (empty at start); files written here are served at "/<name>".
    const std::string& docroot() const { return m_docroot; }
    // "http://127.0.0.1:<port><path>".
    std::string Url(const std::string& path) const;
    // The [::1] port (NginxOptions::ipv6), and "http://[::1]:<that port><path>".
    unsigned short v6Port() const { return m_v6Port; }
    std::string UrlV6(const std::string& path) const;
    // The i-th TLS port, and "https://<host>:<that port><path>".
    unsigned short tlsPort(size_t i) const { return m_tlsPorts.at(i); }
    std::string TlsUrl(size_t i, const std::string& path,
                       const std::string& host = "127.0.0.1") const;

private:
    NginxPeer() = default;
    std::unique_ptr<ExternalPeer> m_peer;
    std::string m_dir;
    std::string m_docroot;
    unsigned short m_port = 0;
    std::vector<unsigned short> m_tlsPorts;
    unsigned short m_v6Port = 0;
};

// n bytes of a deterministic pattern (each seed gives its own).
std::string PatternBytes(size_t n, unsigned int seed);

}  // namespace vntest
