// Where the server listens: ListenAt on chosen addresses of both families and Listen on every
// address (one dual-stack socket), seen from raw clients on 127.0.0.1, ::1 and this machine's
// own non-loopback addresses; the address texts the server reports; one port over several
// sockets (chosen together, closed together); lists that are refused; TLS and curl over ::1.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <poll.h>
#include <string.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "server_test_util.h"
#include "support/tls_pki.h"

namespace srvtest {
namespace {

// The socket address of numeric addr:port and its length; false for a text that is no
// address.
bool MakeAddr(const std::string& addr, unsigned short port, sockaddr_storage* ss, socklen_t* len) {
    memset(ss, 0, sizeof(*ss));
    auto* v4 = reinterpret_cast<sockaddr_in*>(ss);
    auto* v6 = reinterpret_cast<sockaddr_in6*>(ss);
    if (inet_pton(AF_INET, addr.c_str(), &v4->sin_addr) == 1) {
        v4->sin_family = AF_INET;
        v4->sin_port = htons(port);
        *len = sizeof(*v4);
        return true;
    }
    if (inet_pton(AF_INET6, addr.c_str(), &v6->sin6_addr) == 1) {
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons(port);
        *len = sizeof(*v6);
        return true;
    }
    return false;
}

// A connection to addr:port, or -1 with *err the reason (ECONNREFUSED when nothing listens).
// The connect is bounded by kWaitMs.
int ConnectTo(const std::string& addr, unsigned short port, int* err) {
    sockaddr_storage ss;
    socklen_t len = 0;
    *err = EINVAL;
    if (!MakeAddr(addr, port, &ss, &len)) return -1;
    int fd = socket(ss.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        *err = errno;
        return -1;
    }
    *err = 0;
    if (connect(fd, reinterpret_cast<sockaddr*>(&ss), len) != 0) {
        *err = errno;
        if (*err == EINPROGRESS) {
            pollfd p = {fd, POLLOUT, 0};
            socklen_t n = sizeof(*err);
            *err = poll(&p, 1, kWaitMs) == 1 ? 0 : ETIMEDOUT;
            if (*err == 0) getsockopt(fd, SOL_SOCKET, SO_ERROR, err, &n);
        }
    }
    if (*err != 0) {
        close(fd);
        return -1;
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return fd;
}

// One GET to addr:port: the answer's body, or "refused" / "error N" when no connection came
// about, or "no answer".
std::string Ask(const std::string& addr, unsigned short port) {
    int err = 0;
    int fd = ConnectTo(addr, port, &err);
    if (fd == -1) return err == ECONNREFUSED ? "refused" : "error " + std::to_string(err);
    std::string body = "no answer";
    if (vntest::SendAll(fd, "GET /who HTTP/1.1\r\nHost: x\r\n\r\n")) {
        std::string head = vntest::ReadUntil(fd, "\r\n\r\n");
        size_t at = head.find("Content-Length: ");
        if (head.compare(0, 12, "HTTP/1.1 200") == 0 && at != std::string::npos) {
            body = vntest::ReadExact(fd, std::stoul(head.substr(at + 16)));
        }
    }
    close(fd);
    return body;
}

// This machine's first address of family outside loopback, as text; "" when it has none.
// IPv6 link-local addresses are left out: they need an interface named with them.
std::string NonLoopbackAddress(int family) {
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) return "";
    std::string found;
    for (ifaddrs* i = list; i != nullptr && found.empty(); i = i->ifa_next) {
        if (i->ifa_addr == nullptr || i->ifa_addr->sa_family != family ||
            (i->ifa_flags & IFF_UP) == 0 || (i->ifa_flags & IFF_LOOPBACK) != 0) {
            continue;
        }
        char text[INET6_ADDRSTRLEN] = "";
        if (family == AF_INET) {
            auto* a = reinterpret_cast<sockaddr_in*>(i->ifa_addr);
            if ((ntohl(a->sin_addr.s_addr) >> 24) == 127) continue;
            inet_ntop(AF_INET, &a->sin_addr, text, sizeof(text));
        } else {
            auto* a = reinterpret_cast<sockaddr_in6*>(i->ifa_addr);
            if (IN6_IS_ADDR_LINKLOCAL(&a->sin6_addr) || IN6_IS_ADDR_LOOPBACK(&a->sin6_addr)) {
                continue;
            }
            inet_ntop(AF_INET6, &a->sin6_addr, text, sizeof(text));
        }
        found = text;
    }
    freeifaddrs(list);
    return found;
}

// Whether a socket can be bound to ::1 here.
bool HaveIpv6Loopback() {
    int fd = socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_storage ss;
    socklen_t len = 0;
    bool ok = fd >= 0 && MakeAddr("::1", 0, &ss, &len) &&
              bind(fd, reinterpret_cast<sockaddr*>(&ss), len) == 0;
    if (fd >= 0) close(fd);
    return ok;
}

// A socket of another program's listening on addr, on a port of the kernel's choice.
int ForeignListener(const std::string& addr, unsigned short* port) {
    sockaddr_storage ss;
    socklen_t len = 0;
    if (!MakeAddr(addr, 0, &ss, &len)) return -1;
    int fd = socket(ss.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int on = 1;
    if (ss.ss_family == AF_INET6) setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof(on));
    if (bind(fd, reinterpret_cast<sockaddr*>(&ss), len) != 0 || listen(fd, 8) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&ss), &len) != 0) {
        close(fd);
        return -1;
    }
    *port = ntohs(ss.ss_family == AF_INET ? reinterpret_cast<sockaddr_in*>(&ss)->sin_port
                                          : reinterpret_cast<sockaddr_in6*>(&ss)->sin6_port);
    return fd;
}

