// The HTTP client against Debian's nginx: downloads into files and memory (checked by MD5),
// ranges and resume, If-Modified-Since, error statuses, relative redirects, keep-alive
// reuse and a stale kept connection, progress under limit_rate, and proxies.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <string>

#include "http/client/client_test_util.h"
#include "net/vnsocketi.h"
#include "support/http_peers.h"
#include "support/log_capture.h"
#include "support/proxy_peers.h"

using namespace httptest;

namespace {

const char kServerExtra[] =
    "    location = /gone { return 503; }\n"
    "    location = /r301 { return 301 big.bin; }\n"
    "    location = /sub/r302 { return 302 ../big.bin; }\n"
    "    location = /loop { return 302 /loop; }\n"
    "    location /slow/ { limit_rate 4m; }\n"
    "    location /crawl/ { limit_rate 100; }\n";

class NginxClientTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        vntest::NginxOptions o;
        o.keepaliveSeconds = 1;
        o.serverExtra = kServerExtra;
        o.httpExtra = "  if_modified_since before;\n";
        std::string why;
        s_nginx = vntest::NginxPeer::Start(o, &why).release();
        if (s_nginx == nullptr) {
            s_why = why;
            return;
        }
        vntest::WritePatternFile(s_nginx->docroot() + "/big.bin", 3 * 1024 * 1024 + 17, 1);
        vntest::WritePatternFile(s_nginx->docroot() + "/small.bin", 1000, 2);
        vntest::WriteTextFile(s_nginx->docroot() + "/empty.txt", "");
        mkdir((s_nginx->docroot() + "/slow").c_str(), 0755);
        mkdir((s_nginx->docroot() + "/crawl").c_str(), 0755);
        vntest::WritePatternFile(s_nginx->docroot() + "/slow/2m.bin", 2 * 1024 * 1024, 3);
        vntest::WritePatternFile(s_nginx->docroot() + "/crawl/1k.bin", 1000, 4);
    }
    static void TearDownTestSuite() {
        delete s_nginx;
        s_nginx = nullptr;
    }
    void SetUp() override {
        ASSERT_NE(nullptr, s_nginx) << s_why;
        m_dir = vntest::MakeTempDir("httpclient");
    }
    void TearDown() override { vntest::RemoveTree(m_dir); }

    std::string Src(const std::string& name) { return s_nginx->docroot() + "/" + name; }
    std::string Url(const std::string& path) { return s_nginx->Url(path); }

    static vntest::NginxPeer* s_nginx;
    static std::string s_why;
    std::string m_dir;
};
vntest::NginxPeer* NginxClientTest::s_nginx = nullptr;
std::string NginxClientTest::s_why;

}  // namespace

TEST_F(NginxClientTest, DownloadToFileDeliversOnlyCompletion) {
    Client c;
    std::string dst = m_dir + "/big.bin";
    ASSERT_TRUE(c->Download(U(Url("/big.bin")), U(dst), nullptr, 0));
    EXPECT_EQ(0u, c.sink.WaitCode());
    EXPECT_EQ(vntest::FileMd5(Src("big.bin")), vntest::FileMd5(dst));
    // The default mask delivers OnDownloadComplete only.
    EXPECT_EQ(std::vector<std::string>{"complete 0"}, c.sink.Events());
    c.notify.Run([&] { EXPECT_EQ(0, c->IsRunning()); });
}

TEST_F(NginxClientTest, DownloadToMemoryAndStatusCodes) {
    struct Row {
        const char* path;
        unsigned int code;
        const char* body;  // source file whose bytes must arrive, or null
    } rows[] = {
        {"/small.bin", 0, "small.bin"}, {"/empty.txt", 0, nullptr}, {"/missing", 7, nullptr},
        {"/gone", 8, nullptr},          {"/r301", 0, "big.bin"},    {"/sub/r302", 0, "big.bin"},
        {"/loop", 7, nullptr},
    };
    Client c;
    for (const Row& r : rows) {
        size_t n = c.sink.Completions();
        ASSERT_TRUE(c->Download(U(Url(r.path)), nullptr)) << r.path;
        EXPECT_EQ(r.code, c.sink.WaitCode(n + 1)) << r.path;
        if (r.body != nullptr) {
            std::string got = c.Buffer();
            EXPECT_EQ(vntest::FileMd5(Src(r.body)), vntest::BufferMd5(got.data(), got.size()))
                << r.path;
        }
    }
}

