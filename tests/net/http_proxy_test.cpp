// The HTTP CONNECT client: against tinyproxy (open and with Basic credentials) and against
// scripted peers for what a real proxy will not do on demand.
#include <gtest/gtest.h>
#include <string.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "net/socket_test_util.h"
#include "net/vnhttpproxy_internal.h"
#include "net/vnsocketi.h"
#include "support/proxy_peers.h"

using namespace socktest;
using vntest::ScriptedPeer;

namespace {

struct Attempt : ProxyAttempt {
    Attempt(unsigned short proxyPort, const char* user, const char* password, const char* host,
            unsigned short port, unsigned int timeoutMs = 5000, bool deleteInside = false)
        : ProxyAttempt(VNPROXY_HTTP, proxyPort, user, password, host, port, timeoutMs,
                       deleteInside) {}
};

std::string PlainRequestFor(const std::string& host, int port) {
    std::string hp = host + ":" + std::to_string(port);
    return "CONNECT " + hp + " HTTP/1.1\r\nHost: " + hp +
           "\r\nAccept: */*\r\nContent-Type: text/html\r\nProxy-Connection: Keep-Alive\r\n"
           "Content-length: 0\r\n\r\n";
}

std::string AuthRequestFor(const std::string& host, int port, const std::string& cred) {
    std::string hp = host + ":" + std::to_string(port);
    std::string token =
        vn::detail::Base64Encode(reinterpret_cast<const unsigned char*>(cred.data()), cred.size());
    return "CONNECT " + hp + " HTTP/1.1\r\nHost: " + hp + "\r\nProxy-Authorization: Basic " +
           token +
           "\r\nAccept: */*\r\nContent-Type: text/html\r\nProxy-Connection: Keep-Alive\r\n"
           "Content-length: 0\r\n\r\n";
}

const char k200[] = "HTTP/1.1 200 Connection established\r\n\r\n";
const char k407[] =
    "HTTP/1.1 407 Proxy Authentication Required\r\nProxy-Authenticate: Basic "
    "realm=\"x\"\r\nContent-Length: 0\r\n\r\n";

}  // namespace

// ---- Helpers ----

// ---- Against tinyproxy ----

class TinyproxyTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        std::string why;
        s_open = vntest::StartTinyproxy(nullptr, nullptr, &why).release();
        if (s_open == nullptr) s_why = "open tinyproxy: " + why;
        s_auth = vntest::StartTinyproxy("alice", "s3cret", &why).release();
        if (s_auth == nullptr) s_why += " auth tinyproxy: " + why;
        s_echo = new vntest::TcpEchoServer;
    }
    static void TearDownTestSuite() {
        delete s_open;
        delete s_auth;
        delete s_echo;
        s_open = s_auth = nullptr;
        s_echo = nullptr;
    }
    void SetUp() override {
        // A missing proxy is a failure: CI installs it.
        ASSERT_NE(nullptr, s_open) << s_why;
        ASSERT_NE(nullptr, s_auth) << s_why;
        ASSERT_NE(0, s_echo->port());
    }
    static vntest::ProxyPeer* s_open;
    static vntest::ProxyPeer* s_auth;
    static vntest::TcpEchoServer* s_echo;
    static std::string s_why;
};
vntest::ProxyPeer* TinyproxyTest::s_open = nullptr;
vntest::ProxyPeer* TinyproxyTest::s_auth = nullptr;
vntest::TcpEchoServer* TinyproxyTest::s_echo = nullptr;
std::string TinyproxyTest::s_why;

TEST_F(TinyproxyTest, OpenProxyTunnelsToEcho) {
    Attempt a(s_open->port, nullptr, nullptr, "127.0.0.1", s_echo->port());
    ASSERT_TRUE(a.started);
    ASSERT_TRUE(a.Outcome());
    ASSERT_GE(a.Fd(), 0);
    EXPECT_EQ("hello through tinyproxy",
              vntest::EchoRoundTrip(a.Fd(), "hello through tinyproxy", 5000));
}

TEST_F(TinyproxyTest, WrongOrNoCredentialsFailOnce) {
    for (const char* pass : {"wrong", static_cast<const char*>(nullptr)}) {
        Attempt a(s_auth->port, pass ? "alice" : nullptr, pass, "127.0.0.1", s_echo->port());
        ASSERT_TRUE(a.started);
        EXPECT_FALSE(a.Outcome()) << (pass ? pass : "none");
        EXPECT_EQ(-1, a.Fd());
    }
}

// ---- Against scripted peers ----

