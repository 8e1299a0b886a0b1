// The SOCKS5 client: CONNECT, BIND and UDP ASSOCIATE against danted (no authentication and
// username/password), and scripted peers for the exact bytes and for what a real proxy will
// not do on demand (split replies, refusals, closes in every state, silence).
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "net/socket_test_util.h"
#include "net/vnnet.h"
#include "net/vnsocks5_internal.h"
#include "net/vnsocketi.h"
#include "support/proxy_peers.h"

using namespace socktest;
using vntest::ReadExact;
using vntest::ScriptedPeer;
using vntest::SendAll;

namespace {

std::string Bytes(std::initializer_list<int> b) {
    std::string s;
    for (int c : b)
        s += static_cast<char>(c);
    return s;
}

std::string Port16(unsigned short port) {
    return Bytes({port >> 8, port & 0xFF});
}

const std::string kOkReply = Bytes({5, 0, 0, 1, 127, 0, 0, 1, 0x12, 0x34});

struct Attempt : ProxyAttempt {
    Attempt(unsigned short proxyPort, const char* user, const char* password, const char* host,
            unsigned short port, unsigned int timeoutMs = 5000, bool deleteInside = false)
        : ProxyAttempt(VNPROXY_SOCKS5, proxyPort, user, password, host, port, timeoutMs,
                       deleteInside) {}
};

// Listening-socket reports, accepting inside OnAccept.
struct BindSink : public CVNITCPListenSocketSink {
    Waiter w;
    int listens = 0, accepts = 0, closes = 0;  // guarded by w
    unsigned int ip = 0;
    unsigned short port = 0;
    int fd = -1;
    bool deleteInside = false;  // delete the socket inside OnAccept / OnClose
    void OnListen(unsigned int i, unsigned short p, CVNITCPListenSocket*) override {
        w.Update([&] {
            ++listens;
            ip = i;
            port = p;
        });
    }
    void OnAccept(CVNITCPListenSocket* s) override {
        int d = s->Accept();
        int again = s->Accept();  // only one connection per BIND
        EXPECT_EQ(-1, again);
        if (deleteInside) delete s;
        w.Update([&] {
            ++accepts;
            fd = d;
        });
    }
    void OnClose(CVNITCPListenSocket* s) override {
        if (deleteInside) delete s;
        w.Update([&] { ++closes; });
    }
};

// A UDP ASSOCIATE through the proxy on io, waiting (bounded) for OnCreate; the socket.
template <class Sink>
CVNIUDPSocket* UdpVia(IOThread& io, unsigned short proxyPort, Sink* sink,
                      const char* user = nullptr, const char* pass = nullptr) {
    CVNIUDPSocket* u = nullptr;
    EXPECT_TRUE(io.Run([&] {
        u = VNCreateProxyUDPSocket(VNPROXY_SOCKS5, "127.0.0.1", proxyPort, user, pass);
        if (u == nullptr) return;
        u->SetSink(sink);
        EXPECT_TRUE(u->Create(5000, Loopback(), 0));
    }));
    EXPECT_TRUE(sink->w.WaitFor([&] { return sink->creates >= 1; }));
    return u;
}

// A BIND through the proxy on io (the reports come to sink); the socket.
CVNITCPListenSocket* BindVia(IOThread& io, unsigned short proxyPort, BindSink* sink,
                             unsigned int timeoutMs = 5000, const char* user = nullptr,
                             const char* pass = nullptr) {
    CVNITCPListenSocket* l = nullptr;
    EXPECT_TRUE(io.Run([&] {
        l = VNCreateProxyTCPListenSocket(VNPROXY_SOCKS5, "127.0.0.1", proxyPort, user, pass);
        if (l == nullptr) return;
        l->SetSink(sink);
        EXPECT_TRUE(l->Listen(0, 0, timeoutMs, 1));
    }));
    return l;
}

// A UDP socket bound to 127.0.0.1 on a kernel port (a scripted relay).
struct UdpPort {
    unsigned short port = 0;
    int fd = BoundLoopbackSocket(SOCK_DGRAM, &port);
    ~UdpPort() { close(fd); }
    // One datagram (bounded wait), with its sender's port.
    std::string Recv(unsigned short* from = nullptr) {
        struct pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, kWaitMs) != 1) return std::string();
        char buf[65536];
        struct sockaddr_in sa;
        socklen_t len = sizeof(sa);
        ssize_t n = recvfrom(fd, buf, sizeof(buf), 0, reinterpret_cast<sockaddr*>(&sa), &len);
        if (from != nullptr) *from = ntohs(sa.sin_port);
        return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
    }
    void SendToPort(unsigned short port, const std::string& d) {
        struct sockaddr_in sa;
        memset(&sa, 0, sizeof(sa));
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = Loopback();
        sa.sin_port = htons(port);
        sendto(fd, d.data(), d.size(), 0, reinterpret_cast<sockaddr*>(&sa), sizeof(sa));
    }
};

