// nginx for the HTTP tests, and test bytes (see http_peers.h).
#include "support/http_peers.h"

#include <sys/stat.h>
#include <unistd.h>

namespace vntest {

std::unique_ptr<NginxPeer> NginxPeer::Start(const NginxOptions& options, std::string* why) {
    const std::string prog = "/usr/sbin/nginx";
    if (!HaveProgram(prog)) {
        *why = prog + " is not installed (scripts/setup.sh installs nginx-light)";
        return nullptr;
    }
    for (int attempt = 0; attempt < 3; ++attempt) {
        std::unique_ptr<NginxPeer> p(new NginxPeer);
        const std::string d = p->m_dir = MakeTempDir("nginx");
        p->m_docroot = d + "/www";
        p->m_port = FreeLoopbackPort();
        p->m_v6Port = options.ipv6 ? FreeLoopbackPort() : 0;
        p->m_tlsPorts.clear();
        for (size_t i = 0; i < options.tls.size(); ++i)
            p->m_tlsPorts.push_back(FreeLoopbackPort());
        std::string extra = options.serverExtra;
        auto substitute = [&extra](const std::string& mark, unsigned short port) {
            for (size_t at; (at = extra.find(mark)) != std::string::npos;)
                extra.replace(at, mark.size(), std::to_string(port));
        };
        substitute("@PORT@", p->m_port);
        for (size_t i = 0; i < options.tls.size(); ++i)
            substitute("@TLS" + std::to_string(i) + "@", p->m_tlsPorts[i]);
        mkdir(p->m_docroot.c_str(), 0755);
        mkdir((d + "/tmp").c_str(), 0755);
        // Workers of a master started by root would run as nobody and could not read the
        // private directory.
        std::string conf = geteuid() == 0 ? "user root root;\n" : "";
        conf += "daemon off;\nworker_processes 1;\npid " + d + "/nginx.pid;\nerror_log " + d +
                "/error.log warn;\nevents { worker_connections 512; }\nhttp {\n  access_log off;\n"
                "  default_type application/octet-stream;\n  sendfile on;\n"
                "  keepalive_requests 1000000;\n  keepalive_timeout " +
                std::to_string(options.keepaliveSeconds) + "s;\n";
        for (const char* t : {"client_body", "proxy", "fastcgi", "uwsgi", "scgi"})
            conf += std::string("  ") + t + "_temp_path " + d + "/tmp/" + t + ";\n";
        const std::string common = "    server_name localhost;\n    root " + p->m_docroot +
                                   ";\n    absolute_redirect off;\n" + extra;
        conf += options.httpExtra +
                "  server {\n    listen 127.0.0.1:" + std::to_string(p->m_port) + ";\n" +
                (options.ipv6 ? "    listen [::1]:" + std::to_string(p->m_v6Port) + ";\n" : "") +
                common + "  }\n";
        for (size_t i = 0; i < options.tls.size(); ++i) {
            const std::string tlsPort = std::to_string(p->m_tlsPorts[i]);
            conf += "  server {\n    listen 127.0.0.1:" + tlsPort + " ssl;\n" +
                    (options.ipv6 ? "    listen [::1]:" + tlsPort + " ssl;\n" : "") +
                    "    ssl_certificate " + options.tls[i].chain + ";\n    ssl_certificate_key " +
                    options.tls[i].key + ";\n    ssl_protocols TLSv1.2 TLSv1.3;\n" + common +
                    "  }\n";
        }
        conf += "}\n";
        if (!WriteTextFile(d + "/nginx.conf", conf)) {
            *why = "cannot write " + d + "/nginx.conf";
            return nullptr;
        }
        p->m_peer = ExternalPeer::Start(
            {prog, "-p", d + "/", "-e", d + "/error.log", "-c", d + "/nginx.conf"}, p->m_port,
            10000, why);
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

std::string NginxPeer::UrlV6(const std::string& path) const {
    return "http://[::1]:" + std::to_string(m_v6Port) + path;
}

std::string NginxPeer::TlsUrl(size_t i, const std::string& path, const std::string& host) const {
    return "https://" + host + ":" + std::to_string(tlsPort(i)) + path;
}

std::string PatternBytes(size_t n, unsigned int seed) {
    std::string s(n, '\0');
    unsigned int x = seed * 2654435761u + 1;
    for (size_t i = 0; i < n; ++i) {
        x = x * 1103515245u + 12345u;
        s[i] = static_cast<char>(x >> 16);
    }
    return s;
}

}  // namespace vntest
