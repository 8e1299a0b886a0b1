// The SOCKS5 client: CONNECT against danted, username/password against microsocks, and a
// scripted proxy for the exact bytes and for what a real proxy will not do on demand (split
// replies, refusals, closes and silence in every state).
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "net/socket_test_util.h"
#include "support/proxy_peers.h"

using namespace socktest;
using namespace vntest;

namespace {

std::string Bytes(std::initializer_list<int> b) {
    return std::string(b.begin(), b.end());
}
size_t U8(char c) {
    return static_cast<unsigned char>(c);
}
const std::string kNoAuth = Bytes({5, 0}), kUserPass = Bytes({5, 2});
const std::string kOk = Bytes({5, 0, 0, 1, 127, 0, 0, 1, 0x12, 0x34});
const std::string kRefused = Bytes({5, 1, 0, 1, 0, 0, 0, 0, 0, 0});

// A scripted SOCKS5 proxy. It answers the greeting with method, the credentials (when method
// picks username/password) with auth and the request with reply, but sends only the first
// budget bytes of all that: then it hangs up or, when silent, waits for the client to. drip
// sends byte by byte. heard collects what the client sent (before the answer to it leaves).
struct Script {
    std::string method = kNoAuth, reply = kOk, auth = Bytes({1, 0});
    size_t budget = 1 << 20;
    bool silent = false, drip = false;
    std::string heard{};

    bool Say(int fd, const std::string& s) {
        size_t n = std::min(s.size(), budget), step = drip ? 1 : n;
        for (size_t i = 0; i < n; i += step) {
            SendAll(fd, s.substr(i, step));
            if (drip) usleep(2000);  // separate segments (pacing the peer, not synchronising)
        }
        budget -= n;
        return budget > 0;
    }
    void Serve(int fd) {
        heard = ReadExact(fd, 3);
        bool more = Say(fd, method);
        if (more && method == kUserPass) {
            std::string a = ReadExact(fd, 2);
            a += ReadExact(fd, a.size() == 2 ? U8(a[1]) + 1 : 0);
            heard += a + ReadExact(fd, a.size() > 2 ? U8(a.back()) : 0);
            more = Say(fd, auth);
        }
        if (more) {
            std::string r = ReadExact(fd, 5);
            heard += r + ReadExact(fd, r.size() < 5 ? 0 : r[3] == 3 ? U8(r[4]) + 2 : 5);
            more = Say(fd, reply);
        }
        if (more || silent) WaitPeerClose(fd);
    }
};

// A UDP socket on 127.0.0.1 for the test to play a relay or a datagram peer.
struct UdpPort {
    unsigned short port = 0;
    int fd = BindLoopback(SOCK_DGRAM, &port);
    ~UdpPort() { close(fd); }
    std::string Recv(unsigned short* from = nullptr) {
        pollfd p = {fd, POLLIN, 0};
        char buf[65536];
        sockaddr_in sa{};
        socklen_t len = sizeof(sa);
        ssize_t n = poll(&p, 1, kWaitMs) != 1
                        ? 0
                        : recvfrom(fd, buf, sizeof(buf), 0, reinterpret_cast<sockaddr*>(&sa), &len);
        if (from != nullptr) *from = ntohs(sa.sin_port);
        return std::string(buf, n > 0 ? static_cast<size_t>(n) : 0);
    }
    void Send(unsigned short to, const std::string& d) {
        sockaddr_in sa{AF_INET, htons(to), {Loopback()}, {}};
        sendto(fd, d.data(), d.size(), 0, reinterpret_cast<sockaddr*>(&sa), sizeof(sa));
    }
};

// A UDP ASSOCIATE through the proxy on io, waiting (bounded) for OnCreate; the socket.
CVNIUDPSocket* Associate(IOThread& io, unsigned short proxy, UdpSink* sink) {
    CVNIUDPSocket* u = nullptr;
    io.Run([&] {
        u = VNCreateProxyUDPSocket(VNPROXY_SOCKS5, "127.0.0.1", proxy, nullptr, nullptr);
        u->SetSink(sink);
        EXPECT_TRUE(u->Create(5000, Loopback(), 0));
    });
    EXPECT_TRUE(sink->w.WaitFor([&] { return sink->creates >= 1; }));
    return u;
}

// A BIND through the proxy on io. *fd gets the peer's stream inside OnAccept; with del the
// socket is deleted inside its OnAccept or OnClose. The socket.
CVNITCPListenSocket* Bind(IOThread& io, unsigned short proxy, Sink* sink, int* fd, bool del = false,
                          unsigned timeoutMs = 5000) {
    CVNITCPListenSocket* l = nullptr;
    io.Run([&] {
        l = VNCreateProxyTCPListenSocket(VNPROXY_SOCKS5, "127.0.0.1", proxy, nullptr, nullptr);
        sink->then = [l, fd, del](char c) {
            if (c == 'a') {
                *fd = l->Accept();
                EXPECT_EQ(-1, l->Accept());  // one peer per BIND
            }
            if (del && c != 'l') delete l;
        };
        l->SetSink(sink);
        EXPECT_FALSE(l->Attach(3, 5000));
        EXPECT_EQ(-1, l->Accept());
        EXPECT_TRUE(l->Listen(0, 0, timeoutMs, 1));
    });
    return l;
}

}  // namespace

