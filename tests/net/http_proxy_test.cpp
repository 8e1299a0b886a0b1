// The HTTP CONNECT client against scripted peers: the exact requests, and what a real proxy
// will not do on demand (tinyproxy with credentials is exercised by the HTTP client tests);
// tinyproxy for a tunnel to an IPv6 destination.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "net/socket_test_util.h"
#include "support/proxy_peers.h"

using namespace socktest;
using namespace vntest;

// One CONNECT per row against a proxy that answers the request on its i-th connection with
// replies[i] (byte by byte with drip), then waits for the client to hang up unless !hold.
// The exact requests: plain first, then, after a 407, with Basic credentials (of every
// padding, up to the longest fields) on a fresh connection. Every way the exchange can go
// wrong ends in exactly one failure report within the time-out.
TEST(HttpProxyScripted, RequestsAndEveryOutcomeReportedOnce) {
    const std::string k407 = "HTTP/1.1 407 Proxy Authentication Required\r\n\r\n";
    const std::string k200 = "HTTP/1.1 200 Connection established\r\nVia: x\r\n\r\n";
    const std::string u255(255, 'u'), a255(255, 'a'), h255(255, 'h');
    std::string token255 = "OmFh";  // "uuu" is dXV1, ":aa" OmFh, "aaa" YWFh, "a" YQ==
    for (int i = 0; i < 84; ++i)
        token255 = "dXV1" + token255 + "YWFh";
    token255 = "dXV1" + token255 + "YQ==";
    struct Case {
        const char *user, *pass, *token;
        std::vector<std::string> replies;
        bool ok, hold = true, drip = false;
        std::string host = "dest.example";
        std::string authority{};  // host:port as the requests name it; empty: host + ":443"
    };
    const Case cases[] = {
        {"u", "", "dTo=", {k407, "HTTP/1.0 200 OK\n\nTUNNEL"}, true},
        {"u", "p", "dTpw", {k407, k200}, true},
        {"ab", "c", "YWI6Yw==", {k407, k200}, true},
        {"\xfb\xff", "", "+/86", {k407, k200}, true},
        {u255.c_str(), a255.c_str(), token255.c_str(), {k407, k200}, true, true, false, h255},
        {nullptr, nullptr, nullptr, {k200}, true, true, true},  // byte by byte
        // An IPv6 literal in brackets, in both requests; IPv4 and bracketed text as given.
        {nullptr, nullptr, nullptr, {k200}, true, true, false, "::1", "[::1]:443"},
        {"u", "p", "dTpw", {k407, k200}, true, true, false, "2001:db8::7", "[2001:db8::7]:443"},
        {nullptr, nullptr, nullptr, {k200}, true, true, false, "10.0.0.1"},
        {nullptr, nullptr, nullptr, {k200}, true, true, false, "[::1]"},
        // Refusals: a second 407, no or a bad status, no blank line within 4 KiB.
        {"u", "u", nullptr, {k407, k407}, false},
        {nullptr, nullptr, nullptr, {k407}, false},  // no credentials to offer
        {nullptr, nullptr, nullptr, {"HTTP/1.1\r\n\r\n"}, false},
        {nullptr, nullptr, nullptr, {"HTTP/1.1 abc\r\n\r\n"}, false},
        {nullptr, nullptr, nullptr, {"HTTP/1.1 403 Forbidden\r\n\r\n"}, false},
        {nullptr, nullptr, nullptr, {"HTTP/1.1 2000 OK\r\n\r\n"}, false},
        {nullptr, nullptr, nullptr, {"garbage\n\n"}, false},
        {nullptr, nullptr, nullptr, {"HTTP/1.1 200 OK\r\n" + std::string(5000, 'x')}, false},
        // Closes at once, after the request, inside the reply; silence until the time-out.
        {nullptr, nullptr, nullptr, {}, false, false},
        {nullptr, nullptr, nullptr, {""}, false, false},
        {nullptr, nullptr, nullptr, {"HTTP/1.1 200 Conn"}, false, false},
        {nullptr, nullptr, nullptr, {""}, false},
    };
    for (size_t row = 0; row < sizeof(cases) / sizeof(cases[0]); ++row) {
        SCOPED_TRACE(row);
        const Case& c = cases[row];
        std::vector<std::string> got(2);
        long long t0 = iotest::NowUs();
        {
            ScriptedPeer peer(std::max<int>(1, c.replies.size()), [&](int fd, int i) {
                std::string reply = c.replies.empty() ? "" : c.replies[i];
                if (!c.replies.empty()) got[i] = ReadUntil(fd, "\r\n\r\n");
                for (size_t at = 0, step = c.drip ? 1 : reply.size(); at < reply.size();
                     at += step) {
                    SendAll(fd, reply.substr(at, step));
                    if (c.drip) usleep(2000);  // separate segments (pacing the peer only)
                }
                if (c.hold) WaitPeerClose(fd);
            });
            // Every other attempt deletes its socket inside the report. Only a silent proxy
            // waits for the time-out, which the pump keeps in whole seconds.
            bool silent = c.hold && !c.replies.empty() && c.replies.back().empty();
            ProxyAttempt a(VNPROXY_HTTP, peer.port(), c.user, c.pass, c.host.c_str(), 443,
                           silent ? 1000 : 5000, row % 2);
            ASSERT_EQ(c.ok, a.Outcome());
            // What followed the reply's head stays in the socket for the tunnel.
            std::string rest =
                c.ok ? c.replies.back().substr(c.replies.back().rfind('\n') + 1) : "";
            EXPECT_EQ(rest, c.ok ? ReadExact(a.Fd(), rest.size()) : "");
        }
        EXPECT_LT(iotest::NowUs() - t0, 5000000);
        std::string hp = c.authority.empty() ? c.host + ":443" : c.authority,
                    head = "CONNECT " + hp + " HTTP/1.1\r\nHost: " + hp + "\r\n";
        std::string tail =
            "Accept: */*\r\nContent-Type: text/html\r\nProxy-Connection: Keep-Alive\r\n"
            "Content-length: 0\r\n\r\n";
        EXPECT_EQ(c.ok ? head + tail : got[0], got[0]);
        EXPECT_EQ(c.token ? head + "Proxy-Authorization: Basic " + c.token + "\r\n" + tail : got[1],
                  got[1]);
    }
    RefusingPort refusing;
    ProxyAttempt a(VNPROXY_HTTP, refusing.port, nullptr, nullptr, "127.0.0.1", 80);
    EXPECT_FALSE(a.Outcome());
}

