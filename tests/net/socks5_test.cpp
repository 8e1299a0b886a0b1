// The SOCKS5 client: CONNECT against danted, username/password and an IPv6 destination
// against microsocks, and a scripted proxy for the exact bytes and for what a real proxy will
// not do on demand (split replies, every address type, refusals, closes and silence in every
// state).
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
// Successful replies naming the bound address by each address type, port 0x1234.
const std::string kOkName = Bytes({5, 0, 0, 3, 13}) + "proxy.example" + Bytes({0x12, 0x34});
const std::string kOkIPv6 =
    Bytes({5, 0, 0, 4, 0x20, 1, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 7, 0x12, 0x34});

// The length of the reply (or request: the same layout) that starts at r[at], from its
// address type; the head alone when it is malformed.
size_t ReplyLen(const std::string& r, size_t at = 0) {
    if (r.size() < at + 5) return r.size() - std::min(at, r.size());
    char type = r[at + 3];
    return type == 1 ? 10 : type == 4 ? 22 : type == 3 && r[at + 4] != 0 ? 7 + U8(r[at + 4]) : 5;
}

// A scripted SOCKS5 proxy. It answers the greeting with method, the credentials (when method
// picks username/password) with auth and the request with reply, but sends only the first
// budget bytes of all that: then it hangs up or, when silent, waits for the client to. drip
// sends byte by byte; cut sends the reply in two pieces, its first cut bytes and the rest.
// heard collects what the client sent (before the answer to it leaves).
struct Script {
    std::string method = kNoAuth, reply = kOk, auth = Bytes({1, 0});
    size_t budget = 1 << 20;
    bool silent = false, drip = false;
    std::string heard{};
    size_t cut = 0;