TEST(Socks5Real, DantedConnectsBindsAndRelaysAndMicrosocksChecksCredentials) {
    std::string why;
    std::unique_ptr<ProxyPeer> danted = StartSocks5(false, &why);
    ASSERT_TRUE(danted) << why;
    std::unique_ptr<ProxyPeer> micro = StartSocks5(true, &why);
    ASSERT_TRUE(micro) << why;
    ScriptedPeer echo(2, EchoUntilClose);
    struct Case {
        unsigned short proxy;
        const char *user, *pass;
        bool ok;
    };
    for (Case c : {Case{danted->port, nullptr, nullptr, true},
                   {micro->port, kSocksUser, kSocksPassword, true},
                   {micro->port, kSocksUser, "not-the-password", false},
                   {micro->port, nullptr, nullptr, false}}) {
        ProxyAttempt a(VNPROXY_SOCKS5, c.proxy, c.user, c.pass, "127.0.0.1", echo.port());
        EXPECT_EQ(c.ok, a.Outcome()) << c.proxy << (c.pass ? c.pass : "none");
        EXPECT_EQ(c.ok ? "tunnel" : "", c.ok ? EchoRoundTrip(a.Fd(), "tunnel") : "");
    }
    // BIND: a peer connects to the address danted announced and talks with the binder.
    IOThread io("Socks5Real");
    Sink bind;
    int fd = -1;
    CVNITCPListenSocket* l = Bind(io, danted->port, &bind, &fd);
    ASSERT_TRUE(bind.WaitCount('l', 1));
    EXPECT_EQ(Loopback(), bind.w.Read([&] { return bind.ip; }));
    int peer = ConnectBlocking(Loopback(), bind.w.Read([&] { return bind.port; }));
    ASSERT_TRUE(bind.WaitCount('a', 1));
    io.Run([&] {});  // OnAccept has returned
    ASSERT_TRUE(SendAll(peer, "hi") && SendAll(fd, "back"));
    EXPECT_EQ("hi back", ReadExact(fd, 2) + " " + ReadExact(peer, 4));
    close(peer);
    close(fd);
    io.Run([&] { delete l; });
    EXPECT_EQ("la", bind.Seen());
    // UDP ASSOCIATE: the test plays the datagram peer.
    UdpPort target;
    UdpSink udp;
    CVNIUDPSocket* u = Associate(io, danted->port, &udp);
    ASSERT_TRUE(udp.w.Read([&] { return udp.createOk; }));
    io.Run([&] { EXPECT_EQ(4, u->SendTo("127.0.0.1", target.port, "ping", 4)); });
    unsigned short relay = 0;
    EXPECT_EQ("ping", target.Recv(&relay));
    target.Send(relay, "pong");
    ASSERT_TRUE(udp.w.WaitFor([&] { return udp.datagrams.size() >= 1; }));
    EXPECT_EQ((UdpSink::Datagram{"pong", Loopback(), target.port}), udp.At(0));
    io.Run([&] { delete u; });
}

