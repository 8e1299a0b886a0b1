// The HTTP client over TLS against Debian's nginx with certificates made by the test run:
// every start call over https, kept connections (one handshake each) and resumed sessions,
// resume by Range, redirects between http and https, tunnels through tinyproxy and
// microsocks, and every refused certificate (result 11 with its reason, the target file
// untouched).
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "http/client/client_test_util.h"
#include "net/vnsocketi.h"
#include "net/vntlscontext_internal.h"
#include "support/http_peers.h"
#include "support/proxy_peers.h"
#include "support/tls_pki.h"

using namespace httptest;

namespace {

// The TLS ports of the nginx below, by the identity each presents.
enum Port { kGood, kWildcard, kWrongHost, kWrongIp, kExpired, kNotYet, kSelfSigned, kUnknown };

class TlsClientTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        s_pki = vntest::TestPki::Make(&s_why);
        if (s_pki == nullptr) return;
        vntest::NginxOptions o;
        for (const vntest::TlsIdentity* id :
             {&s_pki->good, &s_pki->wildcard, &s_pki->wrongHost, &s_pki->wrongIp, &s_pki->expired,
              &s_pki->notYetValid, &s_pki->selfSigned, &s_pki->unknownIssuer}) {
            o.tls.push_back({id->chain, id->key});
        }
        o.ipv6 = true;  // the TLS ports listen on [::1] too
        o.serverExtra =
            "    location = /to-https { return 302 https://127.0.0.1:@TLS0@/small.bin; }\n"
            "    location = /to-http { return 302 http://127.0.0.1:@PORT@/small.bin; }\n"
            "    location /close/ { keepalive_timeout 0; }\n";
        s_nginx = vntest::NginxPeer::Start(o, &s_why);
        if (s_nginx == nullptr) return;
        mkdir((s_nginx->docroot() + "/close").c_str(), 0755);
        for (auto f :
             {std::make_pair("big.bin", (3 << 20) + 5), std::make_pair("small.bin", 1000)}) {
            s_files[f.first] = vntest::PatternBytes(static_cast<size_t>(f.second), f.second);
            vntest::WriteTextFile(s_nginx->docroot() + "/" + f.first, s_files[f.first]);
            vntest::WriteTextFile(s_nginx->docroot() + "/close/" + f.first, s_files[f.first]);
        }
    }
    static void TearDownTestSuite() {
        s_nginx.reset();
        s_pki.reset();
    }
    void SetUp() override { ASSERT_NE(nullptr, s_nginx) << s_why; }
    void TearDown() override { vntest::RemoveTree(m_dir); }
    static std::string Https(Port p, const std::string& path,
                             const std::string& host = "127.0.0.1") {
        return s_nginx->TlsUrl(p, path, host);
    }
    // A client that trusts the test authority.
    static void Trust(Client& c) { ASSERT_TRUE(c->SetTlsCaFile(s_pki->caFile.c_str())); }
    static unsigned long long Handshakes() {
        return vn::detail::GetTlsCounters().uHandshakes.load();
    }

    static inline std::unique_ptr<vntest::TestPki> s_pki;
    static inline std::unique_ptr<vntest::NginxPeer> s_nginx;
    static inline std::string s_why;
    static inline std::map<std::string, std::string> s_files;
    std::string m_dir = vntest::MakeTempDir("tlsclient");
};

}  // namespace

TEST_F(TlsClientTest, EveryStartCallOverOneKeptConnection) {
    Client c;
    Trust(c);
    unsigned long long before = Handshakes();
    std::string dst = m_dir + "/big.bin";
    ASSERT_TRUE(c->Download(U(Https(kGood, "/big.bin")), U(dst), nullptr, 0));
    ASSERT_EQ(0u, c.sink.WaitCode(1));
    EXPECT_TRUE(s_files["big.bin"] == vntest::ReadTextFile(dst));
    ASSERT_TRUE(c->Download(U(Https(kGood, "/small.bin", "localhost")), nullptr));
    ASSERT_EQ(0u, c.sink.WaitCode(2));
    EXPECT_TRUE(s_files["small.bin"] == c.Buffer());
    // localhost is another name than 127.0.0.1: the kept connection was checked for that one.
    EXPECT_EQ(before + 2, Handshakes());
    for (int i = 0; i < 5; ++i) {
        ASSERT_TRUE(c->HttpRequestToBuffer(U(Https(kGood, "/small.bin", "localhost")),
                                           HTTPMETHOD_GET, nullptr, 0));
        ASSERT_EQ(0u, c.sink.WaitCode(3 + i));
        EXPECT_TRUE(s_files["small.bin"] == c.Buffer());
    }
    // nginx answers a POST to a static file with 405: the request went and came back whole.
    ASSERT_TRUE(c->HttpRequestToBuffer(U(Https(kGood, "/small.bin", "localhost")), HTTPMETHOD_POST,
                                       "abc", 3));
    EXPECT_EQ(2u, c.sink.WaitCode(8));
    EXPECT_EQ(before + 2, Handshakes());
}