TEST_F(NginxClientTest, HostListForms) {
    Client c;
    // A name and the address it resolves to give one address to try.
    vn::strutf16 hosts[] = {u"localhost", u"127.0.0.1"};
    vn::strutf16 port = U(std::to_string(s_nginx->port()));
    vntest::LogClear();
    ASSERT_TRUE(c->HttpRequestToBuffer(u"/small.bin", port, hosts, 2, HTTPMETHOD_GET, nullptr, 0));
    EXPECT_EQ(0u, c.sink.WaitCode());
    EXPECT_EQ(1000u, c.Buffer().size());
    EXPECT_EQ(1u, vntest::LogCount("unique ip of vecIPs:"));
    std::string dst = m_dir + "/list.bin";
    ASSERT_TRUE(c->Download(u"/big.bin", port, hosts + 1, 1, U(dst), nullptr, 0));
    EXPECT_EQ(0u, c.sink.WaitCode(2));
    EXPECT_EQ(vntest::FileMd5(Src("big.bin")), vntest::FileMd5(dst));

    // Refusals report nothing.
    EXPECT_FALSE(c->HttpRequestToBuffer(u"/", port, hosts, 2, 2, nullptr, 0));
    EXPECT_EQ(1u, vntest::LogCount("nMethod[2] should be HTTPMETHOD_GET[0] or HTTPMETHOD_POST[1]"));
    EXPECT_FALSE(c->Download(u"/", port, nullptr, 0, U(dst), nullptr, 0));
    EXPECT_EQ(1u, vntest::LogCount("Download:strHost is empty"));
    EXPECT_EQ(nullptr, vn_create_httpclient(nullptr));
    // A URL that cannot be cracked is accepted, then reported with 10.
    ASSERT_TRUE(c->Download(u"10.0.0.1/a", nullptr));
    EXPECT_EQ(10u, c.sink.WaitCode(3));
    EXPECT_EQ(3u, c.sink.Completions());
}

TEST_F(NginxClientTest, KeptConnectionIsReusedThenGoesStale) {
    Client c;
    c->SetNotifyMask(0x02);
    vntest::LogClear();
    for (int i = 1; i <= 3; ++i) {
        ASSERT_TRUE(c->Download(U(Url("/small.bin")), nullptr));
        ASSERT_EQ(0u, c.sink.WaitCode(i));
    }
    // Three requests, one connection.
    EXPECT_EQ(1u, vntest::LogCount("<<<<>>>> Success"));
    // nginx drops the idle connection after its 1 s keep-alive time-out; the client sees
    // the close and connects afresh for the next request.
    ASSERT_TRUE(vntest::LogWaitFor("OnClose", kWaitMs));
    ASSERT_TRUE(c->Download(U(Url("/small.bin")), nullptr));
    EXPECT_EQ(0u, c.sink.WaitCode(4));
    EXPECT_EQ(2u, vntest::LogCount("<<<<>>>> Success"));
    EXPECT_EQ("1000", std::to_string(c.Buffer().size()));
}

TEST_F(NginxClientTest, ResumeAsksForTheRestAndTruncatesWithoutResume) {
    std::string src = Src("big.bin"), dst = m_dir + "/part.bin";
    std::string all = vntest::ReadTextFile(src);
    Client c;
    c->SetNotifyMask(0x04);
    for (int resume = 1; resume >= 0; --resume) {
        vntest::WriteTextFile(dst, all.substr(0, 1000));
        vntest::LogClear();
        size_t n = c.sink.Completions();
        ASSERT_TRUE(c->Download(U(Url("/big.bin")), U(dst), nullptr, resume));
        EXPECT_EQ(0u, c.sink.WaitCode(n + 1));
        EXPECT_EQ(vntest::FileMd5(src), vntest::FileMd5(dst)) << resume;
        EXPECT_EQ(resume ? 1u : 0u, vntest::LogCount("Range: bytes=1000-")) << resume;
    }
    EXPECT_TRUE(c.sink.Has("start 1000/" + std::to_string(all.size())));
    EXPECT_TRUE(c.sink.Has("start 0/" + std::to_string(all.size())));
}

TEST_F(NginxClientTest, IfModifiedSinceGivesNotModified) {
    Client c;
    SYSTEMTIME future = {2100, 1, 5, 1, 0, 0, 0, 0};  // 1 Jan 2100 is a Friday
    ASSERT_TRUE(c->Download(U(Url("/small.bin")), &future));
    EXPECT_EQ(1u, c.sink.WaitCode());
    SYSTEMTIME past = {2000, 1, 6, 1, 0, 0, 0, 0};
    ASSERT_TRUE(c->Download(U(Url("/small.bin")), &past));
    EXPECT_EQ(0u, c.sink.WaitCode(2));
    EXPECT_EQ(1000u, c.Buffer().size());
}