// The script of a proxy with no authentication that answers the request with reply. The
// request bytes it read (fixed-length requests only: IPv4 form) are stored in *req before
// the reply leaves, so the client's progress orders the test's read after the write.
void ServeNoAuth(int fd, const std::string& reply, std::string* req = nullptr) {
    std::string greet = ReadExact(fd, 3);
    std::string got = greet == Bytes({5, 1, 0}) ? "" : "bad greeting";
    SendAll(fd, Bytes({5, 0}));
    got += ReadExact(fd, 10);
    if (req != nullptr) *req = got;
    SendAll(fd, reply);
}

}  // namespace

// ---------------------------------------------------------------------------------------
// Against real proxies: danted, and microsocks for username/password

class RealProxyTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        std::string why;
        s_open = vntest::StartSocks5(false, &why).release();
        if (s_open == nullptr) s_why = "danted: " + why;
        s_user = vntest::StartSocks5(true, &why).release();
        if (s_user == nullptr) s_why += " microsocks: " + why;
        s_echo = new vntest::TcpEchoServer;
        s_udpEcho = new vntest::UdpEchoServer;
    }
    static void TearDownTestSuite() {
        delete s_open;
        delete s_user;
        delete s_echo;
        delete s_udpEcho;
        s_open = s_user = nullptr;
        s_echo = nullptr;
        s_udpEcho = nullptr;
    }
    void SetUp() override {
        // Setup installs both proxies: a missing one is a failure.
        ASSERT_NE(nullptr, s_open) << s_why;
        ASSERT_NE(nullptr, s_user) << s_why;
    }
    // The proxy and credentials of one authentication mode (microsocks for username).
    bool Mode(bool bUser, unsigned short* port, const char** user, const char** pass) {
        *port = bUser ? s_user->port : s_open->port;
        *user = bUser ? vntest::kSocksUser : nullptr;
        *pass = bUser ? vntest::kSocksPassword : nullptr;
        return true;
    }

    void ConnectToEcho(bool bUser, const char* host);
    void BindAndAccept(bool bUser);
    void UdpRoundTrip(bool bUser);

    static vntest::ProxyPeer* s_open;
    static vntest::ProxyPeer* s_user;
    static vntest::TcpEchoServer* s_echo;
    static vntest::UdpEchoServer* s_udpEcho;
    static std::string s_why;
};
vntest::ProxyPeer* RealProxyTest::s_open = nullptr;
vntest::ProxyPeer* RealProxyTest::s_user = nullptr;
vntest::TcpEchoServer* RealProxyTest::s_echo = nullptr;
vntest::UdpEchoServer* RealProxyTest::s_udpEcho = nullptr;
std::string RealProxyTest::s_why;

void RealProxyTest::ConnectToEcho(bool bUser, const char* host) {
    unsigned short port;
    const char *user, *pass;
    if (!Mode(bUser, &port, &user, &pass)) return;
    Attempt a(port, user, pass, host, s_echo->port());
    ASSERT_TRUE(a.started);
    ASSERT_TRUE(a.Outcome());
    ASSERT_GE(a.Fd(), 0);
    EXPECT_EQ("through the proxy", vntest::EchoRoundTrip(a.Fd(), "through the proxy", 5000));
}

