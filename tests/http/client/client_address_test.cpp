// The HTTP client's way to a server: names resolved off its thread by a resolver the tests
// replace (one that never answers must not hold Stop, delete or the connect time-out),
// Happy Eyeballs order and its 250 ms fallback past an address that drops SYNs, IPv6 URLs,
// pinned names, and SOCKS5 with the name resolved by the proxy (microsocks) or locally.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "http/client/client_test_util.h"
#include "http/client/vnhttptcpconnector_internal.h"
#include "net/vnnet.h"
#include "net/vnresolver_internal.h"
#include "net/vnsocketi.h"
#include "support/http_peers.h"
#include "support/proxy_peers.h"

using namespace httptest;

namespace {

// Answers the names it was told about at once (an empty list: no such name) and never
// answers any other. Hung lookups are answered empty when it goes, so that nothing waits
// on it for ever.
typedef std::map<std::string, std::vector<std::string>> Answers;

class FakeResolver : public vn::detail::IResolver {
public:
    explicit FakeResolver(Answers answers)
        : m_answers(std::move(answers)), m_before(vn::detail::SetResolver(this)) {}
    ~FakeResolver() override {
        vn::detail::SetResolver(m_before);
        std::vector<Reply> hung;
        m_w.Update([&] { hung.swap(m_hung); });
        for (Reply& r : hung)
            r({});
    }
    void Lookup(const std::string& host, Reply reply) override {
        auto it = m_answers.find(host);
        if (it == m_answers.end()) {
            m_w.Update([&] { m_hung.push_back(std::move(reply)); });
            return;
        }
        reply(it->second);
    }
    size_t Hung() {
        return m_w.Read([&] { return m_hung.size(); });
    }
    bool WaitHung(size_t n) {
        return m_w.WaitFor([&] { return m_hung.size() >= n; });
    }

private:
    Answers m_answers;
    vn::detail::IResolver* m_before;
    iotest::Waiter m_w;
    std::vector<Reply> m_hung;  // guarded by m_w
};

long long ElapsedMs(long long startUs) {
    return (iotest::NowUs() - startUs) / 1000;
}

class AddressTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        vntest::NginxOptions o;
        o.ipv6 = true;
        s_nginx = vntest::NginxPeer::Start(o, &s_why);
        if (s_nginx == nullptr) return;
        s_body = vntest::PatternBytes(5000, 3);
        vntest::WriteTextFile(s_nginx->docroot() + "/small.bin", s_body);
    }
    static void TearDownTestSuite() { s_nginx.reset(); }
    void SetUp() override { ASSERT_NE(nullptr, s_nginx) << s_why; }

    static inline std::unique_ptr<vntest::NginxPeer> s_nginx;
    static inline std::string s_why;
    static inline std::string s_body;
};

}  // namespace

TEST(HttpConnector, HappyEyeballsOrder) {
    using V = std::vector<std::string>;
    struct Row {
        V in, out;
    } rows[] = {
        {{}, {}},
        {{"::1", "::2", "1.1.1.1", "2.2.2.2", "3.3.3.3"},
         {"::1", "1.1.1.1", "::2", "2.2.2.2", "3.3.3.3"}},
        {{"1.1.1.1", "::1", "::2", "::3"}, {"1.1.1.1", "::1", "::2", "::3"}},
        {{"1.1.1.1", "2.2.2.2"}, {"1.1.1.1", "2.2.2.2"}},
        {{"2.2.2.2", "1.1.1.1", "::9"}, {"2.2.2.2", "::9", "1.1.1.1"}},
    };
    for (const Row& r : rows)
        EXPECT_EQ(r.out, CHttpTCPConnector::HappyEyeballsOrder(r.in));
}

TEST_F(AddressTest, AResolverThatNeverAnswersHoldsNothing) {
    FakeResolver resolver{Answers()};
    Client c;
    c->SetTimeout(400, 60000, 0);
    // The connect time-out ends the wait for the name.
    long long start = iotest::NowUs();
    ASSERT_TRUE(
        c->Download(U("http://hang.invalid:" + std::to_string(s_nginx->port()) + "/x"), nullptr));
    EXPECT_EQ(5u, c.sink.WaitCode(1));
    EXPECT_LT(ElapsedMs(start), 5000);
    // Stop and delete while a lookup hangs return at once.
    c->SetTimeout(60000, 60000, 0);
    ASSERT_TRUE(c->Download(U("http://hang2.invalid/x"), nullptr));
    ASSERT_TRUE(resolver.WaitHung(2));
    start = iotest::NowUs();
    c->Stop();
    EXPECT_LT(ElapsedMs(start), 1000);
    ASSERT_TRUE(c->Download(U("http://hang3.invalid/x"), nullptr));
    ASSERT_TRUE(resolver.WaitHung(3));
    start = iotest::NowUs();
    c.Delete();
    EXPECT_LT(ElapsedMs(start), 1000);
    EXPECT_EQ(1u, c.sink.Completions());
}