TEST_F(NginxClientTest, SecondStartWhileRunningIsRefused) {
    Client c;
    vntest::LogClear();
    ASSERT_TRUE(c->Download(U(Url("/big.bin")), U(m_dir + "/a.bin"), nullptr, 0));
    EXPECT_FALSE(c->Download(U(Url("/small.bin")), nullptr));
    EXPECT_EQ(1u, vntest::LogCount("Error Download,m_bRunning[1]"));
    EXPECT_EQ(0u, c.sink.WaitCode());
    EXPECT_EQ(vntest::FileMd5(Src("big.bin")), vntest::FileMd5(m_dir + "/a.bin"));
}

TEST_F(NginxClientTest, ProgressUnderLimitRate) {
    Client c;
    c->SetNotifyMask(0x10);
    ASSERT_TRUE(c->Download(U(Url("/slow/2m.bin")), U(m_dir + "/2m.bin"), nullptr, 0));
    EXPECT_EQ(0u, c.sink.WaitCode());
    EXPECT_GE(c.sink.Progress(), 2);
    unsigned long long done = 0, total = 0;
    c.sink.w.Read([&] {
        done = c.sink.lastDone;
        total = c.sink.lastTotal;
        return 0;
    });
    EXPECT_EQ(2u * 1024 * 1024, done);
    EXPECT_EQ(2u * 1024 * 1024, total);
    EXPECT_EQ(vntest::FileMd5(Src("slow/2m.bin")), vntest::FileMd5(m_dir + "/2m.bin"));
}

TEST_F(NginxClientTest, StalledBodyUsesTheReconnectAllowance) {
    // 100 bytes a second: the body stalls for longer than the 200 ms data time-out.
    struct Row {
        unsigned int allowance;
        size_t retries;
    } rows[] = {{0, 0}, {2, 2}};
    for (const Row& r : rows) {
        Client c;
        c->SetTimeout(5000, 200, r.allowance);
        vntest::LogClear();
        ASSERT_TRUE(c->Download(U(Url("/crawl/1k.bin")), nullptr));
        EXPECT_EQ(5u, c.sink.WaitCode()) << r.allowance;
        EXPECT_EQ(r.retries, vntest::LogCount("RetryConnect URL")) << r.allowance;
        EXPECT_EQ(1u, vntest::LogCount("<= 0,FAIL")) << r.allowance;
    }
}

namespace {

// Sets the process-wide proxy for the scope of a test.
struct GlobalProxy {
    GlobalProxy(VNProxyType t, unsigned short port, const char* user, const char* pass) {
        VNSetGlobalProxyInfo(t, "127.0.0.1", port, user, pass);
    }
    ~GlobalProxy() { VNSetGlobalProxyInfo(VNPROXY_NONE, nullptr, 0, nullptr, nullptr); }
};

}  // namespace

TEST_F(NginxClientTest, DownloadThroughTinyproxyWithCredentials) {
    std::string why;
    std::unique_ptr<vntest::ProxyPeer> proxy = vntest::StartTinyproxy("alice", "s3cret", &why);
    ASSERT_NE(nullptr, proxy) << why;
    GlobalProxy g(VNPROXY_HTTP, proxy->port, "alice", "s3cret");
    Client c;
    std::string dst = m_dir + "/via-http.bin";
    ASSERT_TRUE(c->Download(U(Url("/big.bin")), U(dst), nullptr, 0));
    EXPECT_EQ(0u, c.sink.WaitCode());
    EXPECT_EQ(vntest::FileMd5(Src("big.bin")), vntest::FileMd5(dst));
}

TEST_F(NginxClientTest, DownloadThroughDanted) {
    std::string why;
    // The process-wide strings cannot be cleared once set (an empty argument keeps them), so
    // the proxy is given credentials of its own whenever the account for them exists.
    bool withUser = vntest::DantedUserUsable(&why);
    std::unique_ptr<vntest::ProxyPeer> proxy = vntest::StartDanted(withUser, &why);
    ASSERT_NE(nullptr, proxy) << why;
    GlobalProxy g(VNPROXY_SOCKS5, proxy->port, withUser ? vntest::kDantedUser : nullptr,
                  withUser ? vntest::kDantedPassword : nullptr);
    Client c;
    std::string dst = m_dir + "/via-socks.bin";
    ASSERT_TRUE(c->Download(U(Url("/big.bin")), U(dst), nullptr, 0));
    EXPECT_EQ(0u, c.sink.WaitCode());
    EXPECT_EQ(vntest::FileMd5(Src("big.bin")), vntest::FileMd5(dst));
}