void RealProxyTest::BindAndAccept(bool bUser) {
    unsigned short port;
    const char *user, *pass;
    if (!Mode(bUser, &port, &user, &pass)) return;
    IOThread io("Socks5Bind");
    BindSink sink;
    CVNITCPListenSocket* l = nullptr;
    ASSERT_TRUE(io.Run([&] {
        l = VNCreateProxyTCPListenSocket(VNPROXY_SOCKS5, "127.0.0.1", port, user, pass);
        ASSERT_NE(nullptr, l);
        l->SetSink(&sink);
        EXPECT_TRUE(l->Listen(0, 0, 5000, 5));
    }));
    ASSERT_TRUE(sink.w.WaitFor([&] { return sink.listens + sink.closes >= 1; }));
    ASSERT_EQ(1, sink.w.Read([&] { return sink.listens; }));
    unsigned int ip = sink.w.Read([&] { return sink.ip; });
    unsigned short bport = sink.w.Read([&] { return sink.port; });
    EXPECT_EQ(Loopback(), ip);
    ASSERT_NE(0, bport);
    io.Run([&] {
        unsigned int gip = 0;
        unsigned short gport = 0;
        EXPECT_TRUE(l->GetLocalAddr(&gip, &gport));
        EXPECT_EQ(ip, gip);
        EXPECT_EQ(bport, gport);
    });
    // The peer connects to the address the proxy announced.
    int peer = ConnectBlocking(ip, bport);
    ASSERT_GE(peer, 0);
    ASSERT_TRUE(sink.w.WaitFor([&] { return sink.accepts + sink.closes >= 1; }));
    EXPECT_EQ(1, sink.w.Read([&] { return sink.accepts; }));
    int fd = sink.w.Read([&] { return sink.fd; });
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(SendAll(peer, "from the peer"));
    EXPECT_EQ("from the peer", ReadExact(fd, 13));
    ASSERT_TRUE(SendAll(fd, "back"));
    EXPECT_EQ("back", ReadExact(peer, 4));
    close(peer);
    close(fd);
    io.Run([&] { delete l; });
    EXPECT_EQ(0, sink.w.Read([&] { return sink.closes; }));
}

void RealProxyTest::UdpRoundTrip(bool bUser) {
    unsigned short port;
    const char *user, *pass;
    if (!Mode(bUser, &port, &user, &pass)) return;
    IOThread io("Socks5Udp");
    UdpSink sink;
    CVNIUDPSocket* u = UdpVia(io, port, &sink, user, pass);
    ASSERT_NE(nullptr, u);
    ASSERT_TRUE(sink.w.Read([&] { return sink.createOk; }));
    EXPECT_EQ(Loopback(), sink.w.Read([&] { return sink.ip; }));
    unsigned short echo = s_udpEcho->port();
    for (int i = 0; i < 3; ++i) {
        std::string msg = "datagram " + std::to_string(i);
        int sent = -1;
        io.Run([&] { sent = u->SendTo("127.0.0.1", echo, msg.data(), msg.size()); });
        EXPECT_EQ(static_cast<int>(msg.size()), sent);
        ASSERT_TRUE(
            sink.w.WaitFor([&] { return sink.datagrams.size() >= static_cast<size_t>(i + 1); }));
        UdpSink::Datagram d = sink.w.Read([&] { return sink.datagrams.back(); });
        EXPECT_EQ(msg, d.data);
        EXPECT_EQ(Loopback(), d.ip);  // the sender named in the header: the echo server
        EXPECT_EQ(echo, d.port);
    }
    io.Run([&] { delete u; });
}

TEST_F(RealProxyTest, ConnectNoAuth) {
    ConnectToEcho(false, "127.0.0.1");
}

TEST_F(RealProxyTest, ConnectByNameNoAuth) {
    ConnectToEcho(false, "localhost");
}

TEST_F(RealProxyTest, ConnectUserPass) {
    ConnectToEcho(true, "127.0.0.1");
}

TEST_F(RealProxyTest, WrongOrNoCredentialsFailOnce) {
    // Without credentials only method 00 is offered: the proxy answers FF.
    Attempt none(s_user->port, nullptr, nullptr, "127.0.0.1", s_echo->port());
    EXPECT_FALSE(none.Outcome());
    Attempt a(s_user->port, vntest::kSocksUser, "not-the-password", "127.0.0.1", s_echo->port());
    ASSERT_TRUE(a.started);
    EXPECT_FALSE(a.Outcome());
}

TEST_F(RealProxyTest, BindNoAuth) {
    BindAndAccept(false);
}
TEST_F(RealProxyTest, UdpAssociateNoAuth) {
    UdpRoundTrip(false);
}

// ---------------------------------------------------------------------------------------
// Scripted peers: exact bytes

// The proxy picks username/password: refusing the credentials fails, and so does picking it
// when it was not offered.
TEST(Socks5Scripted, AuthRefusedOrNotOfferedFails) {
    for (bool user : {true, false}) {
        ScriptedPeer peer(1, [&](int fd, int) {
            ReadExact(fd, 3);
            SendAll(fd, Bytes({5, 2}));
            if (user) {
                ReadExact(fd, 5);
                SendAll(fd, Bytes({1, 1}));
            }
            vntest::WaitPeerClose(fd);
        });
        Attempt a(peer.port(), user ? "u" : nullptr, user ? "p" : nullptr, "10.0.0.1", 80);
        EXPECT_FALSE(a.Outcome()) << user;
    }
}

