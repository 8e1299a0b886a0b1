// The HTTP client with a cookie store: what a scripted origin sets is sent back only where
// the rules allow (host-only and domain cookies, paths, a foreign domain, a public suffix,
// expired and Secure-over-http cookies), on redirects too, by every client sharing the store,
// and never without a store or with the cookie flag off.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "http/client/client_test_util.h"
#include "http/client/vnhttpcookiejar.h"
#include "support/proxy_peers.h"

using namespace httptest;
using vntest::ReadUntil;
using vntest::ScriptedPeer;
using vntest::SendAll;

namespace {

// The Cookie line of a request head ("-" when it has none).
std::string CookieOf(const std::string& head) {
    size_t at = head.find("\r\nCookie: ");
    if (at == std::string::npos) return "-";
    at += 10;
    return head.substr(at, head.find("\r\n", at) - at);
}

// An origin that answers each connection with the next answer and records request heads.
struct Origin {
    explicit Origin(std::vector<std::string> answers)
        : list(std::move(answers)), peer(static_cast<int>(list.size()), [this](int fd, int i) {
              std::string h = ReadUntil(fd, "\r\n\r\n");
              w.Update([&] { heads.push_back(h); });
              SendAll(fd, list[static_cast<size_t>(i)]);
              vntest::WaitPeerClose(fd, kWaitMs);
          }) {}
    std::string Url(const std::string& host, const std::string& path) const {
        return "http://" + host + ":" + std::to_string(peer.port()) + path;
    }
    std::string Resolve(const std::string& host) const {
        return host + ":" + std::to_string(peer.port()) + ":127.0.0.1";
    }
    std::string Cookie(size_t i) {
        return w.Read([&] { return i < heads.size() ? CookieOf(heads[i]) : std::string("?"); });
    }
    std::vector<std::string> list;
    iotest::Waiter w;
    std::vector<std::string> heads;  // guarded by w
    ScriptedPeer peer;
};

const char kOk[] = "HTTP/1.1 200 OK\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";

}  // namespace

TEST(HttpClientCookies, SentBackOnlyWhereTheRulesAllow) {
    const std::string login =
        "HTTP/1.1 302 Found\r\nLocation: /home\r\nConnection: close\r\nContent-Length: 0\r\n"
        "Set-Cookie: sid=1; Path=/; HttpOnly\r\n"
        "Set-Cookie: dom=2; Domain=.example.com; Path=/\r\n"
        "Set-Cookie: foreign=3; Domain=other.com\r\n"
        "Set-Cookie: suffix=4; Domain=com\r\n"
        "Set-Cookie: gone=5; Max-Age=0\r\n"
        "Set-Cookie: past=6; Expires=Wed, 21 Oct 2015 07:28:00 GMT\r\n"
        "Set-Cookie: sec=7; Secure\r\n"
        "Set-Cookie: deep=8; Path=/deep\r\n\r\n";
    Origin o({login, kOk, kOk, kOk, kOk, kOk});
    IHttpCookieJar* jar = vn_create_cookiejar();
    ASSERT_NE(nullptr, jar);
    Client a, b;
    for (Client* c : {&a, &b}) {
        (*c)->SetCookieJar(jar);
        ASSERT_TRUE((*c)->AddResolve(o.Resolve("www.example.com").c_str()));
        ASSERT_TRUE((*c)->AddResolve(o.Resolve("sub.example.com").c_str()));
    }
    jar->Release();  // the clients hold their own references
    // The login and its redirect: the redirected request already carries what was set.
    ASSERT_TRUE(a->Download(U(o.Url("www.example.com", "/login")), nullptr));
    EXPECT_EQ(0u, a.sink.WaitCode(1));
    EXPECT_EQ("-", o.Cookie(0));
    EXPECT_EQ("sid=1; dom=2", o.Cookie(1));
    // Longer paths first; a host-only cookie stays with its host; another client shares them.
    ASSERT_TRUE(b->Download(U(o.Url("www.example.com", "/deep/x")), nullptr));
    EXPECT_EQ(0u, b.sink.WaitCode(1));
    EXPECT_EQ("deep=8; sid=1; dom=2", o.Cookie(2));
    ASSERT_TRUE(a->Download(U(o.Url("sub.example.com", "/deep/x")), nullptr));
    EXPECT_EQ(0u, a.sink.WaitCode(2));
    EXPECT_EQ("dom=2", o.Cookie(3));
    // The cookie flag off: nothing sent (the store stays as it was).
    b->SetUseCookie(0);
    ASSERT_TRUE(b->Download(U(o.Url("www.example.com", "/")), nullptr));
    EXPECT_EQ(0u, b.sink.WaitCode(2));
    EXPECT_EQ("-", o.Cookie(4));
    // Without a store, as designed: no cookies at all.
    a->SetCookieJar(nullptr);
    ASSERT_TRUE(a->Download(U(o.Url("www.example.com", "/")), nullptr));
    EXPECT_EQ(0u, a.sink.WaitCode(3));
    EXPECT_EQ("-", o.Cookie(5));
}