TEST(HttpProxyScripted, ReplySplitByteByByteAndTunnelBytesKept) {
    const std::string reply = "HTTP/1.1 200 Connection established\r\nVia: x\r\n\r\n";
    ScriptedPeer peer(1, [&](int fd, int) {
        vntest::ReadUntil(fd, "\r\n\r\n");
        for (size_t i = 0; i < reply.size(); ++i) {
            vntest::SendAll(fd, reply.substr(i, 1));
            usleep(2000);  // separate segments (pacing the peer, not synchronising the test)
        }
        // The first bytes of the tunnel arrive together with nothing else waiting.
        vntest::SendAll(fd, "EARLY");
        std::string echo = vntest::ReadExact(fd, 4);
        vntest::SendAll(fd, echo);
        vntest::WaitPeerClose(fd);
    });
    Attempt a(peer.port(), nullptr, nullptr, "127.0.0.1", 80);
    ASSERT_TRUE(a.Outcome());
    // Bytes that followed the reply are still in the socket for the tunnel's owner.
    EXPECT_EQ("EARLY", vntest::ReadExact(a.Fd(), 5));
    EXPECT_EQ("ping", vntest::EchoRoundTrip(a.Fd(), "ping", 5000));
}

// Every way the exchange can go wrong ends in exactly one failure report: a second 407,
// replies without a status or with another code, closes before and during the reply,
// silence until the time-out, and a proxy port that refuses.
TEST(HttpProxyScripted, FailuresAreReportedOnce) {
    auto replyWith = [](const char* reply) {
        return [reply](int fd, int) {
            vntest::ReadUntil(fd, "\r\n\r\n");
            vntest::SendAll(fd, reply);
            vntest::WaitPeerClose(fd);
        };
    };
    struct Case {
        const char* name;
        int conns;
        std::function<void(int, int)> script;
    };
    const Case cases[] = {
        {"second 407", 2, replyWith(k407)},
        {"no space", 1, replyWith("HTTP/1.1\r\n\r\n")},
        {"403", 1, replyWith("HTTP/1.1 403 Forbidden\r\n\r\n")},
        {"2000", 1, replyWith("HTTP/1.1 2000 OK\r\n\r\n")},
        {"garbage", 1, replyWith("garbage\n\n")},
        {"close at once", 1, [](int, int) {}},
        {"close after request", 1, [](int fd, int) { vntest::ReadUntil(fd, "\r\n\r\n"); }},
        {"close in reply", 1,
         [](int fd, int) {
             vntest::ReadUntil(fd, "\r\n\r\n");
             vntest::SendAll(fd, "HTTP/1.1 200 Conn");
         }},
        {"silence", 1,
         [](int fd, int) {
             vntest::ReadUntil(fd, "\r\n\r\n");
             vntest::WaitPeerClose(fd);
         }},
    };
    for (const Case& c : cases) {
        ScriptedPeer peer(c.conns, c.script);
        long long t0 = iotest::NowUs();
        const char* cred = c.conns == 2 ? "u" : nullptr;
        Attempt a(peer.port(), cred, cred, "127.0.0.1", 80, 1000);
        EXPECT_FALSE(a.Outcome()) << c.name;
        EXPECT_LT(iotest::NowUs() - t0, 5000000) << c.name;
    }
    RefusingPort refusing;
    Attempt a(refusing.port, nullptr, nullptr, "127.0.0.1", 80);
    ASSERT_TRUE(a.started);
    EXPECT_FALSE(a.Outcome());
}

TEST(HttpProxyScripted, DeleteInsideOnConnect) {
    ScriptedPeer peer(1, [&](int fd, int) {
        vntest::ReadUntil(fd, "\r\n\r\n");
        vntest::SendAll(fd, k200);
        vntest::WaitPeerClose(fd);
    });
    Attempt a(peer.port(), nullptr, nullptr, "127.0.0.1", 80, 5000, true);
    EXPECT_TRUE(a.Outcome());
}

// The exact requests: plain first, then, after a 407, with Basic credentials of every
// length that fits, on a fresh connection.
TEST(HttpProxyScripted, ExactRequestsAnd407RetryWithCredentialsOfEveryLength) {
    for (size_t userLen : {1u, 255u}) {
        for (size_t passLen : {0u, 1u, 255u}) {
            std::string user(userLen, 'u'), pass(passLen, 'p');
            std::vector<std::string> got(2);
            ScriptedPeer peer(2, [&](int fd, int i) {
                got[i] = vntest::ReadUntil(fd, "\r\n\r\n");
                vntest::SendAll(fd, i == 0 ? k407 : k200);
                vntest::WaitPeerClose(fd);
            });
            {
                Attempt a(peer.port(), user.c_str(), pass.c_str(), "dest.example", 443);
                EXPECT_TRUE(a.Outcome());
            }
            EXPECT_EQ(PlainRequestFor("dest.example", 443), got[0]);
            EXPECT_EQ(AuthRequestFor("dest.example", 443, user + ":" + pass), got[1]);
        }
    }
}

