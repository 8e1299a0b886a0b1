// Real proxies and loopback echo servers for the proxy client tests (see proxy_peers.h).
#include "support/proxy_peers.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

namespace vntest {

const char kSocksUser[] = "vnbaseproxy";
const char kSocksPassword[] = "vnbase-secret";

namespace {

constexpr int kStartMs = 10000;
constexpr int kTries = 3;

int BindLoopback(int type, unsigned short* port) {
    int fd = socket(AF_INET, type | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    struct sockaddr_in sa;
    memset(&sa, 0, sizeof(sa));
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(sa);
    if (bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof(sa)) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len) != 0) {
        close(fd);
        return -1;
    }
    *port = ntohs(sa.sin_port);
    return fd;
}

// Waits up to ms for fd to become readable: true when it did.
bool WaitReadable(int fd, int ms) {
    struct pollfd p = {fd, POLLIN, 0};
    return poll(&p, 1, ms) == 1;
}

}  // namespace

ProxyPeer::~ProxyPeer() {
    peer.reset();  // stops the process group first
    if (!dir.empty()) RemoveTree(dir);
}

std::unique_ptr<ProxyPeer> StartTinyproxy(const char* user, const char* password,
                                          std::string* why) {
    const std::string prog = "/usr/bin/tinyproxy";
    if (!HaveProgram(prog)) {
        *why = prog + " is not installed (scripts/setup.sh installs tinyproxy-bin)";
        return nullptr;
    }
    for (int attempt = 0; attempt < kTries; ++attempt) {
        std::unique_ptr<ProxyPeer> p(new ProxyPeer);
        p->dir = MakeTempDir("tinyproxy");
        p->port = FreeLoopbackPort();
        std::string conf = "Port " + std::to_string(p->port) +
                           "\nListen 127.0.0.1\nTimeout 30\nMaxClients 20\nAllow 127.0.0.1\n"
                           "LogLevel Error\n";
        if (user != nullptr) conf += std::string("BasicAuth ") + user + " " + password + "\n";
        std::string path = p->dir + "/tinyproxy.conf";
        if (!WriteTextFile(path, conf)) {
            *why = "cannot write " + path;
            return nullptr;
        }
        p->peer = ExternalPeer::Start({prog, "-d", "-c", path}, p->port, kStartMs, why);
        if (p->peer) return p;
    }
    return nullptr;
}

bool SocksUserUsable(std::string* why) {
    if (HaveProgram("/usr/bin/microsocks")) return true;
    *why = "/usr/bin/microsocks is not installed (scripts/setup.sh installs microsocks)";
    return false;
}

namespace {

// microsocks keeps its own credentials (-u/-P), so no system account is needed.
std::unique_ptr<ProxyPeer> StartMicrosocks(std::string* why) {
    if (!SocksUserUsable(why)) return nullptr;
    for (int attempt = 0; attempt < kTries; ++attempt) {
        std::unique_ptr<ProxyPeer> p(new ProxyPeer);
        p->port = FreeLoopbackPort();
        p->peer =
            ExternalPeer::Start({"/usr/bin/microsocks", "-i", "127.0.0.1", "-p",
                                 std::to_string(p->port), "-u", kSocksUser, "-P", kSocksPassword},
                                p->port, kStartMs, why);
        if (p->peer) return p;
    }
    return nullptr;
}

}  // namespace

std::unique_ptr<ProxyPeer> StartSocks5(bool bUsername, std::string* why) {
    if (bUsername) return StartMicrosocks(why);
    const std::string prog = "/usr/sbin/danted";
    if (!HaveProgram(prog)) {
        *why = prog + " is not installed (scripts/setup.sh installs dante-server)";
        return nullptr;
    }
    for (int attempt = 0; attempt < kTries; ++attempt) {
        std::unique_ptr<ProxyPeer> p(new ProxyPeer);
        p->dir = MakeTempDir("danted");
        p->port = FreeLoopbackPort();
        std::string conf = "logoutput: " + p->dir + "/danted.log\n" +
                           "internal: 127.0.0.1 port = " + std::to_string(p->port) + "\n" +
                           "external: 127.0.0.1\n" +
                           "socksmethod: none\n"
                           "clientmethod: none\n"
                           "user.privileged: root\n"
                           "user.unprivileged: nobody\n"
                           "client pass { from: 127.0.0.0/8 to: 0.0.0.0/0 }\n"
                           "socks pass { from: 127.0.0.0/8 to: 0.0.0.0/0 command: connect bind "
                           "udpassociate bindreply udpreply }\n";
        std::string path = p->dir + "/danted.conf";
        if (!WriteTextFile(path, conf)) {
            *why = "cannot write " + path;
            return nullptr;
        }
        p->peer = ExternalPeer::Start({prog, "-f", path, "-N", "1", "-p", p->dir + "/danted.pid"},
                                      p->port, kStartMs, why);
        if (p->peer) return p;
        *why += " (log: " + ReadTextFile(p->dir + "/danted.log") + ")";
    }
    return nullptr;
}

