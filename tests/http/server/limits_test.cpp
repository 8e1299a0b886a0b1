// Limits and hostile peers: 200 connections at once and the 201st refused, slow-drip
// clients swept while another client is served, peers that close at any byte, and a soak
// run after which descriptors and resident memory are back where they started.
#include <gtest/gtest.h>

#include <memory>
#include <thread>

#include "http/server/vnhttpservertask_internal.h"
#include "server_test_util.h"
#include "support/log_capture.h"

namespace srvtest {
namespace {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
#else
constexpr bool kSanitized = false;
#endif

long ResidentKiB() {
    std::string s = vntest::ReadTextFile("/proc/self/status");
    size_t at = s.find("VmRSS:");
    return at == std::string::npos ? 0 : std::stol(s.substr(at + 6));
}

// Channels left by earlier tests hold thread slots until the sweep ends them; waits
// (bounded) until no channel exists. No event tells it: checked every 50 ms.
bool WaitNoChannels(int ms = 12000) {
    iotest::Waiter w;
    for (long long end = iotest::NowUs() + ms * 1000LL; iotest::NowUs() < end;) {
        if (CHttpServerChannel::GetChannelCount() == 0) return true;
        w.WaitFor([] { return false; }, 50);
    }
    return false;
}

class HttpServerLimits : public ServerTest {
protected:
    void SetUp() override {
        ServerTest::SetUp();
        RegisterAll();
        rec.SetOnRequest(
            [this](const Request& q) { srv->Accept_SendBuf(q.id, "pong", nullptr, false); });
    }
    void TearDown() override {
        ServerTest::TearDown();
        Quiesce();
    }
    static constexpr const char* kGet = "GET /ping HTTP/1.1\r\nHost: x\r\n\r\n";
    bool Ping(Client& c) {
        std::string a = c.Send(kGet) ? c.ReadAnswer() : std::string();
        return a.size() > 4 && a.compare(a.size() - 4, 4, "pong") == 0;
    }
};

TEST_F(HttpServerLimits, TwoHundredConnectionsThenRefusal) {
    ASSERT_TRUE(WaitNoChannels());
    std::vector<std::unique_ptr<Client>> held;
    for (int i = 0; i < 200; ++i) {
        held.emplace_back(new Client(port));
        ASSERT_TRUE(Ping(*held.back())) << "connection " << i;
    }
    size_t threads = 0;
    ASSERT_TRUE(OnServer([&] { threads = srv->GetThreadPool()->GetCount(); }));
    EXPECT_EQ(10u, threads);
    long long start = iotest::NowUs();
    Client extra(port);
    extra.Send(kGet);
    EXPECT_TRUE(extra.Read().empty());
    EXPECT_TRUE(extra.eof());
    EXPECT_LT(iotest::NowUs() - start, 2000000);
    EXPECT_TRUE(vntest::LogWaitFor("but not find easythread,close it...", kWaitMs));
    // Every held connection is still served.
    for (auto& c : held)
        EXPECT_TRUE(Ping(*c));
}

TEST_F(HttpServerLimits, DripClientsAreSweptWhileOthersAreServed) {
    ASSERT_TRUE(WaitNoChannels());
    const int kDrips = 100;
    std::vector<std::unique_ptr<Client>> drips;
    std::vector<long long> closedAt(kDrips, 0);
    long long start = iotest::NowUs();
    for (int i = 0; i < kDrips; ++i)
        drips.emplace_back(new Client(port));
    std::atomic<bool> stop{false};
    int served = 0, failed = 0;
    std::thread active([&] {
        Client c(port, 2000);
        while (!stop) {
            if (Ping(c)) {
                ++served;
            } else {
                ++failed;
            }
        }
    });
    // One byte a second from every drip client, looking for closes every 100 ms, until
    // the server has closed them all (bounded by 8 s).
    const std::string head = "GET /drip HTTP/1.1\r\nHost: x\r\n\r\n";
    int open = kDrips;
    iotest::Waiter pace;
    for (int tick = 0; open > 0 && tick < 80; ++tick) {
        for (int i = 0; i < kDrips; ++i) {
            if (closedAt[i] != 0) continue;
            if (drips[i]->PeerClosed()) {
                closedAt[i] = iotest::NowUs();
                --open;
            } else if (tick % 10 == 0) {
                drips[i]->Send(head.substr(static_cast<size_t>(tick / 10), 1));
            }
        }
        pace.WaitFor([] { return false; }, 100);
    }
    stop = true;
    active.join();
    EXPECT_EQ(0, open);
    for (long long t : closedAt) {
        EXPECT_GE(t - start, 2900000);
        EXPECT_LE(t - start, 6500000);
    }
    EXPECT_GT(served, 10);
    EXPECT_EQ(0, failed);
}

TEST_F(HttpServerLimits, PeerClosesAtAnyByte) {
    const std::string body(300, 'u');
    const std::string req = "POST /up HTTP/1.1\r\nContent-Length: 300\r\n\r\n" + body;
    rec.SetOnRequest([&](const Request& q) {
        rec.Accepted();
        srv->Accept_RecvFile(q.id, "", (dir + "/up" + std::to_string(q.id)).c_str(), &rec, false);
    });
    size_t heads = 0;
    for (size_t cut = 0; cut <= req.size(); cut += 7) {
        Client c(port);
        c.Send(req.substr(0, cut));
        c.Close();
        if (cut >= req.size() - body.size()) ++heads;
    }
    // Lengths that do not parse or overflow: the body is taken until the peer goes.
    for (const char* len : {"x", "99999999999999999999999", "18446744073709551615"}) {
        Client c(port);
        c.Send(std::string("POST /up HTTP/1.1\r\nContent-Length: ") + len + "\r\n\r\n" + body);
        c.Close();
        ++heads;
    }
    ASSERT_TRUE(rec.WaitRequests(heads));
    ASSERT_TRUE(rec.WaitSettled());
    for (const Completion& c : rec.Completions())
        EXPECT_TRUE(c.code == 0 || c.code == 2) << c.code;
}

TEST_F(HttpServerLimits, SoakKeepsDescriptorsAndMemory) {
    // 20,000 requests in two equal rounds; the second must end where the first did
    // (the first also warms up threads, pools and the allocator's arenas).
    const int kThreads = 4, kKeepAlive = 1500, kFresh = 1000;
    auto run = [&](int keepAlive, int fresh) {
        std::vector<std::thread> t;
        std::atomic<int> bad{0};
        for (int i = 0; i < kThreads; ++i) {
            t.emplace_back([&] {
                Client c(port);
                for (int n = 0; n < keepAlive; ++n)
                    bad += Ping(c) ? 0 : 1;
                for (int n = 0; n < fresh; ++n) {
                    Client f(port);
                    bad += Ping(f) ? 0 : 1;
                }
            });
        }
        for (auto& x : t)
            x.join();
        return bad.load();
    };
    EXPECT_EQ(0, run(kKeepAlive, kFresh));
    ASSERT_TRUE(WaitNoChannels());
    int fds = vntest::CountOpenDescriptors();
    long rss = ResidentKiB();
    EXPECT_EQ(0, run(kKeepAlive, kFresh));
    ASSERT_TRUE(WaitNoChannels());
    EXPECT_EQ(fds, vntest::CountOpenDescriptors());
    // Sanitizer runtimes keep freed memory in quarantine; the figure means something only
    // in a plain build.
    if (!kSanitized) {
        EXPECT_LT(ResidentKiB() - rss, 4 * 1024);
    }
}

}  // namespace
}  // namespace srvtest