// One CONNECT per row: the exact bytes of every message, and every way the exchange can go
// wrong ending in exactly one failure report.
TEST(Socks5Scripted, ConnectBytesAndEveryFailureReportedOnce) {
    const std::string u255(255, 'u'), p255(255, 'p'), name = "host.example";
    const std::string req = Bytes({5, 1, 0, 1, 10, 0, 0, 1, 0, 80});
    const std::string nameReq = Bytes({5, 1, 0, 3, 12}) + name + Bytes({0, 80});
    struct Case {
        bool ok;
        const char *user, *pass;
        Script script;
        std::string heard{};  // empty: not checked
        const char* host = "10.0.0.1";
    };
    std::vector<Case> cases = {
        {true, nullptr, nullptr, {kNoAuth, kOk + "TUNNEL"}, Bytes({5, 1, 0}) + req},
        {true, nullptr, nullptr, {}, Bytes({5, 1, 0}) + nameReq, name.c_str()},
        {true, u255.c_str(), "", {kUserPass}, Bytes({5, 1, 2, 1, 255}) + u255 + '\0' + req},
        {true, "u", p255.c_str(), {kUserPass}, Bytes({5, 1, 2, 1, 1, 'u', 255}) + p255 + req},
        {true, "u", "p", {kUserPass, kOk, Bytes({1, 0}), 1 << 20, false, true}},  // all split
        {false, nullptr, nullptr, {Bytes({5, 0xFF})}, Bytes({5, 1, 0})},
        {false, "", "p", {Bytes({5, 0xFF})}, Bytes({5, 1, 0})},  // no user, no credentials
        {false, nullptr, nullptr, {kUserPass}},                  // a method not offered
        {false, "u", "p", {kUserPass, kOk, Bytes({1, 1})}},      // credentials refused
        {false, nullptr, nullptr, {kNoAuth, kRefused}},
        {false, nullptr, nullptr, {kNoAuth, Bytes({5, 0, 0, 3, 1, 'n', 0, 1})}},  // bound: a name
        {false, nullptr, nullptr, {kNoAuth, Bytes({5, 0, 0, 4}) + std::string(18, 1)}},  // IPv6
        {false, nullptr, nullptr, {kNoAuth, Bytes({4, 0, 0, 1, 0, 0, 0, 0, 0, 0})}},
        {false, nullptr, nullptr, {kNoAuth, Bytes({5, 0, 0, 9, 0})}},  // unknown address type
    };
    // The proxy stops after the greeting, half way through the method reply, after the
    // credentials, after the request or half way through the reply: it hangs up or falls
    // silent until the attempt's time-out.
    for (bool silent : {false, true}) {
        for (size_t budget : {0, 1, 2, 4, 9})
            cases.push_back({false, "u", "p", {kUserPass, kOk, Bytes({1, 0}), budget, silent}});
    }
    for (size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE(i);
        Case& c = cases[i];
        long long t0 = iotest::NowUs();
        bool ok;
        {
            ScriptedPeer peer(1, [&](int fd, int) { c.script.Serve(fd); });
            // Every other attempt deletes its socket inside the report. Only a silent proxy
            // waits for the time-out, which the pump keeps in whole seconds.
            ProxyAttempt a(VNPROXY_SOCKS5, peer.port(), c.user, c.pass, c.host, 80,
                           c.script.silent ? 1000 : 5000, i % 2);
            ok = a.Outcome();
            // Whatever followed the reply stays in the socket for the tunnel.
            std::string rest = ok ? c.script.reply.substr(10) : "";
            EXPECT_EQ(rest, ok ? ReadExact(a.Fd(), rest.size()) : "");
        }
        EXPECT_EQ(c.ok, ok);
        EXPECT_LT(iotest::NowUs() - t0, 5000000);
        EXPECT_EQ(c.heard.empty() ? c.script.heard : c.heard, c.script.heard);
    }
    RefusingPort refusing;
    ProxyAttempt a(VNPROXY_SOCKS5, refusing.port, nullptr, nullptr, "10.0.0.1", 80);
    EXPECT_FALSE(a.Outcome());
}

