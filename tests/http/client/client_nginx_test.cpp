// The HTTP client against Debian's nginx: downloads into files and memory, error statuses
// and relative redirects, host lists, resume and truncation, If-Modified-Since, progress
// under limit_rate, proxies, and clients on two notification threads that start, stop and
// delete themselves from inside their sinks.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "http/client/client_test_util.h"
#include "net/vnsocketi.h"
#include "support/http_peers.h"
#include "support/log_capture.h"
#include "support/proxy_peers.h"

using namespace httptest;

namespace {

class NginxClientTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        vntest::NginxOptions o;
        o.serverExtra =
            "    location = /gone { return 503; }\n"
            "    location = /r301 { return 301 big.bin; }\n"
            "    location = /sub/r302 { return 302 ../big.bin; }\n"
            "    location = /loop { return 302 /loop; }\n"
            "    location /slow/ { limit_rate 4m; }\n";
        o.httpExtra = "  if_modified_since before;\n";
        s_nginx = vntest::NginxPeer::Start(o, &s_why);
        if (s_nginx == nullptr) return;
        mkdir((s_nginx->docroot() + "/slow").c_str(), 0755);
        std::pair<const char*, size_t> files[] = {
            {"big.bin", 3 * 1024 * 1024 + 17}, {"small.bin", 1000}, {"slow/2m.bin", 2 << 20}};
        for (auto& f : files) {
            s_files[f.first] = vntest::PatternBytes(f.second, static_cast<unsigned>(f.second));
            vntest::WriteTextFile(s_nginx->docroot() + "/" + f.first, s_files[f.first]);
        }
        vntest::WriteTextFile(s_nginx->docroot() + "/empty.txt", "");
    }
    void SetUp() override { ASSERT_NE(nullptr, s_nginx) << s_why; }
    void TearDown() override { vntest::RemoveTree(m_dir); }
    static std::string Url(const std::string& path) { return s_nginx->Url(path); }

    static inline std::unique_ptr<vntest::NginxPeer> s_nginx;  // stopped at exit
    static inline std::string s_why;
    static inline std::map<std::string, std::string> s_files;  // served bytes by name
    std::string m_dir = vntest::MakeTempDir("httpclient");
};

}  // namespace

TEST_F(NginxClientTest, DownloadsStatusCodesAndHostLists) {
    struct Row {
        const char* path;
        bool toFile;
        unsigned int code;
        const char* body;  // served file whose bytes must arrive, or null
    } rows[] = {
        {"/small.bin", false, 0, "small.bin"}, {"/big.bin", true, 0, "big.bin"},
        {"/empty.txt", false, 0, nullptr},     {"/missing", false, 7, nullptr},
        {"/gone", false, 8, nullptr},          {"/r301", false, 0, "big.bin"},
        {"/sub/r302", true, 0, "big.bin"},     {"/loop", false, 7, nullptr},
    };
    Client c;
    for (const Row& r : rows) {
        SCOPED_TRACE(r.path);
        size_t n = c.sink.Completions();
        std::string dst = m_dir + "/" + std::to_string(n);
        ASSERT_TRUE(r.toFile ? c->Download(U(Url(r.path)), U(dst), nullptr, 0)
                             : c->Download(U(Url(r.path)), nullptr));
        EXPECT_EQ(r.code, c.sink.WaitCode(n + 1));
        EXPECT_TRUE(!r.body ||
                    s_files[r.body] == (r.toFile ? vntest::ReadTextFile(dst) : c.Buffer()));
    }
    // The default mask delivers OnDownloadComplete only; the client is idle after it.
    for (const std::string& e : c.sink.Events())
        EXPECT_TRUE(e.find("complete ") == 0 || e.find("redirect ") == 0) << e;
    c.notify.Run([&] { EXPECT_EQ(0, c->IsRunning()); });

    // Host lists: a name and the address it resolves to give one address to try.
    vn::strutf16 hosts[] = {u"localhost", u"127.0.0.1"};
    vn::strutf16 port = U(std::to_string(s_nginx->port()));
    ASSERT_TRUE(c->HttpRequestToBuffer(u"/small.bin", port, hosts, 2, HTTPMETHOD_GET, nullptr, 0));
    EXPECT_EQ(0u, c.sink.WaitCode(9));
    EXPECT_TRUE(s_files["small.bin"] == c.Buffer());
    std::string dst = m_dir + "/list.bin";
    ASSERT_TRUE(c->Download(u"/big.bin", port, hosts + 1, 1, U(dst), nullptr, 0));
    EXPECT_EQ(0u, c.sink.WaitCode(10));
    EXPECT_TRUE(s_files["big.bin"] == vntest::ReadTextFile(dst));
    // One request at a time: a start while one runs (on a peer that never answers, so that
    // it surely still runs) is refused; Stop ends the first without a report.
    unsigned short silentPort = 0;
    int silent = vntest::BindLoopback(SOCK_STREAM, &silentPort);
    ASSERT_EQ(0, listen(silent, 1));
    ASSERT_TRUE(c->Download(U("http://127.0.0.1:" + std::to_string(silentPort) + "/"), nullptr));
    EXPECT_FALSE(c->Download(U(Url("/small.bin")), nullptr));
    c->Stop();
    close(silent);
    // Refusals report nothing; a URL that cannot be cracked is accepted, then reported with 10.
    EXPECT_FALSE(c->HttpRequestToBuffer(u"/", port, hosts, 2, 2, nullptr, 0));
    EXPECT_FALSE(c->Download(u"/", port, nullptr, 0, U(dst), nullptr, 0));
    EXPECT_EQ(nullptr, vn_create_httpclient(nullptr));
    ASSERT_TRUE(c->Download(u"10.0.0.1/a", nullptr));
    EXPECT_EQ(10u, c.sink.WaitCode(11));
    EXPECT_EQ(11u, c.sink.Completions());
}

