// The server on a TLS port: curl and the library's own client against it (answers, kept
// connections with one handshake each, uploads and ranges), old protocols refused as
// `openssl s_client` asks for them, and hostile peers: plain text, silence, a handshake and a
// request split at every byte, garbage records. None of them stalls another connection.
#include <gtest/gtest.h>
#include <openssl/ssl.h>

#include <memory>
#include <string>

#include "http/client/client_test_util.h"
#include "net/vntlscontext_internal.h"
#include "server_test_util.h"
#include "support/http_peers.h"
#include "support/tls_peer.h"
#include "support/tls_pki.h"

namespace srvtest {
namespace {

class HttpServerTls : public ServerTest {
protected:
    static void SetUpTestSuite() { s_pki = vntest::TestPki::Make(&s_why); }
    static void TearDownTestSuite() { s_pki.reset(); }
    void SetUp() override {
        ASSERT_NE(nullptr, s_pki) << s_why;
        ASSERT_TRUE(
            srv->ListenTls(0, 0, &port, s_pki->good.chain.c_str(), s_pki->good.key.c_str()));
        ASSERT_TRUE(WaitListening(true));
        RegisterAll();
    }
    std::string Https(const std::string& path) const {
        return "https://127.0.0.1:" + std::to_string(port) + path;
    }
    // Answers every request with its own request line.
    void Echo() {
        rec.SetOnRequest([this](const Event& q) {
            rec.Accepted();
            srv->Accept_SendBuf(q.id, q.head.substr(0, q.head.find("\r\n")).c_str(), &rec, false);
        });
    }
    std::string Curl(std::vector<std::string> args) {
        args.insert(args.begin(),
                    {"curl", "-s", "--cacert", s_pki->caFile, "-w", "\\n%{http_code}"});
        std::string out;
        EXPECT_EQ(0, RunProgram(args, 10, &out));
        return out;
    }
    static unsigned long long Handshakes() {
        return vn::detail::GetTlsCounters().uHandshakes.load();
    }