// Each BIND reports OnListen (or OnClose), then OnAccept or OnClose, once each, also when
// the socket is deleted inside a report.
TEST(Socks5Scripted, BindReportsOnceInEveryOutcome) {
    const std::string second = Bytes({5, 0, 0, 1, 127, 0, 0, 2, 4, 0xD2});
    struct Case {
        Script script;
        bool del;
        std::string seen;  // l listening, a accept, x close
    };
    std::vector<Case> cases = {
        // Both replies split, the peer's first bytes right behind the second.
        {{kNoAuth, kOk + second + "PEER", {}, 1 << 20, false, true}, false, "la"},
        {{kNoAuth, kOk + second}, true, "la"},
        {{kNoAuth, kRefused}, false, "x"},
        {{kNoAuth, kRefused}, true, "x"},
        {{kNoAuth, kOk + kRefused}, false, "lx"},
        {{kNoAuth, kOk + kRefused}, true, "lx"},
        {{kNoAuth, kOk, {}, 12, true}, false, "lx"},  // no peer until the time-out
        {{kNoAuth, kOk, {}, 12}, false, "lx"},        // the proxy hangs up
    };
    for (size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE(i);
        Case& c = cases[i];
        IOThread io("Socks5Bind");
        Sink sink;
        int fd = -1;
        ScriptedPeer peer(1, [&](int s, int) { c.script.Serve(s); });
        CVNITCPListenSocket* l =
            Bind(io, peer.port(), &sink, &fd, c.del, c.script.silent ? 1000 : 5000);
        ASSERT_TRUE(
            sink.w.WaitFor([&] { return sink.seen.find_first_of("ax") != std::string::npos; }));
        io.Run([] {});
        io.Run([] {});
        EXPECT_EQ(c.seen, sink.Seen());
        EXPECT_EQ(c.seen[0] == 'l' ? 0x1234 : 0, sink.w.Read([&] { return sink.port; }));
        EXPECT_EQ(Bytes({5, 1, 0, 5, 2, 0, 1, 0, 0, 0, 0, 0, 0}), c.script.heard);
        if (fd >= 0) {
            EXPECT_EQ(c.script.reply.substr(20), ReadExact(fd, c.script.reply.size() - 20));
            close(fd);
        }
        unsigned int ip = 0;
        unsigned short port = 0;
        io.Run([&] {
            if (!c.del) l->GetLocalAddr(&ip, &port);  // still the first reply's
            if (!c.del) delete l;
        });
        EXPECT_EQ(c.seen[0] == 'l' && !c.del ? 0x1234 : 0, port);
    }
}