TEST_F(NginxClientTest, ResumeAsksForTheRestAndTruncatesWithoutResume) {
    const std::string& all = s_files["big.bin"];
    std::string dst = m_dir + "/part.bin";
    Client c;
    c->SetNotifyMask(0x04);
    for (int resume = 1; resume >= 0; --resume) {
        vntest::WriteTextFile(dst, all.substr(0, 1000));
        size_t n = c.sink.Completions();
        ASSERT_TRUE(c->Download(U(Url("/big.bin")), U(dst), nullptr, resume));
        EXPECT_EQ(0u, c.sink.WaitCode(n + 1));
        EXPECT_TRUE(all == vntest::ReadTextFile(dst)) << resume;
    }
    std::vector<std::string> want = {"start 1000/" + std::to_string(all.size()), "complete 0",
                                     "start 0/" + std::to_string(all.size()), "complete 0"};
    EXPECT_EQ(want, c.sink.Events());
    // If-Modified-Since: 304 before the file's time (1 Jan 2100 is a Friday), 200 after.
    SYSTEMTIME future = {2100, 1, 5, 1, 0, 0, 0, 0}, past = {2000, 1, 6, 1, 0, 0, 0, 0};
    ASSERT_TRUE(c->Download(U(Url("/small.bin")), &future));
    EXPECT_EQ(1u, c.sink.WaitCode(3));
    ASSERT_TRUE(c->Download(U(Url("/small.bin")), &past));
    EXPECT_EQ(0u, c.sink.WaitCode(4));
    EXPECT_EQ(1000u, c.Buffer().size());
}

TEST_F(NginxClientTest, ProgressThroughProxies) {
    // Both proxies demand the same credentials: the process-wide strings cannot be cleared.
    const char *user = vntest::kSocksUser, *pass = vntest::kSocksPassword;
    std::string why;
    std::unique_ptr<vntest::ProxyPeer> proxies[] = {vntest::StartTinyproxy(user, pass, &why),
                                                    vntest::StartSocks5(true, &why)};
    for (VNProxyType type : {VNPROXY_HTTP, VNPROXY_SOCKS5}) {
        ASSERT_NE(nullptr, proxies[type - 1]) << why;
        VNSetGlobalProxyInfo(type, "127.0.0.1", proxies[type - 1]->port, user, pass);
        Client c;
        c->SetNotifyMask(0x10);
        std::string dst = m_dir + "/via" + std::to_string(type);
        ASSERT_TRUE(c->Download(U(Url("/slow/2m.bin")), U(dst), nullptr, 0));
        EXPECT_EQ(0u, c.sink.WaitCode()) << type;
        VNSetGlobalProxyInfo(VNPROXY_NONE, nullptr, 0, nullptr, nullptr);
        EXPECT_TRUE(s_files["slow/2m.bin"] == vntest::ReadTextFile(dst));
        // limit_rate spreads the body over several reports; the last one is whole.
        std::vector<std::string> e = c.sink.Events();
        ASSERT_GE(e.size(), 3u);
        EXPECT_EQ("progress 2097152/2097152", e[e.size() - 2]);
    }
}

TEST_F(NginxClientTest, ClientsActFromInsideTheirSinks) {
    // Eight clients on two notification threads; each starts its next round from inside
    // OnDownloadComplete (reusing its kept connection) and deletes itself after the last.
    iotest::IOThread threads[2] = {iotest::IOThread("NotifyA"), iotest::IOThread("NotifyB")};
    constexpr size_t kClients = 8, kRounds = 3;
    Recorder sinks[kClients];
    vntest::LogClear();
    for (size_t i = 0; i < kClients; ++i) {
        Recorder* s = &sinks[i];
        s->onComplete = [s](IHttpClient* c, unsigned int code) {
            const void* p = nullptr;
            unsigned int n = 0;
            EXPECT_TRUE(code == 0 && c->GetDownloadedBuffer(p, n) &&
                        s_files.at("small.bin") == std::string(static_cast<const char*>(p), n));
            if (s->Completions() < kRounds) {
                EXPECT_TRUE(c->Download(U(Url("/small.bin")), nullptr));
            } else {
                delete c;
                s->Add("deleted");
            }
        };
        IHttpClient* c = vn_create_httpclient(threads[i % 2].task());
        c->SetSink(s);
        ASSERT_TRUE(c->Download(U(Url("/small.bin")), nullptr));
    }
    for (Recorder& s : sinks)
        ASSERT_TRUE(s.WaitEvent("deleted"));
    EXPECT_EQ(kClients, vntest::LogCount("<<<<>>>> Success"));  // one connection each

    // The first progress report stops a transfer; nothing else is reported for it, and
    // the client takes the next request at once.
    Client c;
    c->SetNotifyMask(0x10);
    bool stopped = false;  // used on c.notify only
    c.sink.onProgress = [&](IHttpClient* client) {
        if (stopped) return;
        stopped = true;
        client->Stop();
        c.sink.Add("stopped");
    };
    ASSERT_TRUE(c->Download(U(Url("/slow/2m.bin")), U(m_dir + "/stopped"), nullptr, 0));
    ASSERT_TRUE(c.sink.WaitEvent("stopped"));
    c->SetNotifyMask(0x08);
    ASSERT_TRUE(c->Download(U(Url("/small.bin")), nullptr));
    EXPECT_EQ(0u, c.sink.WaitCode());
    std::vector<std::string> e = c.sink.Events();
    ASSERT_EQ(3u, e.size());
    EXPECT_EQ(0u, e[0].find("progress "));
    EXPECT_EQ("complete 0", e[2]);
}
