// Real proxies and the scripted peer for the proxy client tests (see proxy_peers.h).
#include "support/proxy_peers.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace vntest {

namespace {

bool WaitReadable(int fd, int ms) {
    pollfd p = {fd, POLLIN, 0};
    return poll(&p, 1, ms) == 1;
}

// Runs a proxy from its own directory on a free port, trying a few ports: conf(dir, port)
// writes its configuration there and gives its command line.
using Conf = std::function<std::vector<std::string>(const std::string&, const std::string&)>;
std::unique_ptr<ProxyPeer> StartProxy(const char* tag, const char* prog, Conf conf,
                                      std::string* why) {
    if (!HaveProgram(prog)) {
        *why = std::string(prog) + " is not installed (scripts/setup.sh installs it)";
        return nullptr;
    }
    for (int attempt = 0; attempt < 3; ++attempt) {
        std::unique_ptr<ProxyPeer> p(new ProxyPeer);
        p->dir = MakeTempDir(tag);
        p->port = FreeLoopbackPort();
        p->peer = ExternalPeer::Start(conf(p->dir, std::to_string(p->port)), p->port, 10000, why);
        if (p->peer) return p;
        *why += " (log: " + ReadTextFile(p->dir + "/log") + ")";
    }
    return nullptr;
}

}  // namespace

ProxyPeer::~ProxyPeer() {
    peer.reset();  // stops the process group first
    RemoveTree(dir);
}

std::unique_ptr<ProxyPeer> StartTinyproxy(const char* user, const char* password,
                                          std::string* why) {
    auto conf = [&](const std::string& dir, const std::string& port) {
        WriteTextFile(dir + "/conf",
                      "Port " + port +
                          "\nListen 127.0.0.1\nTimeout 30\nAllow 127.0.0.1\nLogLevel Error\n" +
                          (user ? std::string("BasicAuth ") + user + " " + password + "\n" : ""));
        return std::vector<std::string>{"/usr/bin/tinyproxy", "-d", "-c", dir + "/conf"};
    };
    return StartProxy("tinyproxy", "/usr/bin/tinyproxy", conf, why);
}

std::unique_ptr<ProxyPeer> StartSocks5(bool bUsername, std::string* why) {
    // microsocks keeps its own credentials (-u/-P), so no system account is needed.
    auto micro = [](const std::string&, const std::string& port) {
        return std::vector<std::string>{
            "/usr/bin/microsocks", "-i", "127.0.0.1", "-p", port, "-u", kSocksUser, "-P",
            kSocksPassword};
    };
    auto danted = [](const std::string& dir, const std::string& port) {
        WriteTextFile(dir + "/conf",
                      "logoutput: " + dir + "/log\ninternal: 127.0.0.1 port = " + port +
                          "\nexternal: 127.0.0.1\nsocksmethod: none\nclientmethod: none\n"
                          "user.privileged: root\nuser.unprivileged: root\n"
                          "client pass { from: 127.0.0.0/8 to: 0.0.0.0/0 }\n"
                          "socks pass { from: 127.0.0.0/8 to: 0.0.0.0/0 command: connect bind "
                          "udpassociate bindreply udpreply }\n");
        return std::vector<std::string>{"/usr/sbin/danted", "-f", dir + "/conf", "-N", "1", "-p",
                                        dir + "/pid"};
    };
    if (bUsername) return StartProxy("microsocks", "/usr/bin/microsocks", micro, why);
    return StartProxy("danted", "/usr/sbin/danted", danted, why);
}

ScriptedPeer::ScriptedPeer(int connections, Script script, bool bIPv6) {
    m_fd = BindLoopback(SOCK_STREAM, &m_port, bIPv6);
    if (m_fd < 0 || listen(m_fd, 16) != 0) return;
    m_thread = std::thread([this, connections, script] {
        for (int i = 0; i < connections && WaitReadable(m_fd, 10000); ++i) {
            int c = accept4(m_fd, nullptr, nullptr, SOCK_CLOEXEC);
            if (c < 0) return;
            ++m_accepted;
            int one = 1;
            setsockopt(c, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
            script(c, i);
            close(c);
        }
    });
}

ScriptedPeer::~ScriptedPeer() {
    if (m_thread.joinable()) m_thread.join();
    if (m_fd >= 0) close(m_fd);
}

std::string ReadExact(int fd, size_t n, int timeout_ms) {
    std::string got;
    char buf[4096];
    ssize_t r = 0;
    while (got.size() < n && WaitReadable(fd, timeout_ms) &&
           (r = recv(fd, buf, std::min(n - got.size(), sizeof(buf)), 0)) > 0)
        got.append(buf, static_cast<size_t>(r));
    return got;
}

std::string ReadUntil(int fd, const std::string& terminator, int timeout_ms) {
    std::string got;
    char c;
    while (got.size() < 65536 &&
           (got.size() < terminator.size() ||
            got.compare(got.size() - terminator.size(), terminator.size(), terminator) != 0) &&
           WaitReadable(fd, timeout_ms) && recv(fd, &c, 1, 0) == 1)
        got += c;
    return got;
}

bool SendAll(int fd, const std::string& data) {
    ssize_t n = 0;
    for (size_t off = 0; off < data.size(); off += static_cast<size_t>(n)) {
        if ((n = send(fd, data.data() + off, data.size() - off, MSG_NOSIGNAL)) <= 0) return false;
    }
    return true;
}

bool WaitPeerClose(int fd, int timeout_ms) {
    char buf[4096];
    while (WaitReadable(fd, timeout_ms)) {
        if (recv(fd, buf, sizeof(buf), 0) <= 0) return true;
    }
    return false;
}

void EchoUntilClose(int fd, int) {
    char buf[4096];
    ssize_t n;
    while (WaitReadable(fd, 10000) && (n = recv(fd, buf, sizeof(buf), 0)) > 0 &&
           SendAll(fd, std::string(buf, static_cast<size_t>(n)))) {
    }
}

std::string EchoRoundTrip(int fd, const std::string& data) {
    return SendAll(fd, data) ? ReadExact(fd, data.size()) : std::string();
}

}  // namespace vntest
