// Test support for the HTTP client, server and command-line tool: Debian's nginx started on
// a free loopback port with a generated configuration in a private temporary directory
// (docroot, logs and temporary files all inside it), and file helpers for checking what
// was transferred.
#pragma once

#include <memory>
#include <string>

#include "support/external_peer.h"

namespace vntest {

struct NginxOptions {
    // Extra directives inside the server block (location blocks and the like).
    std::string serverExtra;
    // Extra directives inside the http block.
    std::string httpExtra;
    // keepalive_timeout in seconds.
    int keepaliveSeconds = 65;
};

class NginxPeer {
public:
    // Null when nginx did not come up (a few ports are tried); *why says why.
    static std::unique_ptr<NginxPeer> Start(const NginxOptions& options, std::string* why);
    ~NginxPeer();
    NginxPeer(const NginxPeer&) = delete;
    NginxPeer& operator=(const NginxPeer&) = delete;

    unsigned short port() const { return m_port; }
    // The served folder (empty at start); files written here are served at "/<name>".
    const std::string& docroot() const { return m_docroot; }
    // "http://127.0.0.1:<port><path>".
    std::string Url(const std::string& path) const;

private:
    NginxPeer() = default;
    std::unique_ptr<ExternalPeer> m_peer;
    std::string m_dir;
    std::string m_docroot;
    unsigned short m_port = 0;
};

// Writes size bytes of a deterministic pattern (seeded) to path; false on failure.
bool WritePatternFile(const std::string& path, unsigned long long size, unsigned int seed);
// MD5 of a file's contents as 32 lower-case hex digits (empty when it cannot be read).
std::string FileMd5(const std::string& path);
std::string BufferMd5(const void* data, size_t len);
// Size of a file, or -1.
long long FileSize(const std::string& path);

}  // namespace vntest