TEST(Socks5Scripted, HostNameConnect) {
    std::string req;
    const std::string host = "proxy-target.example";
    ScriptedPeer peer(1, [&](int fd, int) {
        ReadExact(fd, 3);
        SendAll(fd, Bytes({5, 0}));
        req = ReadExact(fd, 4 + 1 + host.size() + 2);
        SendAll(fd, kOkReply);
        vntest::WaitPeerClose(fd);
    });
    {
        Attempt a(peer.port(), nullptr, nullptr, host.c_str(), 443);
        EXPECT_TRUE(a.Outcome());
    }
    EXPECT_EQ(Bytes({5, 1, 0, 3, static_cast<int>(host.size())}) + host + Port16(443), req);
}

TEST(Socks5Scripted, RepliesSplitByteByByte) {
    ScriptedPeer peer(1, [&](int fd, int) {
        auto drip = [&](const std::string& s) {
            for (char c : s) {
                SendAll(fd, std::string(1, c));
                usleep(2000);  // separate segments (pacing the peer, not a synchronisation)
            }
        };
        ReadExact(fd, 3);
        drip(Bytes({5, 2}));
        ReadExact(fd, 5);
        drip(Bytes({1, 0}));
        ReadExact(fd, 10);
        drip(kOkReply);
        vntest::WaitPeerClose(fd);
    });
    Attempt a(peer.port(), "u", "p", "10.0.0.1", 80);
    EXPECT_TRUE(a.Outcome());
}

TEST(Socks5Scripted, BytesAfterTheReplyStayForTheTunnel) {
    ScriptedPeer peer(1, [&](int fd, int) {
        ServeNoAuth(fd, kOkReply + "TUNNEL-FIRST");
        std::string echo = ReadExact(fd, 4);
        SendAll(fd, echo);
        vntest::WaitPeerClose(fd);
    });
    Attempt a(peer.port(), nullptr, nullptr, "10.0.0.1", 80);
    ASSERT_TRUE(a.Outcome());
    EXPECT_EQ("TUNNEL-FIRST", ReadExact(a.Fd(), 12));
    EXPECT_EQ("ping", vntest::EchoRoundTrip(a.Fd(), "ping", 5000));
}

TEST(Socks5Scripted, CloseOrSilenceInEveryStateFailsOnce) {
    // Where the peer stops: 0 at once, 1 after the greeting, 2 half way through the method
    // reply, 3 after the credentials, 4 after the request, 5 half way through the reply. It
    // either hangs up there or falls silent until the attempt's time-out.
    for (bool silent : {false, true}) {
        for (int where = 0; where < 6; ++where) {
            ScriptedPeer peer(1, [&](int fd, int) {
                auto stop = [&](int step) {
                    if (step != where) return false;
                    if (silent) vntest::WaitPeerClose(fd);
                    return true;
                };
                if (stop(0)) return;
                ReadExact(fd, 3);
                if (stop(1)) return;
                SendAll(fd, Bytes({5}));
                if (stop(2)) return;
                SendAll(fd, Bytes({2}));
                ReadExact(fd, 5);
                if (stop(3)) return;
                SendAll(fd, Bytes({1, 0}));
                ReadExact(fd, 10);
                if (stop(4)) return;
                SendAll(fd, kOkReply.substr(0, 6));
                stop(5);
            });
            long long t0 = iotest::NowUs();
            Attempt a(peer.port(), "u", "p", "10.0.0.1", 80, 1000);
            EXPECT_FALSE(a.Outcome()) << "stop at step " << where << (silent ? " silent" : "");
            EXPECT_LT(iotest::NowUs() - t0, 5000000);
        }
    }
    RefusingPort refusing;
    Attempt a(refusing.port, nullptr, nullptr, "10.0.0.1", 80);
    ASSERT_TRUE(a.started);
    EXPECT_FALSE(a.Outcome());
}

TEST(Socks5Scripted, DeleteInsideOnConnect) {
    for (bool ok : {true, false}) {
        ScriptedPeer peer(1, [&](int fd, int) {
            ServeNoAuth(fd, ok ? kOkReply : Bytes({5, 5, 0, 1, 0, 0, 0, 0, 0, 0}));
            vntest::WaitPeerClose(fd);
        });
        Attempt a(peer.port(), nullptr, nullptr, "10.0.0.1", 80, 5000, true);
        EXPECT_EQ(ok, a.Outcome());
    }
}