// Answers every request with what the server says of its peer: the peer text OnRequest was
// given, then GetPeerIP's and GetLocalIP's, joined by '|'.
class HttpServerListenAt : public ::testing::Test {
protected:
    void SetUp() override {
        if (!HaveIpv6Loopback()) GTEST_SKIP() << "no IPv6 loopback (::1) on this machine";
        rec.SetOnRequest([this](const Event& q) {
            vn::strutf8 peer = "unset", local = "unset";
            srv->GetPeerIP(q.id, peer);
            srv->GetLocalIP(q.id, local);
            std::string who = q.data + "|" + peer.c_str() + "|" + local.c_str();
            rec.Accepted();
            srv->Accept_SendBuf(q.id, who.c_str(), &rec, false);
        });
    }
    void TearDown() override {
        for (unsigned short p : ports)
            srv->StopListen(p);
        for (unsigned short p : ports)
            EXPECT_TRUE(WaitListening(p, false)) << p;
        EXPECT_TRUE(rec.WaitSettled());
        rec.SetOnRequest(nullptr);
        EXPECT_TRUE(OnServer([] {}));
    }
    // Registers the recorder on a port just opened, which tear-down closes.
    void Serve(unsigned short port) {
        ports.push_back(port);
        srv->RegisterRequest("*.*", port, &rec);
    }
    void Stop(unsigned short port) {
        srv->StopListen(port);
        EXPECT_TRUE(WaitListening(port, false)) << port;
        ports.erase(std::remove(ports.begin(), ports.end(), port), ports.end());
    }
    // No event tells when the listen thread took or dropped a port.
    bool WaitListening(unsigned short port, bool on) {
        return vntest::PollFor([&] { return srv->IsListening(port) == on; }, kWaitMs);
    }

    CHttpServer* srv = Server();
    Recorder rec;
    std::vector<unsigned short> ports;
};