    static inline std::unique_ptr<vntest::TestPki> s_pki;
    static inline std::string s_why;
};

}  // namespace

TEST_F(HttpServerTls, RefusesCertificatesThatDoNotLoad) {
    unsigned short other = 0;
    EXPECT_FALSE(srv->ListenTls(0, 0, &other, "/nonexistent.pem", s_pki->good.key.c_str()));
    // The authority's certificate with the leaf's key: they do not belong together.
    EXPECT_FALSE(srv->ListenTls(0, 0, &other, s_pki->caFile.c_str(), s_pki->good.key.c_str()));
    EXPECT_FALSE(srv->ListenTls(0, 0, &other, nullptr, nullptr));
}

TEST_F(HttpServerTls, AnswersCurlOverKeptConnections) {
    if (!vntest::HaveProgram("/usr/bin/curl")) GTEST_SKIP() << "curl is not installed";
    Echo();
    unsigned long long before = Handshakes();
    // Three requests of one curl share its connection: one handshake on the server's side.
    EXPECT_EQ("GET /a HTTP/1.1\n200GET /b HTTP/1.1\n200GET /c HTTP/1.1\n200",
              Curl({Https("/a"), Https("/b"), Https("/c")}));
    EXPECT_TRUE(rec.WaitSettled());
    EXPECT_EQ(before + 1, Handshakes());
    EXPECT_EQ("GET /d HTTP/1.1\n200", Curl({"--tlsv1.2", "--tls-max", "1.2", Https("/d")}));
    // curl's name check passes for the names the certificate carries.
    std::string resolve = "localhost:" + std::to_string(port) + ":127.0.0.1";
    EXPECT_EQ("GET /e HTTP/1.1\n200",
              Curl({"--resolve", resolve, "https://localhost:" + std::to_string(port) + "/e"}));
}

TEST_F(HttpServerTls, UploadsAndRangesWithTheLibrarysClient) {
    std::string content = vntest::PatternBytes(700000, 3), file = dir + "/served.bin";
    ASSERT_TRUE(vntest::WriteTextFile(file, content));
    std::string received = dir + "/received.bin";
    rec.SetOnRequest([&](const Event& q) {
        rec.Accepted();
        if (q.head.find("POST") == 0) {
            srv->Accept_RecvFile(q.id, "stored", received.c_str(), &rec, false);
        } else {
            srv->Accept_SendFile(q.id, file.c_str(), &rec, false);
        }
    });
    httptest::Client c;
    ASSERT_TRUE(c->SetTlsCaFile(s_pki->caFile.c_str()));
    ASSERT_TRUE(c->Upload(httptest::U(Https("/up")), content.data(),
                          static_cast<unsigned int>(content.size())));
    ASSERT_EQ(0u, c.sink.WaitCode(1));
    EXPECT_EQ("stored", c.Buffer());
    EXPECT_TRUE(rec.WaitSettled());
    EXPECT_TRUE(content == vntest::ReadTextFile(received));
    // Resume: the client asks for the rest of what its file holds.
    std::string dst = dir + "/partial.bin";
    ASSERT_TRUE(vntest::WriteTextFile(dst, content.substr(0, 123457)));
    ASSERT_TRUE(c->Download(httptest::U(Https("/file")), httptest::U(dst), nullptr, 1));
    ASSERT_EQ(0u, c.sink.WaitCode(2));
    EXPECT_TRUE(content == vntest::ReadTextFile(dst));
    EXPECT_TRUE(rec.WaitSettled());
}

TEST_F(HttpServerTls, RefusesOldProtocols) {
    if (!vntest::HaveProgram("/usr/bin/openssl")) GTEST_SKIP() << "openssl is not installed";
    std::string target = "127.0.0.1:" + std::to_string(port);
    for (const char* version : {"-tls1", "-tls1_1"}) {
        SCOPED_TRACE(version);
        std::string out;
        // SECLEVEL=0 lets this OpenSSL offer the old versions at all.
        int rc = RunProgram({"/bin/sh", "-c",
                             std::string("openssl s_client -connect ") + target + " " + version +
                                 " -cipher DEFAULT@SECLEVEL=0 </dev/null 2>&1"},
                            10, &out);
        EXPECT_NE(0, rc) << out;
        // s_client names the version it tried; no cipher was agreed on.
        EXPECT_NE(std::string::npos, out.find("Cipher is (NONE)")) << out;
        EXPECT_EQ(std::string::npos, out.find("BEGIN CERTIFICATE")) << out;
    }
    std::string out;
    EXPECT_EQ(
        0, RunProgram({"/bin/sh", "-c",
                       "openssl s_client -connect " + target + " -tls1_2 -brief </dev/null 2>&1"},
                      10, &out));
    EXPECT_NE(std::string::npos, out.find("TLSv1.2")) << out;
    // The same with the test client: TLS 1.1 at most is refused.
    vntest::TlsTestClient old(port, "");
    EXPECT_FALSE(old.Handshake(TLS1_1_VERSION));
}

TEST_F(HttpServerTls, HostilePeersNeverStallOthers) {
    Echo();
    // Plain text on a TLS port: closed at once, never answered in plain text.
    Client plain(port);
    ASSERT_TRUE(plain.Send("GET /plain HTTP/1.1\r\nHost: x\r\n\r\n"));
    std::string got = plain.ReadAll();
    EXPECT_EQ(std::string::npos, got.find("HTTP/1.1")) << got;
    // A peer that connects and says nothing, and one that stops inside its ClientHello.
    Client silent(port);
    Client partial(port);
    ASSERT_TRUE(partial.Send(std::string("\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03", 11)));
    // Meanwhile other connections are served, one of them split at every byte.
    vntest::TlsTestClient split(port, s_pki->caFile, 1);
    ASSERT_TRUE(split.Handshake()) << split.error();
    ASSERT_TRUE(split.Write("GET /split HTTP/1.1\r\nHost: localhost\r\n\r\n"));
    std::string answer = split.ReadAnswer();
    EXPECT_NE(std::string::npos, answer.find("\r\n\r\nGET /split HTTP/1.1")) << answer;
    // Garbage records after a good handshake end that connection only.
    vntest::TlsTestClient garbage(port, s_pki->caFile);
    ASSERT_TRUE(garbage.Handshake()) << garbage.error();
    ASSERT_TRUE(garbage.SendRaw(vntest::PatternBytes(3000, 5)));
    EXPECT_TRUE(garbage.WaitClosed(kWaitMs));
    vntest::TlsTestClient good(port, s_pki->caFile);
    ASSERT_TRUE(good.Handshake()) << good.error();
    ASSERT_TRUE(good.Write("GET /good HTTP/1.1\r\nHost: localhost\r\n\r\n"));
    answer = good.ReadAnswer();
    EXPECT_NE(std::string::npos, answer.find("GET /good HTTP/1.1")) << answer;
    // The idle sweep closes the silent ones (the head time-out, 5 s).
    EXPECT_TRUE(vntest::PollFor([&] { return silent.Closed(); }, 8000));
    EXPECT_TRUE(vntest::PollFor([&] { return partial.Closed(); }, 3000));
    EXPECT_TRUE(rec.WaitSettled());
}

}  // namespace srvtest