TEST_F(AddressTest, AnAddressThatDropsSynsIsPassedIn250Ms) {
    // 127.0.0.1 on the [::1] port: a listener whose backlog is full, so that the kernel
    // drops every further SYN (the attempt would wait for its whole time-out).
    unsigned short port = s_nginx->v6Port();
    int dead = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa = vntest::LoopbackAddr(port);
    ASSERT_EQ(0, bind(dead, reinterpret_cast<sockaddr*>(&sa), sizeof(sa)));
    ASSERT_EQ(0, listen(dead, 0));
    std::vector<int> fillers;
    for (int i = 0; i < 2; ++i) {
        fillers.push_back(socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
        connect(fillers.back(), reinterpret_cast<sockaddr*>(&sa), sizeof(sa));
    }
    FakeResolver resolver(Answers{{"dual.invalid", {"127.0.0.1", "::1"}}});
    Client c;
    c->SetTimeout(5000, 60000, 0);
    long long start = iotest::NowUs();
    ASSERT_TRUE(
        c->Download(U("http://dual.invalid:" + std::to_string(port) + "/small.bin"), nullptr));
    EXPECT_EQ(0u, c.sink.WaitCode(1));
    EXPECT_TRUE(s_body == c.Buffer());
    // Well before the first attempt's 5 s time-out.
    EXPECT_LT(ElapsedMs(start), 2500);
    for (int fd : fillers)
        close(fd);
    close(dead);
}

TEST_F(AddressTest, Ipv6UrlsAndPinnedNames) {
    FakeResolver resolver(Answers{{"nowhere.invalid", {}}});
    Client c;
    ASSERT_TRUE(c->Download(U(s_nginx->UrlV6("/small.bin")), nullptr));
    EXPECT_EQ(0u, c.sink.WaitCode(1));
    EXPECT_TRUE(s_body == c.Buffer());
    // A pinned name never reaches the resolver; the URL still names it.
    std::string port = std::to_string(s_nginx->port()), v6Port = std::to_string(s_nginx->v6Port());
    for (const char* bad : {"nowhere.invalid", "nowhere.invalid:80", ":80:127.0.0.1",
                            "h:0:127.0.0.1", "h:80:", "h:80:localhost", "h:x:127.0.0.1"}) {
        EXPECT_FALSE(c->AddResolve(bad)) << bad;
    }
    ASSERT_TRUE(c->AddResolve(("NOWHERE.invalid:" + port + ":127.0.0.1").c_str()));
    ASSERT_TRUE(c->AddResolve(("nowhere.invalid:" + v6Port + ":[::1]").c_str()));
    for (const std::string& p : {port, v6Port}) {
        size_t n = c.sink.Completions();
        ASSERT_TRUE(c->Download(U("http://nowhere.invalid:" + p + "/small.bin"), nullptr));
        EXPECT_EQ(0u, c.sink.WaitCode(n + 1)) << p;
    }
    ASSERT_TRUE(c->AddResolve(nullptr));
    ASSERT_TRUE(c->Download(U("http://nowhere.invalid:" + port + "/small.bin"), nullptr));
    EXPECT_EQ(5u, c.sink.WaitCode(4));
    for (const char* url :
         {"http://[::1/x", "http://[127.0.0.1]/x", "http://[::1]x/", "http://::1/x"}) {
        size_t n = c.sink.Completions();
        ASSERT_TRUE(c->Download(U(url), nullptr));
        EXPECT_EQ(10u, c.sink.WaitCode(n + 1)) << url;
    }
}

TEST_F(AddressTest, Socks5NamesResolvedByTheProxyOrHere) {
    std::string why;
    std::unique_ptr<vntest::ProxyPeer> socks = vntest::StartSocks5(true, &why);
    ASSERT_NE(nullptr, socks) << why;
    // Here, "localhost" has no address: only the proxy can find it.
    FakeResolver resolver(Answers{{"localhost", {}}});
    VNSetGlobalProxyInfo(VNPROXY_SOCKS5, "127.0.0.1", socks->port, vntest::kSocksUser,
                         vntest::kSocksPassword);
    std::string url = "http://localhost:" + std::to_string(s_nginx->port()) + "/small.bin";
    struct Row {
        bool remote;
        unsigned int code;
    } rows[] = {{true, 0}, {false, 5}};
    for (const Row& r : rows) {
        VNSetGlobalProxyRemoteNames(r.remote);
        Client c;  // a connection of its own (a kept one would be used again)
        ASSERT_TRUE(c->Download(U(url), nullptr));
        EXPECT_EQ(r.code, c.sink.WaitCode()) << r.remote;
        EXPECT_TRUE(r.code != 0 || s_body == c.Buffer());
    }
    VNSetGlobalProxyRemoteNames(false);
    VNSetGlobalProxyInfo(VNPROXY_NONE, nullptr, 0, nullptr, nullptr);
}