TEST_F(HttpServerListenAt, AcceptsOnTheListedAddressesOnly) {
    struct Probe {
        const char* what;
        std::string addr;
    };
    const std::vector<Probe> probes = {
        {"IPv4 loopback", "127.0.0.1"},
        {"IPv6 loopback", "::1"},
        {"IPv4 non-loopback", NonLoopbackAddress(AF_INET)},
        {"IPv6 non-loopback", NonLoopbackAddress(AF_INET6)},
    };
    for (const Probe& p : probes) {
        if (p.addr.empty()) {
            printf("[   NOTE   ] no %s address on this machine: its probes are skipped\n", p.what);
        }
    }
    using ListenFn = std::function<bool(unsigned short*)>;
    auto at = [this](const char* list) {
        return ListenFn([this, list](unsigned short* port) {
            return srv->ListenAt(list, 0, 0, port, nullptr, nullptr);
        });
    };
    struct Row {
        std::string name;
        ListenFn listen;
        std::vector<bool> accepts;  // per probe
    };
    std::vector<Row> rows = {
        {"127.0.0.1", at("127.0.0.1"), {true, false, false, false}},
        {"::1", at("::1"), {false, true, false, false}},
        {"127.0.0.1,::1", at("127.0.0.1,::1"), {true, true, false, false}},
        {"::1, 127.0.0.1 (blanks, other order)", at("::1, 127.0.0.1"), {true, true, false, false}},
        {"null (every address)", at(nullptr), {true, true, true, true}},
        {"\"\" (every address)", at(""), {true, true, true, true}},
        {"Listen",
         [this](unsigned short* port) { return srv->Listen(0, 0, port); },
         {true, true, true, true}},
    };
    // The machine's own non-loopback address, alone.
    if (!probes[2].addr.empty()) {
        rows.push_back({probes[2].addr, at(probes[2].addr.c_str()), {false, false, true, false}});
    }
    for (const Row& r : rows) {
        SCOPED_TRACE("listening on " + r.name);
        unsigned short port = 0;
        ASSERT_TRUE(r.listen(&port));
        Serve(port);
        for (size_t i = 0; i < probes.size(); ++i) {
            const std::string& a = probes[i].addr;
            if (a.empty()) continue;
            // The server names a peer the way it reached the port: an IPv4 peer of the
            // dual-stack socket dotted, as on an IPv4 one. Here the peer is this machine,
            // whose address towards a of its own is a itself.
            EXPECT_EQ(r.accepts[i] ? a + "|" + a + "|" + a : "refused", Ask(a, port)) << a;
        }
        // Every socket of the port closes with it.
        Stop(port);
        for (const Probe& p : probes) {
            if (p.addr.empty()) continue;
            EXPECT_EQ("refused", Ask(p.addr, port)) << p.addr << " stopped";
        }
    }
}

TEST_F(HttpServerListenAt, RefusesWhatIsNoListOfThisMachinesAddresses) {
    unsigned short port = 1234;
    // Not addresses at all, then addresses this machine does not have (documentation
    // ranges), alone and beside one it has.
    for (const char* list :
         {"localhost", "127.0.0.1,", ",::1", "127.0.0.1;::1", "[::1]", "127.0.0.1:80", "256.0.0.1",
          "1.2.3", "127.0.0.1,,::1", " ", "203.0.113.7", "2001:db8::7", "127.0.0.1,203.0.113.7"}) {
        EXPECT_FALSE(srv->ListenAt(list, 0, 0, &port, nullptr, nullptr)) << list;
        EXPECT_EQ(1234, port) << list;
    }
    // A failed call keeps none of its sockets: the loopback port it had bound is free.
    unsigned short free = vntest::FreeLoopbackPort();
    EXPECT_FALSE(srv->ListenAt("127.0.0.1,203.0.113.7", free, free, &port, nullptr, nullptr));
    ASSERT_TRUE(srv->ListenAt("127.0.0.1", free, free, &port, nullptr, nullptr));
    EXPECT_EQ(free, port);
    Serve(port);
    // A certificate without its key does not leave the port plain: nothing listens.
    std::string why;
    std::unique_ptr<vntest::TestPki> pki = vntest::TestPki::Make(&why);
    ASSERT_NE(nullptr, pki) << why;
    EXPECT_FALSE(srv->ListenAt("::1", 0, 0, &port, pki->good.chain.c_str(), nullptr));
    EXPECT_FALSE(srv->ListenAt("::1", 0, 0, &port, nullptr, pki->good.key.c_str()));
    EXPECT_FALSE(srv->ListenAt("::1", 2000, 1999, &port, nullptr, nullptr));
}