TEST_F(TlsClientTest, ResumesByRangeAndResumesSessions) {
    const std::string& all = s_files["big.bin"];
    std::string dst = m_dir + "/part.bin";
    vntest::WriteTextFile(dst, all.substr(0, 1000));
    Client c;
    Trust(c);
    c->SetNotifyMask(0x04);
    ASSERT_TRUE(c->Download(U(Https(kGood, "/big.bin")), U(dst), nullptr, 1));
    ASSERT_EQ(0u, c.sink.WaitCode(1));
    EXPECT_TRUE(all == vntest::ReadTextFile(dst));
    EXPECT_EQ("start 1000/" + std::to_string(all.size()), c.sink.Events().at(0));
    // The peer ends each connection under /close/ (the first goes over the one kept from
    // the download): each new one resumes the session the peer offered on the one before.
    vn::detail::TlsCounters& counters = vn::detail::GetTlsCounters();
    unsigned long long handshakes = counters.uHandshakes.load();
    unsigned long long resumed = counters.uResumed.load();
    for (unsigned int i = 0; i < 3; ++i) {
        ASSERT_TRUE(c->Download(U(Https(kGood, "/close/small.bin")), nullptr));
        ASSERT_EQ(0u, c.sink.WaitCode(2 + i));
        EXPECT_TRUE(s_files["small.bin"] == c.Buffer());
    }
    EXPECT_EQ(handshakes + 2, counters.uHandshakes.load());
    EXPECT_EQ(resumed + 2, counters.uResumed.load());
}

TEST_F(TlsClientTest, RedirectsBetweenSchemesAndRefusedDowngrades) {
    Client c;
    Trust(c);
    ASSERT_TRUE(c->Download(U(s_nginx->Url("/to-https")), nullptr));
    ASSERT_EQ(0u, c.sink.WaitCode(1));
    EXPECT_TRUE(s_files["small.bin"] == c.Buffer());
    ASSERT_TRUE(c->Download(U(Https(kGood, "/to-http")), nullptr));
    EXPECT_EQ(7u, c.sink.WaitCode(2));
    c->SetAllowDowngrade(1);
    ASSERT_TRUE(c->Download(U(Https(kGood, "/to-http")), nullptr));
    ASSERT_EQ(0u, c.sink.WaitCode(3));
    EXPECT_TRUE(s_files["small.bin"] == c.Buffer());
}

TEST_F(TlsClientTest, RefusedCertificatesNeverTouchTheTarget) {
    struct Row {
        Port port;
        const char* host;
        int reason;
    } rows[] = {
        {kExpired, "127.0.0.1", VNTLS_EXPIRED},
        {kNotYet, "localhost", VNTLS_NOT_YET_VALID},
        {kSelfSigned, "127.0.0.1", VNTLS_UNKNOWN_ISSUER},
        {kUnknown, "localhost", VNTLS_UNKNOWN_ISSUER},
        {kWrongHost, "localhost", VNTLS_NAME_MISMATCH},
        {kWrongIp, "127.0.0.1", VNTLS_NAME_MISMATCH},
        {kWildcard, "localhost", VNTLS_NAME_MISMATCH},
    };
    Client c;
    Trust(c);
    std::string dst = m_dir + "/kept.bin";
    for (const Row& r : rows) {
        SCOPED_TRACE(Https(r.port, "/small.bin", r.host));
        vntest::WriteTextFile(dst, "kept");
        size_t n = c.sink.Completions();
        ASSERT_TRUE(c->Download(U(Https(r.port, "/small.bin", r.host)), U(dst), nullptr, 0));
        EXPECT_EQ(11u, c.sink.WaitCode(n + 1));
        vn::strutf8 text;
        EXPECT_EQ(r.reason, c->GetTlsError(text)) << text.c_str();
        EXPECT_FALSE(text.empty());
        EXPECT_EQ("kept", vntest::ReadTextFile(dst));
    }
    // Verification off: the same peers are accepted (only by an explicit call).
    c->SetTlsVerify(0);
    ASSERT_TRUE(c->Download(U(Https(kSelfSigned, "/small.bin")), U(dst), nullptr, 0));
    EXPECT_EQ(0u, c.sink.WaitCode(std::size(rows) + 1));
    EXPECT_TRUE(s_files["small.bin"] == vntest::ReadTextFile(dst));
}