TEST(HttpProxyScripted, BadArgumentsOfEitherProxyTypeAreRefusedBeforeSending) {
    const std::string f256(256, 'x');
    IOThread io("ProxyArguments");
    ASSERT_TRUE(io.Run([&] {
        EXPECT_EQ(nullptr,
                  VNCreateProxyUDPSocket(VNPROXY_SOCKS5, "127.0.0.1", 1, "u", f256.c_str()));
        for (VNProxyType type : {VNPROXY_HTTP, VNPROXY_SOCKS5}) {
            EXPECT_EQ(nullptr, VNCreateProxyCnnTCPSocket(type, "127.0.0.1", 1, f256.c_str(), "p"));
            EXPECT_EQ(nullptr, VNCreateProxyCnnTCPSocket(type, "127.0.0.1", 1, "u", f256.c_str()));
            CVNITCPCnnSocket* s = VNCreateProxyCnnTCPSocket(type, "127.0.0.1", 1, "u", "p");
            ASSERT_NE(nullptr, s);
            EXPECT_FALSE(s->Connect(f256.c_str(), 80, 5000));
            EXPECT_FALSE(s->Connect(nullptr, 80, 5000));
            EXPECT_FALSE(s->Connect("h", 0, 5000));
            EXPECT_FALSE(s->Connect("h", 80, 0));
            EXPECT_EQ(0, PumpSize());
            delete s;
        }
    }));
}

// tinyproxy takes the bracketed CONNECT and opens the tunnel over IPv6.
TEST(HttpProxyReal, TinyproxyTunnelsToAnIPv6Destination) {
    std::string why;
    std::unique_ptr<ProxyPeer> tiny = StartTinyproxy(nullptr, nullptr, &why);
    ASSERT_TRUE(tiny) << why;
    ScriptedPeer echo(1, EchoUntilClose, true);
    ASSERT_NE(0, echo.port()) << "no IPv6 loopback";
    ProxyAttempt a(VNPROXY_HTTP, tiny->port, nullptr, nullptr, "::1", echo.port());
    ASSERT_TRUE(a.Outcome());
    EXPECT_EQ("over IPv6", EchoRoundTrip(a.Fd(), "over IPv6"));
    EXPECT_EQ(1, echo.accepted());
}