    bool Say(int fd, const std::string& s, size_t piece = 0) {
        size_t n = std::min(s.size(), budget);
        for (size_t i = 0; i < n;) {
            size_t step = drip ? 1 : i == 0 && piece > 0 ? std::min(piece, n) : n - i;
            SendAll(fd, s.substr(i, step));
            i += step;
            // Separate segments (pacing the peer, not synchronising: any grouping of the
            // bytes must give the same outcome).
            if (i < n) usleep(2000);
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
            heard += r + ReadExact(fd, r.size() < 5 ? 0 : ReplyLen(r) - 5);
            more = Say(fd, reply, cut);
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

// An IPv6 literal destination goes as its address bytes, which microsocks connects to over
// IPv6 (the proxy itself listens on 127.0.0.1).
TEST(Socks5Real, MicrosocksReachesAnIPv6Destination) {
    std::string why;
    std::unique_ptr<ProxyPeer> micro = StartSocks5(true, &why);
    ASSERT_TRUE(micro) << why;
    ScriptedPeer echo(1, EchoUntilClose, true);
    ASSERT_NE(0, echo.port()) << "no IPv6 loopback";
    ProxyAttempt a(VNPROXY_SOCKS5, micro->port, kSocksUser, kSocksPassword, "::1", echo.port());
    ASSERT_TRUE(a.Outcome());
    EXPECT_EQ("over IPv6", EchoRoundTrip(a.Fd(), "over IPv6"));
    EXPECT_EQ(1, echo.accepted());
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
        {false, nullptr, nullptr, {kNoAuth, Bytes({5, 1, 0, 4}) + std::string(18, 1)}},
        {false, nullptr, nullptr, {kNoAuth, Bytes({5, 1, 0, 3, 1, 'n', 0, 1})}},
        {false, nullptr, nullptr, {kNoAuth, Bytes({4, 0, 0, 1, 0, 0, 0, 0, 0, 0})}},
        // Malformed: unknown address types, an empty name (refused at once, whatever
        // follows), and each kind of reply one byte short before the proxy hangs up.
        {false, nullptr, nullptr, {kNoAuth, Bytes({5, 0, 0, 9, 0})}},
        {false, nullptr, nullptr, {kNoAuth, Bytes({5, 0, 0, 0}) + std::string(18, 0)}},
        {false, nullptr, nullptr, {kNoAuth, Bytes({5, 0, 0, 3, 0, 0, 80})}},
        {false, nullptr, nullptr, {kNoAuth, kOk, {}, 2 + 9}},
        {false, nullptr, nullptr, {kNoAuth, kOkName, {}, 2 + 19}},
        {false, nullptr, nullptr, {kNoAuth, kOkIPv6, {}, 2 + 21}},
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
            std::string rest = ok ? c.script.reply.substr(ReplyLen(c.script.reply)) : "";
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

// The destination goes by the kind of its text: IPv4 (01) or IPv6 (04) address bytes, or
// else a name (03). A reply is taken whichever type names the bound address and wherever it
// is split, and what follows it (a server that speaks first) stays in the tunnel.
TEST(Socks5Scripted, AddressTypesOfDestinationsAndReplies) {
    const std::string zeros10(10, '\0');
    struct Dest {
        const char* host;
        std::string address;  // address type and address, as sent
    };
    const Dest dests[] = {
        {"10.0.0.1", Bytes({1, 10, 0, 0, 1})},
        {"host.example", Bytes({3, 12}) + "host.example"},
        {"::1", Bytes({4}) + zeros10 + Bytes({0, 0, 0, 0, 0, 1})},
        {"2001:db8::7", Bytes({4, 0x20, 1, 0x0d, 0xb8}) + zeros10 + Bytes({0, 7})},
        {"::ffff:10.0.0.1", Bytes({4}) + zeros10 + Bytes({0xff, 0xff, 10, 0, 0, 1})},
        {"[::1]", Bytes({3, 5}) + "[::1]"},  // brackets make no address text
        {"255.255.255.255", Bytes({3, 15}) + "255.255.255.255"},
    };
    for (const Dest& d : dests) {
        SCOPED_TRACE(d.host);
        Script script;
        {
            ScriptedPeer peer(1, [&](int fd, int) { script.Serve(fd); });
            ProxyAttempt a(VNPROXY_SOCKS5, peer.port(), nullptr, nullptr, d.host, 80);
            EXPECT_TRUE(a.Outcome());
        }
        EXPECT_EQ(Bytes({5, 1, 0, 5, 1, 0}) + d.address + Bytes({0, 80}), script.heard);
    }
    const std::string first = "SERVER SPEAKS FIRST";
    for (const std::string& reply : {kOk, kOkName, kOkIPv6}) {
        // The second piece starts at every byte of the reply, the last time with the bytes
        // behind it.
        for (size_t cut = 1; cut <= reply.size(); ++cut) {
            SCOPED_TRACE(testing::Message() << "reply type " << int(reply[3]) << ", cut " << cut);
            Script script{kNoAuth, reply + first};
            script.cut = cut;
            bool ok;
            std::string rest;
            {
                ScriptedPeer peer(1, [&](int fd, int) { script.Serve(fd); });
                ProxyAttempt a(VNPROXY_SOCKS5, peer.port(), nullptr, nullptr, "10.0.0.1", 80, 5000,
                               cut % 2);
                ok = a.Outcome();
                rest = ok ? ReadExact(a.Fd(), first.size()) : "";
            }
            EXPECT_TRUE(ok);
            EXPECT_EQ(first, rest);
        }
    }
}

// Each BIND reports OnListen (or OnClose), then OnAccept or OnClose, once each, also when
// the socket is deleted inside a report.
TEST(Socks5Scripted, BindReportsOnceInEveryOutcome) {
    const std::string second = Bytes({5, 0, 0, 1, 127, 0, 0, 2, 4, 0xD2});
    struct Case {
        Script script;
        bool del;
        std::string seen;  // l listening, a accept, x close
        bool ipv4 = true;  // the first reply names an IPv4 address (127.0.0.1)
    };
    std::vector<Case> cases = {
        // Both replies split, the peer's first bytes right behind the second.
        {{kNoAuth, kOk + second + "PEER", {}, 1 << 20, false, true}, false, "la"},
        // Bound addresses no IPv4 getter can express: the port alone is told.
        {{kNoAuth, kOkIPv6 + kOkName + "PEER", {}, 1 << 20, false, true}, false, "la", false},
        {{kNoAuth, kOkName + kOkIPv6}, false, "la", false},
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
        bool listened = c.seen[0] == 'l';
        EXPECT_EQ(c.seen, sink.Seen());
        EXPECT_EQ(listened ? 0x1234 : 0, sink.w.Read([&] { return sink.port; }));
        EXPECT_EQ(listened && c.ipv4 ? Loopback() : 0, sink.w.Read([&] { return sink.ip; }));
        EXPECT_EQ(Bytes({5, 1, 0, 5, 2, 0, 1, 0, 0, 0, 0, 0, 0}), c.script.heard);
        if (fd >= 0) {
            const std::string& r = c.script.reply;
            size_t replies = ReplyLen(r) + ReplyLen(r, ReplyLen(r));
            EXPECT_EQ(r.substr(replies), ReadExact(fd, r.size() - replies));
            close(fd);
        }
        unsigned int ip = 0;
        unsigned short port = 0;
        bool local = false;
        io.Run([&] {
            if (!c.del) local = l->GetLocalAddr(&ip, &port);  // still the first reply's
            if (!c.del) delete l;
        });
        EXPECT_EQ(listened && !c.del ? 0x1234 : 0, port);
        EXPECT_EQ(listened && !c.del && c.ipv4, local);
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
// report is safe either way. The datagram socket is IPv4: a relay named by an IPv6 address
// or a name is refused.
TEST(Socks5Scripted, UdpAssociateRefusedOrDeletedInsideOnCreate) {
    struct DeletingSink : UdpSink {
        bool del = false;
        void OnCreate(bool ok, unsigned int ip, unsigned short port, CVNIUDPSocket* s) override {
            if (del) delete s;
            UdpSink::OnCreate(ok, ip, port, s);
        }
    };
    struct Case {
        std::string reply;
        bool del, ok;
    };
    const Case cases[] = {
        {kRefused, false, false}, {kRefused, true, false}, {kOk, true, true},
        {kOkIPv6, false, false},  {kOkName, false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "reply type " << int(c.reply[3]) << ", del " << c.del);
        Script script{kNoAuth, c.reply};
        ScriptedPeer peer(1, [&](int fd, int) { script.Serve(fd); });
        IOThread io("Socks5UdpCreate");
        DeletingSink sink;
        sink.del = c.del;
        CVNIUDPSocket* u = Associate(io, peer.port(), &sink);
        io.Run([] {});
        EXPECT_EQ(1, sink.w.Read([&] { return sink.creates; }));
        EXPECT_EQ(c.ok, sink.w.Read([&] { return sink.createOk; }));
        if (!c.del) {
            io.Run([&] {
                EXPECT_EQ(0, u->SendTo("10.0.0.1", 1, "x", 1));
                delete u;
            });
        }
    }
}