TEST_F(TlsClientTest, Ipv6AddressesAreCheckedAgainstIpEntries) {
    Client c;
    Trust(c);
    struct Row {
        Port port;
        unsigned int code;
    } rows[] = {{kGood, 0}, {kWrongIp, 11}};
    for (const Row& r : rows) {
        size_t n = c.sink.Completions();
        ASSERT_TRUE(c->Download(U(Https(r.port, "/small.bin", "[::1]")), nullptr));
        EXPECT_EQ(r.code, c.sink.WaitCode(n + 1)) << r.port;
        if (r.code == 0) {
            EXPECT_TRUE(s_files["small.bin"] == c.Buffer());
        }
    }
}

TEST_F(TlsClientTest, PinsAndTrustSettings) {
    Client c;
    for (std::string bad :
         {std::string("sha256//short"), std::string("md5//AAAA"), "sha256//" + std::string(44, 'A'),
          s_pki->goodPin + ";", std::string(";"),
          s_pki->goodPin.substr(0, 50) + "==", s_pki->goodPin + ";;" + s_pki->otherPin}) {
        EXPECT_FALSE(c->SetTlsPins(bad.c_str())) << bad;
    }
    EXPECT_FALSE(c->SetTlsCaFile("/nonexistent/ca.pem"));
    EXPECT_FALSE(c->SetTlsCaPath(s_pki->caFile.c_str()));  // a file is no directory
    // Without the test authority the system's store does not know it.
    ASSERT_TRUE(c->Download(U(Https(kGood, "/small.bin")), nullptr));
    EXPECT_EQ(11u, c.sink.WaitCode(1));
    vn::strutf8 text;
    EXPECT_EQ(VNTLS_UNKNOWN_ISSUER, c->GetTlsError(text));
    Trust(c);
    ASSERT_TRUE(c->SetTlsPins(s_pki->otherPin.c_str()));
    ASSERT_TRUE(c->Download(U(Https(kGood, "/small.bin")), nullptr));
    EXPECT_EQ(11u, c.sink.WaitCode(2));
    EXPECT_EQ(VNTLS_PIN_MISMATCH, c->GetTlsError(text));
    // One matching pin among several is enough, and a pin holds with verification off too.
    ASSERT_TRUE(c->SetTlsPins((s_pki->otherPin + ";" + s_pki->goodPin).c_str()));
    ASSERT_TRUE(c->Download(U(Https(kGood, "/small.bin")), nullptr));
    EXPECT_EQ(0u, c.sink.WaitCode(3));
    EXPECT_EQ(VNTLS_NONE, c->GetTlsError(text));
    c->SetTlsVerify(0);
    ASSERT_TRUE(c->SetTlsPins(s_pki->otherPin.c_str()));
    ASSERT_TRUE(c->Download(U(Https(kSelfSigned, "/small.bin")), nullptr));
    EXPECT_EQ(11u, c.sink.WaitCode(4));
    EXPECT_EQ(VNTLS_PIN_MISMATCH, c->GetTlsError(text));
}

TEST_F(TlsClientTest, PlainPeerFailsAtOnce) {
    // nginx's plain port answers the ClientHello with a plain 400.
    Client c;
    Trust(c);
    std::string url = "https://127.0.0.1:" + std::to_string(s_nginx->port()) + "/small.bin";
    ASSERT_TRUE(c->Download(U(url), nullptr));
    EXPECT_EQ(11u, c.sink.WaitCode(1));
    vn::strutf8 text;
    EXPECT_EQ(VNTLS_PROTOCOL, c->GetTlsError(text));
}