// ---------------------------------------------------------------------------------------
// Scripted peers: BIND

// ---------------------------------------------------------------------------------------
// Scripted peers: UDP ASSOCIATE

TEST(Socks5Scripted, UdpAssociateRelayZeroMeansTheProxy) {
    UdpPort relay;
    std::string req;
    ScriptedPeer peer(1, [&](int fd, int) {
        ServeNoAuth(fd, Bytes({5, 0, 0, 1, 0, 0, 0, 0}) + Port16(relay.port), &req);
        vntest::WaitPeerClose(fd);
    });
    IOThread io("Socks5UdpScripted");
    UdpSink sink;
    CVNIUDPSocket* u = UdpVia(io, peer.port(), &sink);
    ASSERT_NE(nullptr, u);
    ASSERT_TRUE(sink.w.Read([&] { return sink.createOk; }));
    unsigned short local = sink.w.Read([&] { return sink.port; });
    EXPECT_EQ(Bytes({5, 3, 0, 1, 0, 0, 0, 0}) + Port16(local), req);

    // 10 payload bytes to 192.168.0.2:53: a 20-byte datagram at the relay.
    const std::string payload = "0123456789";
    int sent = -1;
    io.Run([&] { sent = u->SendTo("192.168.0.2", 53, payload.data(), 10); });
    EXPECT_EQ(10, sent);
    unsigned short from = 0;
    EXPECT_EQ(Bytes({0, 0, 0, 1, 192, 168, 0, 2, 0, 53}) + payload, relay.Recv(&from));
    EXPECT_EQ(local, from);

    // A name goes in the name form.
    io.Run([&] { sent = u->SendTo("dns.example", 53, "q", 1); });
    EXPECT_EQ(1, sent);
    EXPECT_EQ(Bytes({0, 0, 0, 3, 11}) + "dns.example" + Port16(53) + "q", relay.Recv());

    // Refused whole: too big for the send buffer, an over-long name, bad arguments.
    std::string big(10240 - 10 + 1, 'b');
    std::string name256(256, 'n');
    io.Run([&] {
        EXPECT_EQ(0, u->SendTo("10.0.0.1", 1, big.data(), static_cast<unsigned>(big.size())));
        EXPECT_EQ(static_cast<int>(big.size()) - 1,
                  u->SendTo("10.0.0.1", 1, big.data(), static_cast<unsigned>(big.size()) - 1));
        EXPECT_EQ(0, u->SendTo(name256.c_str(), 1, "x", 1));
        EXPECT_EQ(0, u->SendTo(nullptr, 1, "x", 1));
        EXPECT_EQ(0, u->SendTo("10.0.0.1", 0, "x", 1));
        EXPECT_EQ(0, u->SendTo("10.0.0.1", 1, nullptr, 1));
        EXPECT_EQ(0, u->SendTo("10.0.0.1", 1, "x", 0));
    });
    EXPECT_EQ(big.size() - 1 + 10, relay.Recv().size());

    // Relay -> us: header only, fragmented and name-addressed datagrams are dropped; the
    // good one is reported with the sender from its header.
    relay.SendToPort(local, Bytes({0, 0, 0, 1, 10, 0, 0, 9, 0, 7}));
    relay.SendToPort(local, Bytes({0, 0, 1, 1, 10, 0, 0, 9, 0, 7}) + "frag");
    relay.SendToPort(local, Bytes({0, 0, 0, 3, 1, 'h', 0, 7}) + "name");
    relay.SendToPort(local, Bytes({0, 0, 0, 1, 10, 0, 0, 9, 0, 7}) + "good");
    ASSERT_TRUE(sink.w.WaitFor([&] { return !sink.datagrams.empty(); }));
    io.Run([] {});
    ASSERT_EQ(1u, sink.w.Read([&] { return sink.datagrams.size(); }));
    UdpSink::Datagram d = sink.w.Read([&] { return sink.datagrams[0]; });
    EXPECT_EQ("good", d.data);
    EXPECT_EQ(inet_addr("10.0.0.9"), d.ip);
    EXPECT_EQ(7, d.port);
    io.Run([&] { delete u; });
}

