// nginx for the HTTP tests, and file helpers (see http_peers.h).
#include "support/http_peers.h"

#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <vector>

#include "crypto/vnmd5.h"

namespace vntest {

namespace {
constexpr int kStartMs = 10000;
constexpr int kTries = 3;

std::string Hex(const unsigned char* d, size_t n) {
    static const char kHex[] = "0123456789abcdef";
    std::string s;
    for (size_t i = 0; i < n; ++i) {
        s += kHex[d[i] >> 4];
        s += kHex[d[i] & 15];
    }
    return s;
}
}  // namespace

std::unique_ptr<NginxPeer> NginxPeer::Start(const NginxOptions& options, std::string* why) {
    const std::string prog = "/usr/sbin/nginx";
    if (!HaveProgram(prog)) {
        *why = prog + " is not installed (scripts/setup.sh installs nginx-light)";
        return nullptr;
    }
    for (int attempt = 0; attempt < kTries; ++attempt) {
        std::unique_ptr<NginxPeer> p(new NginxPeer);
        p->m_dir = MakeTempDir("nginx");
        p->m_docroot = p->m_dir + "/www";
        p->m_port = FreeLoopbackPort();
        mkdir(p->m_docroot.c_str(), 0755);
        mkdir((p->m_dir + "/tmp").c_str(), 0755);
        const std::string& d = p->m_dir;
        std::string conf;
        // Workers of a master started by root would run as nobody and could not read the
        // private directory.
        if (geteuid() == 0) conf += "user root root;\n";
        conf += "daemon off;\nworker_processes 1;\npid " + d + "/nginx.pid;\nerror_log " + d +
                "/error.log warn;\nevents { worker_connections 512; }\nhttp {\n"
                "  access_log off;\n  default_type application/octet-stream;\n"
                "  sendfile on;\n  keepalive_requests 1000000;\n"
                "  keepalive_timeout " +
                std::to_string(options.keepaliveSeconds) + "s;\n" + "  client_body_temp_path " + d +
                "/tmp/body;\n  proxy_temp_path " + d + "/tmp/proxy;\n  fastcgi_temp_path " + d +
                "/tmp/fastcgi;\n  uwsgi_temp_path " + d + "/tmp/uwsgi;\n  scgi_temp_path " + d +
                "/tmp/scgi;\n" + options.httpExtra +
                "  server {\n    listen 127.0.0.1:" + std::to_string(p->m_port) +
                ";\n    server_name localhost;\n    root " + p->m_docroot +
                ";\n    absolute_redirect off;\n" + options.serverExtra + "  }\n}\n";
        std::string path = d + "/nginx.conf";
        if (!WriteTextFile(path, conf)) {
            *why = "cannot write " + path;
            return nullptr;
        }
        p->m_peer = ExternalPeer::Start({prog, "-p", d + "/", "-e", d + "/error.log", "-c", path},
                                        p->m_port, kStartMs, why);
        if (p->m_peer) return p;
        *why += " (log: " + ReadTextFile(d + "/error.log") + ")";
    }
    return nullptr;
}

NginxPeer::~NginxPeer() {
    m_peer.reset();
    if (!m_dir.empty()) RemoveTree(m_dir);
}

std::string NginxPeer::Url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(m_port) + path;
}

bool WritePatternFile(const std::string& path, unsigned long long size, unsigned int seed) {
    FILE* f = fopen(path.c_str(), "wb");
    if (f == nullptr) return false;
    std::vector<unsigned char> block(1 << 16);
    unsigned int x = seed * 2654435761u + 1;
    bool ok = true;
    while (size > 0 && ok) {
        size_t n = size < block.size() ? static_cast<size_t>(size) : block.size();
        for (size_t i = 0; i < n; ++i) {
            x = x * 1103515245u + 12345u;
            block[i] = static_cast<unsigned char>(x >> 16);
        }
        ok = fwrite(block.data(), 1, n, f) == n;
        size -= n;
    }
    return fclose(f) == 0 && ok;
}

std::string FileMd5(const std::string& path) {
    FILE* f = fopen(path.c_str(), "rb");
    if (f == nullptr) return std::string();
    VN_MD5_CTX ctx;
    MD5_Init(&ctx);
    std::vector<unsigned char> block(1 << 16);
    size_t n;
    while ((n = fread(block.data(), 1, block.size(), f)) > 0)
        MD5_Update(&ctx, block.data(), n);
    fclose(f);
    unsigned char digest[16];
    MD5_Final(digest, &ctx);
    return Hex(digest, 16);
}

std::string BufferMd5(const void* data, size_t len) {
    VN_MD5_CTX ctx;
    MD5_Init(&ctx);
    MD5_Update(&ctx, data, len);
    unsigned char digest[16];
    MD5_Final(digest, &ctx);
    return Hex(digest, 16);
}

long long FileSize(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? static_cast<long long>(st.st_size) : -1;
}

}  // namespace vntest