// ---- TCP echo ----

TcpEchoServer::TcpEchoServer() {
    m_fd = BindLoopback(SOCK_STREAM, &m_port);
    if (m_fd >= 0 && listen(m_fd, 16) == 0) m_thread = std::thread([this] { Run(); });
}

TcpEchoServer::~TcpEchoServer() {
    m_stop = true;
    if (m_thread.joinable()) m_thread.join();
    if (m_fd >= 0) close(m_fd);
}

void TcpEchoServer::Run() {
    while (!m_stop) {
        if (!WaitReadable(m_fd, 50)) continue;
        int c = accept4(m_fd, nullptr, nullptr, SOCK_CLOEXEC);
        if (c < 0) continue;
        char buf[4096];
        while (!m_stop) {
            if (!WaitReadable(c, 50)) continue;
            ssize_t n = recv(c, buf, sizeof(buf), 0);
            if (n <= 0) break;
            if (send(c, buf, static_cast<size_t>(n), MSG_NOSIGNAL) != n) break;
        }
        close(c);
    }
}

// ---- UDP echo ----

UdpEchoServer::UdpEchoServer() {
    m_fd = BindLoopback(SOCK_DGRAM, &m_port);
    if (m_fd >= 0) m_thread = std::thread([this] { Run(); });
}

UdpEchoServer::~UdpEchoServer() {
    m_stop = true;
    if (m_thread.joinable()) m_thread.join();
    if (m_fd >= 0) close(m_fd);
}

void UdpEchoServer::Run() {
    char buf[65536];
    while (!m_stop) {
        if (!WaitReadable(m_fd, 50)) continue;
        struct sockaddr_in from;
        socklen_t len = sizeof(from);
        ssize_t n = recvfrom(m_fd, buf, sizeof(buf), 0, reinterpret_cast<sockaddr*>(&from), &len);
        if (n < 0) continue;
        sendto(m_fd, buf, static_cast<size_t>(n), MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&from),
               len);
    }
}

// ---- Scripted peer ----

ScriptedPeer::ScriptedPeer(int connections, Script script) {
    m_fd = BindLoopback(SOCK_STREAM, &m_port);
    if (m_fd < 0 || listen(m_fd, 16) != 0) return;
    m_thread = std::thread([this, connections, script] {
        for (int i = 0; i < connections; ++i) {
            if (!WaitReadable(m_fd, 10000)) return;
            int c = accept4(m_fd, nullptr, nullptr, SOCK_CLOEXEC);
            if (c < 0) return;
            ++m_accepted;
            // Small writes of a script leave as separate segments (no Nagle coalescing), so
            // a reply the script splits reaches the client split.
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
    while (got.size() < n) {
        if (!WaitReadable(fd, timeout_ms)) break;
        size_t want = n - got.size() < sizeof(buf) ? n - got.size() : sizeof(buf);
        ssize_t r = recv(fd, buf, want, 0);
        if (r <= 0) break;
        got.append(buf, static_cast<size_t>(r));
    }
    return got;
}

std::string ReadUntil(int fd, const std::string& terminator, int timeout_ms) {
    std::string got;
    char c;
    while (got.size() < 65536) {
        if (got.size() >= terminator.size() &&
            got.compare(got.size() - terminator.size(), terminator.size(), terminator) == 0) {
            break;
        }
        if (!WaitReadable(fd, timeout_ms)) break;
        if (recv(fd, &c, 1, 0) != 1) break;
        got += c;
    }
    return got;
}

bool SendAll(int fd, const std::string& data) {
    size_t off = 0;
    while (off < data.size()) {
        ssize_t n = send(fd, data.data() + off, data.size() - off, MSG_NOSIGNAL);
        if (n <= 0) return false;
        off += static_cast<size_t>(n);
    }
    return true;
}

bool WaitPeerClose(int fd, int timeout_ms) {
    char buf[4096];
    for (;;) {
        if (!WaitReadable(fd, timeout_ms)) return false;
        ssize_t n = recv(fd, buf, sizeof(buf), 0);
        if (n <= 0) return true;
    }
}

std::string EchoRoundTrip(int fd, const std::string& data, int timeout_ms) {
    size_t off = 0;
    while (off < data.size()) {
        struct pollfd p = {fd, POLLOUT, 0};
        if (poll(&p, 1, timeout_ms) != 1) return std::string();
        ssize_t n = send(fd, data.data() + off, data.size() - off, MSG_NOSIGNAL);
        if (n <= 0 && errno != EAGAIN) return std::string();
        if (n > 0) off += static_cast<size_t>(n);
    }
    std::string got;
    char buf[4096];
    while (got.size() < data.size()) {
        if (!WaitReadable(fd, timeout_ms)) break;
        ssize_t n = recv(fd, buf, sizeof(buf), 0);
        if (n <= 0) {
            if (n < 0 && errno == EAGAIN) continue;
            break;
        }
        got.append(buf, static_cast<size_t>(n));
    }
    return got;
}

}  // namespace vntest