TEST(Socks5Scripted, UdpAssociateWrapsAndUnwrapsDatagrams) {
    UdpPort relay;
    // Relay 0.0.0.0: the proxy's own address.
    Script script{kNoAuth, Bytes({5, 0, 0, 1, 0, 0, 0, 0, relay.port >> 8, relay.port & 0xFF})};
    ScriptedPeer peer(1, [&](int fd, int) { script.Serve(fd); });
    IOThread io("Socks5Udp");
    UdpSink sink;
    CVNIUDPSocket* u = Associate(io, peer.port(), &sink);
    ASSERT_TRUE(sink.w.Read([&] { return sink.createOk; }));
    unsigned short local = sink.w.Read([&] { return sink.port; });
    EXPECT_EQ(Bytes({5, 1, 0, 5, 3, 0, 1, 0, 0, 0, 0, local >> 8, local & 0xFF}), script.heard);

    // To the relay: a header naming the destination (a name in its own form), the payload.
    io.Run([&] { EXPECT_EQ(10, u->SendTo("192.168.0.2", 53, "0123456789", 10)); });
    unsigned short from = 0;
    EXPECT_EQ(Bytes({0, 0, 0, 1, 192, 168, 0, 2, 0, 53}) + "0123456789", relay.Recv(&from));
    EXPECT_EQ(local, from);
    io.Run([&] { EXPECT_EQ(1, u->SendTo("dns.example", 53, "q", 1)); });
    EXPECT_EQ(Bytes({0, 0, 0, 3, 11}) + "dns.example" + Bytes({0, 53, 'q'}), relay.Recv());
    // Refused whole: too big for the send buffer with its header, an over-long name, bad
    // arguments.
    std::string big(10240 - 10 + 1, 'b'), name256(256, 'n');
    io.Run([&] {
        EXPECT_EQ(0, u->SendTo("10.0.0.1", 1, big.data(), big.size()));
        EXPECT_EQ(static_cast<int>(big.size() - 1),
                  u->SendTo("10.0.0.1", 1, big.data(), big.size() - 1));
        EXPECT_EQ(0, u->SendTo(name256.c_str(), 1, "x", 1));
        EXPECT_EQ(0, u->SendTo(nullptr, 1, "x", 1));
        EXPECT_EQ(0, u->SendTo("10.0.0.1", 0, "x", 1));
        EXPECT_EQ(0, u->SendTo("10.0.0.1", 1, nullptr, 1));
        EXPECT_EQ(0, u->SendTo("10.0.0.1", 1, "x", 0));
    });
    EXPECT_EQ(big.size() - 1 + 10, relay.Recv().size());

    // From the relay: header only, fragmented and name-addressed datagrams are dropped; the
    // good one is reported with the sender from its header.
    const std::string head = Bytes({0, 0, 0, 1, 10, 0, 0, 9, 0, 7});
    for (std::string d : {head, Bytes({0, 0, 1, 1, 10, 0, 0, 9, 0, 7, 'f'}),
                          Bytes({0, 0, 0, 3, 1, 'h', 0, 7}) + "name", head + "good"})
        relay.Send(local, d);
    ASSERT_TRUE(sink.w.WaitFor([&] { return !sink.datagrams.empty(); }));
    io.Run([] {});
    ASSERT_EQ(1u, sink.Count());
    EXPECT_EQ((UdpSink::Datagram{"good", inet_addr("10.0.0.9"), 7}), sink.At(0));
    // Without a sink the caller reads: RecvFrom strips the header too.
    io.Run([&] { u->SetSink(nullptr); });
    relay.Send(local, head + "payload");
    pollfd p = {-1, POLLIN, 0};
    io.Run([&] { p.fd = u->GetSocket(); });
    ASSERT_EQ(1, poll(&p, 1, kWaitMs));
    io.Run([&] {
        char buf[64];
        unsigned int ip = 0;
        unsigned short port = 0;
        int n = u->RecvFrom(buf, sizeof(buf), &ip, &port);
        EXPECT_EQ((UdpSink::Datagram{"payload", inet_addr("10.0.0.9"), 7}),
                  (UdpSink::Datagram{std::string(buf, std::max(n, 0)), ip, port}));
        delete u;
    });
}

// A refused association reports once and leaves no relay; deleting the socket inside the
// report is safe either way.
TEST(Socks5Scripted, UdpAssociateRefusedOrDeletedInsideOnCreate) {
    struct DeletingSink : UdpSink {
        bool del = false;
        void OnCreate(bool ok, unsigned int ip, unsigned short port, CVNIUDPSocket* s) override {
            if (del) delete s;
            UdpSink::OnCreate(ok, ip, port, s);
        }
    };
    for (int variant = 0; variant < 3; ++variant) {  // refused; refused, deleted; deleted
        Script script{kNoAuth, variant == 2 ? kOk : kRefused};
        ScriptedPeer peer(1, [&](int fd, int) { script.Serve(fd); });
        IOThread io("Socks5UdpCreate");
        DeletingSink sink;
        sink.del = variant > 0;
        CVNIUDPSocket* u = Associate(io, peer.port(), &sink);
        io.Run([] {});
        EXPECT_EQ(1, sink.w.Read([&] { return sink.creates; }));
        EXPECT_EQ(variant == 2, sink.w.Read([&] { return sink.createOk; }));
        if (variant == 0) {
            io.Run([&] {
                EXPECT_EQ(0, u->SendTo("10.0.0.1", 1, "x", 1));
                delete u;
            });
        }
    }
}