TEST_F(HttpServerListenAt, OnePortFreeOnEveryAddress) {
    // Another program holds [::1]:q: the pair cannot have q, ::1 alone neither.
    unsigned short q = 0, port = 0;
    int foreign = ForeignListener("::1", &q);
    ASSERT_NE(-1, foreign);
    EXPECT_FALSE(srv->ListenAt("127.0.0.1,::1", q, q, &port, nullptr, nullptr));
    EXPECT_FALSE(srv->ListenAt("::1", q, q, &port, nullptr, nullptr));
    // In a range the next port free on both is taken (when nobody else holds q + 1).
    if (q < 65535 && srv->ListenAt("127.0.0.1,::1", q, q + 1, &port, nullptr, nullptr)) {
        EXPECT_EQ(q + 1, port);
        Serve(port);
    }
    close(foreign);
    // A port belongs to one call: this server's port on 127.0.0.1 is not handed to a call
    // for ::1 while it listens, though ::1 has it free; once stopped it is.
    unsigned short mine = 0;
    ASSERT_TRUE(srv->ListenAt("127.0.0.1", 0, 0, &mine, nullptr, nullptr));
    Serve(mine);
    ASSERT_TRUE(WaitListening(mine, true));
    EXPECT_FALSE(srv->ListenAt("::1", mine, mine, &port, nullptr, nullptr));
    Stop(mine);
    ASSERT_TRUE(srv->ListenAt("::1", mine, mine, &port, nullptr, nullptr));
    EXPECT_EQ(mine, port);
    Serve(port);
    EXPECT_EQ("::1|::1|::1", Ask("::1", port));
    EXPECT_EQ("refused", Ask("127.0.0.1", port));
    Stop(port);
    // Two calls for that port at once, each on an address the other leaves free: exactly
    // one of them gets it, whichever comes first.
    bool won[2] = {};
    unsigned short got[2] = {};
    const char* lists[2] = {"127.0.0.1", "::1"};
    std::vector<std::thread> calls;
    for (int i = 0; i < 2; ++i) {
        calls.emplace_back(
            [&, i] { won[i] = srv->ListenAt(lists[i], mine, mine, &got[i], nullptr, nullptr); });
    }
    for (std::thread& t : calls)
        t.join();
    EXPECT_EQ(1, won[0] + won[1]);
    int winner = won[0] ? 0 : 1;
    if (won[winner]) Serve(got[winner]);
}

TEST_F(HttpServerListenAt, CurlOverIpv6PlainAndTls) {
    if (!vntest::HaveProgram("/usr/bin/curl")) GTEST_SKIP() << "curl is not installed";
    std::string why;
    std::unique_ptr<vntest::TestPki> pki = vntest::TestPki::Make(&why);
    ASSERT_NE(nullptr, pki) << why;
    struct Row {
        const char* scheme;
        const char* cert;
        const char* key;
    } rows[] = {
        {"http", nullptr, nullptr},
        {"https", pki->good.chain.c_str(), pki->good.key.c_str()},  // its names include ::1
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.scheme);
        unsigned short port = 0;
        ASSERT_TRUE(srv->ListenAt("127.0.0.1,::1", 0, 0, &port, r.cert, r.key));
        Serve(port);
        for (const char* host : {"[::1]", "127.0.0.1"}) {
            std::string url = std::string(r.scheme) + "://" + host + ":";
            url += std::to_string(port) + "/who";
            std::string out;
            EXPECT_EQ(0, RunProgram({"curl", "-g", "-s", "--cacert", pki->caFile, url}, 10, &out));
            std::string ip = host[0] == '[' ? "::1" : "127.0.0.1";
            EXPECT_EQ(ip + "|" + ip + "|" + ip, out) << url;
        }
    }
}

}  // namespace
}  // namespace srvtest