TEST(Socks5Scripted, NoUserGreetingAndMethodFF) {
    for (const char* user : {static_cast<const char*>(nullptr), ""}) {
        std::string greet;
        ScriptedPeer peer(1, [&](int fd, int) {
            greet = ReadExact(fd, 3);
            SendAll(fd, Bytes({5, 0xFF}));
            vntest::WaitPeerClose(fd);
        });
        {
            Attempt a(peer.port(), user, "p", "10.0.0.1", 80);
            EXPECT_FALSE(a.Outcome());
        }
        EXPECT_EQ(Bytes({5, 1, 0}), greet);
    }
}

TEST(Socks5Scripted, RefusedRepliesFail) {
    const std::string name = "bound.example";
    std::vector<std::string> replies = {
        Bytes({5, 1, 0, 1, 0, 0, 0, 0, 0, 0}),                                  // code 01
        Bytes({5, 0, 0, 3, static_cast<int>(name.size())}) + name + Port16(1),  // name bound
        Bytes({5, 0, 0, 4}) + std::string(16, '\0') + Port16(1),                // IPv6 bound
        Bytes({4, 0, 0, 1, 0, 0, 0, 0, 0, 0}),                                  // version 4
        Bytes({5, 0, 0, 9, 0}),                                                 // unknown type
    };
    for (const std::string& reply : replies) {
        ScriptedPeer peer(1, [&](int fd, int) {
            ServeNoAuth(fd, reply);
            vntest::WaitPeerClose(fd);
        });
        Attempt a(peer.port(), nullptr, nullptr, "10.0.0.1", 80);
        EXPECT_FALSE(a.Outcome()) << reply.size();
    }
}

TEST(Socks5Scripted, CredentialLengths) {
    for (size_t userLen : {1u, 255u}) {
        for (size_t passLen : {0u, 1u, 255u}) {
            std::string user(userLen, 'u'), pass(passLen, 'p');
            std::string greet, auth, req;
            ScriptedPeer peer(1, [&](int fd, int) {
                greet = ReadExact(fd, 3);
                SendAll(fd, Bytes({5, 2}));
                auth = ReadExact(fd, 3 + userLen + passLen);
                SendAll(fd, Bytes({1, 0}));
                req = ReadExact(fd, 10);
                SendAll(fd, kOkReply);
                vntest::WaitPeerClose(fd);
            });
            {
                Attempt a(peer.port(), user.c_str(), pass.c_str(), "10.0.0.1", 80);
                EXPECT_TRUE(a.Outcome()) << userLen << "/" << passLen;
            }
            EXPECT_EQ(Bytes({1, static_cast<int>(userLen)}) + user +
                          Bytes({static_cast<int>(passLen)}) + pass,
                      auth);
            EXPECT_EQ(Bytes({5, 1, 2}), greet);
            EXPECT_EQ(Bytes({5, 1, 0, 1, 10, 0, 0, 1, 0, 0x50}), req);
        }
    }
}

TEST(Socks5Scripted, OverLongFieldsAreRefusedBeforeSending) {
    std::string f256(256, 'x');
    ScriptedPeer peer(1, [&](int, int) {});
    IOThread io("Socks5Limits");
    TunnelSink sink;
    ASSERT_TRUE(io.Run([&] {
        EXPECT_EQ(nullptr, VNCreateProxyCnnTCPSocket(VNPROXY_SOCKS5, "127.0.0.1", peer.port(),
                                                     f256.c_str(), "p"));
        EXPECT_EQ(nullptr, VNCreateProxyUDPSocket(VNPROXY_SOCKS5, "127.0.0.1", peer.port(), "u",
                                                  f256.c_str()));
        CVNITCPCnnSocket* s =
            VNCreateProxyCnnTCPSocket(VNPROXY_SOCKS5, "127.0.0.1", peer.port(), "u", "p");
        ASSERT_NE(nullptr, s);
        s->SetSink(&sink);
        EXPECT_FALSE(s->Connect(f256.c_str(), 80, 5000));
        EXPECT_FALSE(s->Connect(nullptr, 80, 5000));
        EXPECT_FALSE(s->Connect("h", 0, 5000));
        EXPECT_FALSE(s->Connect("h", 80, 0));
        EXPECT_EQ(0, PumpSize());
        delete s;
    }));
    EXPECT_EQ(0, peer.accepted());
    EXPECT_EQ(0, sink.w.Read([&] { return sink.reports; }));
    // Let the peer's accept wait end now instead of at its bound.
    close(ConnectBlocking(Loopback(), peer.port()));
}

