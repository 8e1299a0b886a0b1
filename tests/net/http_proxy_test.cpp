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

// Records OnConnect and, on success, detaches the tunnel inside the report (as callers do).
struct TunnelSink : public CVNITCPCnnSocketSink {
    Waiter w;
    int reports = 0;  // guarded by w
    bool ok = false;
    int fd = -1;
    bool deleteInside = false;  // delete the socket inside OnConnect

    void OnConnect(bool bOk, CVNITCPCnnSocket* s, int reason) override {
        EXPECT_EQ(0, reason);
        int d = bOk ? s->Detach() : -1;
        if (deleteInside) delete s;
        w.Update([&] {
            ++reports;
            ok = bOk;
            fd = d;
        });
    }
    bool WaitReport() {
        return w.WaitFor([&] { return reports >= 1; });
    }
    int Reports() {
        return w.Read([&] { return reports; });
    }
};

// One CONNECT attempt through an HTTP proxy on its own I/O thread.
struct Attempt {
    IOThread io{"HttpProxyTest"};
    TunnelSink sink;
    CVNITCPCnnSocket* socket = nullptr;
    bool started = false;

    Attempt(unsigned short proxyPort, const char* user, const char* password, const char* host,
            unsigned short port, unsigned int timeoutMs = 5000, bool deleteInside = false) {
        // Set before Connect: the report may arrive as soon as Connect returns.
        sink.deleteInside = deleteInside;
        EXPECT_TRUE(io.Run([&] {
            socket =
                VNCreateProxyCnnTCPSocket(VNPROXY_HTTP, "127.0.0.1", proxyPort, user, password);
            if (socket == nullptr) return;
            socket->SetSink(&sink);
            started = socket->Connect(host, port, timeoutMs);
        }));
    }
    ~Attempt() {
        int fd = sink.w.Read([&] { return sink.fd; });
        if (fd >= 0) close(fd);
        if (!sink.deleteInside) io.Run([&] { delete socket; });
    }
    // Waits for the report and checks that only one came.
    bool Outcome() {
        EXPECT_TRUE(sink.WaitReport());
        // A second report would follow the first within the same pump passes; give the
        // I/O thread two round trips to deliver one if it were coming.
        io.Run([] {});
        io.Run([] {});
        EXPECT_EQ(1, sink.Reports());
        return sink.w.Read([&] { return sink.ok; });
    }
    int Fd() {
        return sink.w.Read([&] { return sink.fd; });
    }
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

TEST_F(TinyproxyTest, BasicAuthTunnelsToEcho) {
    Attempt a(s_auth->port, "alice", "s3cret", "127.0.0.1", s_echo->port());
    ASSERT_TRUE(a.started);
    ASSERT_TRUE(a.Outcome());
    std::string big(3000, 'x');
    for (size_t i = 0; i < big.size(); ++i)
        big[i] = static_cast<char>('a' + i % 26);
    EXPECT_EQ(big, vntest::EchoRoundTrip(a.Fd(), big, 5000));
}

TEST_F(TinyproxyTest, WrongPasswordFailsOnce) {
    Attempt a(s_auth->port, "alice", "wrong", "127.0.0.1", s_echo->port());
    ASSERT_TRUE(a.started);
    EXPECT_FALSE(a.Outcome());
    EXPECT_EQ(-1, a.Fd());
}

TEST_F(TinyproxyTest, NoCredentialsFailsAtThe407) {
    Attempt a(s_auth->port, nullptr, nullptr, "127.0.0.1", s_echo->port());
    ASSERT_TRUE(a.started);
    EXPECT_FALSE(a.Outcome());
}

TEST_F(TinyproxyTest, GlobalSettingsMakeTheFactoryUseTheProxy) {
    VNSetGlobalProxyInfo(VNPROXY_HTTP, "127.0.0.1", s_auth->port, "alice", "s3cret");
    IOThread io("HttpProxyGlobal");
    TunnelSink sink;
    CVNITCPCnnSocket* s = nullptr;
    ASSERT_TRUE(io.Run([&] {
        s = VNCreateCnnTCPSocket();
        ASSERT_NE(nullptr, dynamic_cast<CVNHttpProxyTCPCnnSocket*>(s));
        s->SetSink(&sink);
        EXPECT_TRUE(s->Connect("127.0.0.1", s_echo->port(), 5000));
    }));
    VNSetGlobalProxyInfo(VNPROXY_NONE, nullptr, 0, nullptr, nullptr);
    ASSERT_TRUE(sink.WaitReport());
    int fd = sink.w.Read([&] { return sink.fd; });
    EXPECT_TRUE(sink.w.Read([&] { return sink.ok; }));
    EXPECT_EQ("global", vntest::EchoRoundTrip(fd, "global", 5000));
    if (fd >= 0) close(fd);
    io.Run([&] { delete s; });
}

// ---- Against scripted peers ----

TEST(HttpProxyScripted, ExactRequestsAnd407Retry) {
    std::vector<std::string> got(2);
    ScriptedPeer peer(2, [&](int fd, int i) {
        got[i] = vntest::ReadUntil(fd, "\r\n\r\n");
        vntest::SendAll(fd, i == 0 ? k407 : k200);
        if (i == 1) vntest::WaitPeerClose(fd);
    });
    {
        Attempt a(peer.port(), "u", "p", "dest.example", 443);
        ASSERT_TRUE(a.started);
        EXPECT_TRUE(a.Outcome());
    }
    EXPECT_EQ(PlainRequestFor("dest.example", 443), got[0]);
    EXPECT_EQ(AuthRequestFor("dest.example", 443, "u:p"), got[1]);
}

TEST(HttpProxyScripted, Second407Fails) {
    ScriptedPeer peer(2, [&](int fd, int) {
        vntest::ReadUntil(fd, "\r\n\r\n");
        vntest::SendAll(fd, k407);
        vntest::WaitPeerClose(fd);
    });
    Attempt a(peer.port(), "u", "p", "127.0.0.1", 80);
    EXPECT_FALSE(a.Outcome());
}

TEST(HttpProxyScripted, ReplyWithoutSpaceOrWithOtherCodeFails) {
    for (const char* reply : {"HTTP/1.1\r\n\r\n", "HTTP/1.1 403 Forbidden\r\n\r\n",
                              "HTTP/1.1 2000 OK\r\n\r\n", "garbage\n\n"}) {
        ScriptedPeer peer(1, [&](int fd, int) {
            vntest::ReadUntil(fd, "\r\n\r\n");
            vntest::SendAll(fd, reply);
            vntest::WaitPeerClose(fd);
        });
        Attempt a(peer.port(), nullptr, nullptr, "127.0.0.1", 80);
        EXPECT_FALSE(a.Outcome()) << reply;
    }
}

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

TEST(HttpProxyScripted, CloseBeforeAndDuringReplyFails) {
    for (int variant = 0; variant < 3; ++variant) {
        ScriptedPeer peer(1, [&](int fd, int) {
            if (variant >= 1) vntest::ReadUntil(fd, "\r\n\r\n");
            if (variant == 2) vntest::SendAll(fd, "HTTP/1.1 200 Conn");
        });
        Attempt a(peer.port(), nullptr, nullptr, "127.0.0.1", 80);
        EXPECT_FALSE(a.Outcome()) << variant;
    }
}

TEST(HttpProxyScripted, SilenceEndsWithTheTimeout) {
    ScriptedPeer peer(1, [&](int fd, int) {
        vntest::ReadUntil(fd, "\r\n\r\n");
        vntest::WaitPeerClose(fd);
    });
    long long t0 = iotest::NowUs();
    Attempt a(peer.port(), nullptr, nullptr, "127.0.0.1", 80, 1000);
    EXPECT_FALSE(a.Outcome());
    EXPECT_LT(iotest::NowUs() - t0, 5000000);
}

TEST(HttpProxyScripted, RefusedProxyFailsOnce) {
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

TEST(HttpProxyScripted, CredentialLengths) {
    for (size_t userLen : {1u, 255u}) {
        for (size_t passLen : {0u, 1u, 255u}) {
            std::string user(userLen, 'u'), pass(passLen, 'p');
            std::string got;
            ScriptedPeer peer(2, [&](int fd, int i) {
                std::string r = vntest::ReadUntil(fd, "\r\n\r\n");
                if (i == 1) got = r;
                vntest::SendAll(fd, i == 0 ? k407 : k200);
                vntest::WaitPeerClose(fd);
            });
            {
                Attempt a(peer.port(), user.c_str(), pass.c_str(), "127.0.0.1", 80);
                EXPECT_TRUE(a.Outcome());
            }
            EXPECT_EQ(AuthRequestFor("127.0.0.1", 80, user + ":" + pass), got);
        }
    }
}

TEST(HttpProxyScripted, OverLongFieldsAreRefusedBeforeSending) {
    std::string f256(256, 'x'), f255(255, 'h');
    IOThread io("HttpProxyLimits");
    ASSERT_TRUE(io.Run([&] {
        EXPECT_EQ(nullptr,
                  VNCreateProxyCnnTCPSocket(VNPROXY_HTTP, "127.0.0.1", 1, f256.c_str(), "p"));
        EXPECT_EQ(nullptr,
                  VNCreateProxyCnnTCPSocket(VNPROXY_HTTP, "127.0.0.1", 1, "u", f256.c_str()));
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