TEST_F(TlsClientTest, TunnelsThroughProxies) {
    const char *user = vntest::kSocksUser, *pass = vntest::kSocksPassword;
    std::string why;
    std::unique_ptr<vntest::ProxyPeer> proxies[] = {vntest::StartTinyproxy(user, pass, &why),
                                                    vntest::StartSocks5(true, &why)};
    for (VNProxyType type : {VNPROXY_HTTP, VNPROXY_SOCKS5}) {
        ASSERT_NE(nullptr, proxies[type - 1]) << why;
        VNSetGlobalProxyInfo(type, "127.0.0.1", proxies[type - 1]->port, user, pass);
        Client c;
        Trust(c);
        std::string dst = m_dir + "/via" + std::to_string(type);
        ASSERT_TRUE(c->Download(U(Https(kGood, "/big.bin", "localhost")), U(dst), nullptr, 0));
        EXPECT_EQ(0u, c.sink.WaitCode()) << type;
        ASSERT_TRUE(c->Download(U(Https(kWrongHost, "/big.bin", "localhost")), nullptr));
        EXPECT_EQ(11u, c.sink.WaitCode(2)) << type;
        VNSetGlobalProxyInfo(VNPROXY_NONE, nullptr, 0, nullptr, nullptr);
        EXPECT_TRUE(s_files["big.bin"] == vntest::ReadTextFile(dst));
    }
}

namespace {

// A hostile TLS peer (tls_hostile.py) in one mode, serving with the good identity unless a
// chain is given.
std::unique_ptr<vntest::ExternalPeer> StartHostile(const std::string& mode,
                                                   const vntest::TestPki& pki, unsigned short* port,
                                                   std::string* why,
                                                   const std::string& chain = "") {
    std::string script = __FILE__;
    script = script.substr(0, script.rfind('/')) + "/tls_hostile.py";
    for (int i = 0; i < 3; ++i) {
        *port = vntest::FreeLoopbackPort();
        auto peer = vntest::ExternalPeer::Start(
            {"/usr/bin/python3", script, std::to_string(*port), mode, "--chain",
             chain.empty() ? pki.good.chain : chain, "--key", pki.good.key},
            *port, 10000, why);
        if (peer != nullptr) return peer;
    }
    return nullptr;
}

std::string HostileBody(size_t n) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i)
        s[i] = static_cast<char>(i % 251);
    return s;
}

}  // namespace

TEST_F(TlsClientTest, HostilePeers) {
    // A long chain of unrelated certificates is read past; one beyond what the client reads
    // of a handshake message (100 KiB) is refused, not swallowed.
    std::string huge = s_pki->HugeChain(40), tooHuge = s_pki->HugeChain(400);
    ASSERT_FALSE(huge.empty());
    ASSERT_FALSE(tooHuge.empty());
    struct Row {
        const char* mode;
        std::string chain;
        unsigned int code;  // the result
        int reason;         // GetTlsError after it
        std::string body;   // what the memory target holds on success
    } rows[] = {
        {"clean-close", "", 0, VNTLS_NONE, HostileBody(20000)},
        // A body that ends with the connection but without close_notify may have been cut by
        // someone in between: not complete.
        {"cut-close", "", 2, VNTLS_NONE, ""},
        {"cut-length", "", 2, VNTLS_NONE, ""},
        {"garbage", "", 11, VNTLS_PROTOCOL, ""},
        {"silent", "", 5, VNTLS_NONE, ""},
        {"split", "", 0, VNTLS_NONE, HostileBody(300)},
        {"chain", huge, 0, VNTLS_NONE, HostileBody(20000)},
        {"chain", tooHuge, 11, VNTLS_PROTOCOL, ""},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(std::string(r.mode) + " " + r.chain);
        unsigned short port = 0;
        std::string why;
        auto peer = StartHostile(r.mode, *s_pki, &port, &why, r.chain);
        ASSERT_NE(nullptr, peer) << why;
        Client c;
        Trust(c);
        // The connect time-out bounds a handshake that never ends; the data time-out is long.
        c->SetTimeout(800, 60000, 0);
        ASSERT_TRUE(c->Download(U("https://localhost:" + std::to_string(port) + "/x"), nullptr));
        EXPECT_EQ(r.code, c.sink.WaitCode());
        vn::strutf8 text;
        EXPECT_EQ(r.reason, c->GetTlsError(text)) << text.c_str();
        if (r.code == 0) {
            EXPECT_TRUE(r.body == c.Buffer());
        }
    }
}