TEST(Socks5Scripted, BindFailures) {
    // 0: first reply refused; 1: second reply refused; 2: silence after the first reply
    // (the wait for the peer times out); 3: close after the first reply.
    for (int variant = 0; variant < 4; ++variant) {
        ScriptedPeer peer(1, [&](int fd, int) {
            ServeNoAuth(fd, variant == 0 ? Bytes({5, 1, 0, 1, 0, 0, 0, 0, 0, 0}) : kOkReply);
            if (variant == 1) SendAll(fd, Bytes({5, 2, 0, 1, 0, 0, 0, 0, 0, 0}));
            if (variant == 3) return;
            vntest::WaitPeerClose(fd);
        });
        IOThread io("Socks5BindFail");
        BindSink sink;
        CVNITCPListenSocket* l = BindVia(io, peer.port(), &sink, 1000);
        ASSERT_NE(nullptr, l);
        ASSERT_TRUE(sink.w.WaitFor([&] { return sink.closes >= 1; })) << variant;
        io.Run([] {});
        io.Run([] {});
        EXPECT_EQ(variant == 0 ? 0 : 1, sink.w.Read([&] { return sink.listens; })) << variant;
        EXPECT_EQ(0, sink.w.Read([&] { return sink.accepts; })) << variant;
        EXPECT_EQ(1, sink.w.Read([&] { return sink.closes; })) << variant;
        io.Run([&] {
            EXPECT_EQ(-1, l->Accept());
            delete l;
        });
    }
}

TEST(Socks5Scripted, UdpRecvFromStripsTheHeader) {
    UdpPort relay;
    ScriptedPeer peer(1, [&](int fd, int) {
        ServeNoAuth(fd, Bytes({5, 0, 0, 1, 127, 0, 0, 1}) + Port16(relay.port));
        vntest::WaitPeerClose(fd);
    });
    IOThread io("Socks5UdpRecvFrom");
    // Hears OnCreate, then steps aside so that the test reads with RecvFrom itself.
    struct CreateOnly : public UdpSink {
        void OnCreate(bool ok, unsigned int i, unsigned short p, CVNIUDPSocket* s) override {
            s->SetSink(nullptr);
            UdpSink::OnCreate(ok, i, p, s);
        }
    } sink;
    CVNIUDPSocket* u = UdpVia(io, peer.port(), &sink);
    ASSERT_NE(nullptr, u);
    ASSERT_TRUE(sink.w.Read([&] { return sink.createOk; }));
    unsigned short local = sink.w.Read([&] { return sink.port; });
    ASSERT_NE(0, local);
    relay.SendToPort(local, Bytes({0, 0, 0, 1, 10, 0, 0, 9, 0, 7}) + "payload");
    struct pollfd p = {-1, POLLIN, 0};
    io.Run([&] { p.fd = u->GetSocket(); });
    ASSERT_EQ(1, poll(&p, 1, kWaitMs));
    io.Run([&] {
        char buf[64];
        unsigned int ip = 0;
        unsigned short port = 0;
        EXPECT_EQ(7, u->RecvFrom(buf, sizeof(buf), &ip, &port));
        EXPECT_EQ("payload", std::string(buf, 7));
        EXPECT_EQ(inet_addr("10.0.0.9"), ip);
        EXPECT_EQ(7, port);
        delete u;
    });
}

TEST(Socks5Scripted, UdpAssociateRefused) {
    ScriptedPeer peer(1, [&](int fd, int) {
        ServeNoAuth(fd, Bytes({5, 7, 0, 1, 0, 0, 0, 0, 0, 0}));
        vntest::WaitPeerClose(fd);
    });
    IOThread io("Socks5UdpRefused");
    UdpSink sink;
    CVNIUDPSocket* u = UdpVia(io, peer.port(), &sink);
    ASSERT_NE(nullptr, u);
    io.Run([] {});
    EXPECT_EQ(1, sink.w.Read([&] { return sink.creates; }));
    EXPECT_FALSE(sink.w.Read([&] { return sink.createOk; }));
    io.Run([&] {
        EXPECT_EQ(0, u->SendTo("10.0.0.1", 1, "x", 1));  // no relay
        delete u;
    });
}