TEST(HttpProxyScripted, OverLongFieldsAreRefusedBeforeSending) {
    std::string f256(256, 'x'), f255(255, 'h');
    IOThread io("HttpProxyLimits");
    ASSERT_TRUE(io.Run([&] {
        // (over-long credentials: the factory rows)
        CVNITCPCnnSocket* s =
            VNCreateProxyCnnTCPSocket(VNPROXY_HTTP, "127.0.0.1", 1, nullptr, nullptr);
        ASSERT_NE(nullptr, s);
        EXPECT_FALSE(s->Connect(f256.c_str(), 80, 5000));
        EXPECT_FALSE(s->Connect(nullptr, 80, 5000));
        EXPECT_FALSE(s->Connect("h", 0, 5000));
        EXPECT_FALSE(s->Connect("h", 80, 0));
        EXPECT_EQ(0, PumpSize());
        delete s;
    }));
    // A 255-byte host goes on the wire whole.
    std::string got;
    ScriptedPeer peer(1, [&](int fd, int) {
        got = vntest::ReadUntil(fd, "\r\n\r\n");
        vntest::SendAll(fd, k200);
        vntest::WaitPeerClose(fd);
    });
    {
        Attempt a(peer.port(), nullptr, nullptr, f255.c_str(), 65535);
        EXPECT_TRUE(a.Outcome());
    }
    EXPECT_EQ(PlainRequestFor(f255, 65535), got);
}

TEST(HttpProxyHelpers, Base64) {
    auto b64 = [](const std::string& s) {
        return vn::detail::Base64Encode(reinterpret_cast<const unsigned char*>(s.data()), s.size());
    };
    EXPECT_EQ("", b64(""));
    EXPECT_EQ("YQ==", b64("a"));
    EXPECT_EQ("YWI=", b64("ab"));
    EXPECT_EQ("YWJj", b64("abc"));
    EXPECT_EQ("YWxpY2U6czNjcmV0", b64("alice:s3cret"));
    EXPECT_EQ("+/8=", b64(std::string("\xfb\xff", 2)));
}

TEST(HttpProxyHelpers, ReplyHeadAndStatus) {
    using vn::detail::HttpReplyHeadEnd;
    using vn::detail::HttpReplyStatus;
    const char* r = "HTTP/1.1 200 OK\r\nA: b\r\n\r\nTUNNEL";
    EXPECT_EQ(strlen(r) - 6, HttpReplyHeadEnd(r, strlen(r)));
    EXPECT_EQ(0u, HttpReplyHeadEnd(r, 20));
    EXPECT_EQ(strlen("HTTP/1.0 200 OK\n\n"), HttpReplyHeadEnd("HTTP/1.0 200 OK\n\nx", 18));
    EXPECT_EQ(200, HttpReplyStatus(r, strlen(r)));
    EXPECT_EQ(407, HttpReplyStatus("HTTP/1.1 407\r\n", 14));
    EXPECT_EQ(0, HttpReplyStatus("HTTP/1.1 abc\r\n", 14));
    EXPECT_EQ(-1, HttpReplyStatus("HTTP/1.1\r\n\r\n", 12));
}

TEST_F(TinyproxyTest, BasicAuthTunnelsToEcho) {
    Attempt a(s_auth->port, "alice", "s3cret", "127.0.0.1", s_echo->port());
    ASSERT_TRUE(a.started);
    ASSERT_TRUE(a.Outcome());
    std::string big(3000, 'x');
    for (size_t i = 0; i < big.size(); ++i)
        big[i] = static_cast<char>('a' + i % 26);
    EXPECT_EQ(big, vntest::EchoRoundTrip(a.Fd(), big, 5000));
}

TEST_F(TinyproxyTest, GlobalSettingsMakeTheFactoryUseTheProxy) {
    VNSetGlobalProxyInfo(VNPROXY_HTTP, "127.0.0.1", s_auth->port, "alice", "s3cret");
    ProxyAttempt a(-1, 0, nullptr, nullptr, "127.0.0.1", s_echo->port());
    VNSetGlobalProxyInfo(VNPROXY_NONE, nullptr, 0, nullptr, nullptr);
    a.io.Run([&] { EXPECT_NE(nullptr, dynamic_cast<CVNHttpProxyTCPCnnSocket*>(a.socket)); });
    ASSERT_TRUE(a.Outcome());
    EXPECT_EQ("global", vntest::EchoRoundTrip(a.Fd(), "global", 5000));
}

TEST(HttpProxyScripted, ReplyAndTunnelDataInOneSegment) {
    ScriptedPeer peer(1, [&](int fd, int) {
        vntest::ReadUntil(fd, "\r\n\r\n");
        vntest::SendAll(fd, std::string(k200) + "DATA-AFTER-HEAD");
        vntest::WaitPeerClose(fd);
    });
    Attempt a(peer.port(), nullptr, nullptr, "127.0.0.1", 80);
    ASSERT_TRUE(a.Outcome());
    EXPECT_EQ("DATA-AFTER-HEAD", vntest::ReadExact(a.Fd(), 15));
}