TEST(Socks5Scripted, BindDeleteInsideReports) {
    // 0: deleted inside OnAccept; 1: inside OnClose after a refused second reply; 2: inside
    // OnClose when the proxy refuses at once.
    for (int variant = 0; variant < 3; ++variant) {
        ScriptedPeer peer(1, [&](int fd, int) {
            if (variant == 2) {
                ServeNoAuth(fd, Bytes({5, 1, 0, 1, 0, 0, 0, 0, 0, 0}));
            } else {
                ServeNoAuth(fd,
                            kOkReply + Bytes({5, variant == 0 ? 0 : 4, 0, 1, 127, 0, 0, 1, 0, 9}));
            }
            vntest::WaitPeerClose(fd);
        });
        IOThread io("Socks5BindDelete");
        BindSink sink;
        sink.deleteInside = true;
        ASSERT_NE(nullptr, BindVia(io, peer.port(), &sink));
        ASSERT_TRUE(sink.w.WaitFor([&] { return sink.accepts + sink.closes >= 1; })) << variant;
        io.Run([] {});
        io.Run([] {});
        EXPECT_EQ(variant == 0 ? 1 : 0, sink.w.Read([&] { return sink.accepts; })) << variant;
        EXPECT_EQ(variant == 0 ? 0 : 1, sink.w.Read([&] { return sink.closes; })) << variant;
        int fd = sink.w.Read([&] { return sink.fd; });
        if (fd >= 0) close(fd);
    }
}

TEST(Socks5Scripted, UdpDeleteInsideOnCreate) {
    for (bool ok : {true, false}) {
        ScriptedPeer peer(1, [&](int fd, int) {
            ServeNoAuth(fd, ok ? kOkReply : Bytes({5, 1, 0, 1, 0, 0, 0, 0, 0, 0}));
            vntest::WaitPeerClose(fd);
        });
        IOThread io("Socks5UdpDelete");
        struct DeletingSink : public UdpSink {
            void OnCreate(bool b, unsigned int i, unsigned short p, CVNIUDPSocket* s) override {
                delete s;
                UdpSink::OnCreate(b, i, p, nullptr);
            }
        } sink;
        UdpVia(io, peer.port(), &sink);
        io.Run([] {});
        EXPECT_EQ(1, sink.w.Read([&] { return sink.creates; }));
        EXPECT_EQ(ok, sink.w.Read([&] { return sink.createOk; }));
    }
}

TEST(Socks5Scripted, BindBothRepliesSplit) {
    std::string req;
    ScriptedPeer peer(1, [&](int fd, int) {
        ServeNoAuth(fd, "", &req);
        // First reply in two pieces, then the second one with tunnel bytes behind it (the
        // pauses pace the peer so the pieces arrive apart).
        SendAll(fd, Bytes({5, 0, 0}));
        usleep(2000);
        SendAll(fd, Bytes({1, 127, 0, 0, 1, 0x30, 0x39}));
        usleep(2000);
        SendAll(fd, Bytes({5, 0, 0, 1, 127, 0, 0, 2}));
        usleep(2000);
        SendAll(fd, Bytes({0x04, 0xD2}) + "PEER");
        vntest::WaitPeerClose(fd);
    });
    IOThread io("Socks5BindScripted");
    BindSink sink;
    CVNITCPListenSocket* l = nullptr;
    ASSERT_TRUE(io.Run([&] {
        l = VNCreateProxyTCPListenSocket(VNPROXY_SOCKS5, "127.0.0.1", peer.port(), nullptr,
                                         nullptr);
        l->SetSink(&sink);
        EXPECT_TRUE(l->Listen(0, 0, 5000, 1));
        EXPECT_FALSE(l->Attach(3, 5000));
        EXPECT_EQ(-1, l->Accept());
    }));
    ASSERT_TRUE(sink.w.WaitFor([&] { return sink.accepts + sink.closes >= 1; }));
    EXPECT_EQ(1, sink.w.Read([&] { return sink.listens; }));
    EXPECT_EQ(1, sink.w.Read([&] { return sink.accepts; }));
    EXPECT_EQ(0, sink.w.Read([&] { return sink.closes; }));
    EXPECT_EQ(Loopback(), sink.w.Read([&] { return sink.ip; }));
    EXPECT_EQ(12345, sink.w.Read([&] { return sink.port; }));
    EXPECT_EQ(Bytes({5, 2, 0, 1, 0, 0, 0, 0, 0, 0}), req);
    int fd = sink.w.Read([&] { return sink.fd; });
    ASSERT_GE(fd, 0);
    EXPECT_EQ("PEER", ReadExact(fd, 4));
    close(fd);
    io.Run([&] {
        unsigned int ip = 0;
        unsigned short port = 0;
        EXPECT_TRUE(l->GetLocalAddr(&ip, &port));  // still the first reply's address
        EXPECT_EQ(12345, port);
        delete l;
    });
}
