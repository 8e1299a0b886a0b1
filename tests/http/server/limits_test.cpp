// Limits and hostile peers: 200 connections at once and the 201st refused, slow-drip and
// unanswered clients swept while another client is served, peers that close at any byte,
// and load (wrk and fresh connections) after which descriptors and memory are back where
// they were.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <regex>
#include <thread>

#include "http/server/vnhttpservertask_internal.h"
#include "server_test_util.h"
#include "support/log_capture.h"

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define VN_TEST_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define VN_TEST_SANITIZED 1
#endif
#endif

namespace srvtest {
namespace {

// Channels left by earlier tests hold thread slots until the sweep ends them.
bool WaitNoChannels() {
    return vntest::PollFor([] { return CHttpServerChannel::GetChannelCount() == 0; }, 12000);
}

class HttpServerLimits : public ServerTest {
protected:
    void SetUp() override {
        ServerTest::SetUp();
        RegisterAll();
        // Requests for "/never" are left unanswered.
        rec.SetOnRequest([this](const Event& q) {
            if (q.head.find("GET /never") != 0) srv->Accept_SendBuf(q.id, "pong", nullptr, false);
        });
        ASSERT_TRUE(WaitNoChannels());
    }
    static bool Ping(Client& c) {
        std::string a = c.Send("GET /ping HTTP/1.1\r\nHost: x\r\n\r\n") ? c.ReadAnswer() : "";
        return a.size() > 4 && a.compare(a.size() - 4, 4, "pong") == 0;
    }
};

TEST_F(HttpServerLimits, TwoHundredConnectionsThenRefusal) {
    std::vector<std::unique_ptr<Client>> held;
    for (int i = 0; i < 200; ++i) {
        held.emplace_back(new Client(port));
        ASSERT_TRUE(Ping(*held.back())) << "connection " << i;
    }
    long long start = iotest::NowUs();
    Client extra(port);
    EXPECT_FALSE(Ping(extra));
    EXPECT_TRUE(extra.Closed());
    EXPECT_LT(iotest::NowUs() - start, 2000000);
    // Every held connection is still served.
    for (auto& c : held)
        EXPECT_TRUE(Ping(*c));
}

TEST_F(HttpServerLimits, DripAndUnansweredClientsAreSweptWhileOthersAreServed) {
    // 50 clients send a head one byte a second, one sends a whole request nobody answers;
    // the new set's limit is 3 s, checked every second.
    const std::string head = "GET /drip HTTP/1.1\r\nHost: x\r\n\r\n";
    std::vector<std::unique_ptr<Client>> drips;
    long long start = iotest::NowUs();
    for (int i = 0; i <= 50; ++i)
        drips.emplace_back(new Client(port));
    ASSERT_TRUE(drips[50]->Send("GET /never HTTP/1.1\r\nHost: x\r\n\r\n"));
    std::atomic<bool> stop{false};
    std::atomic<int> served{0}, failed{0};
    std::thread active([&] {
        for (Client c(port); !stop;)
            ++(Ping(c) ? served : failed);
    });
    iotest::Waiter pace;
    for (int tick = 0; !drips.empty() && tick < 80; ++tick) {  // every 100 ms, at most 8 s
        for (size_t i = 0; i < drips.size(); ++i) {
            if (!drips[i]->Closed()) {
                if (tick % 10 == 0) drips[i]->Send(head.substr(static_cast<size_t>(tick / 10), 1));
                continue;
            }
            long long t = iotest::NowUs() - start;
            EXPECT_TRUE(t >= 2900000 && t <= 6500000) << t;
            drips.erase(drips.begin() + static_cast<long>(i--));
        }
        pace.WaitFor([] { return false; }, 100);
    }
    stop = true;
    active.join();
    EXPECT_TRUE(drips.empty());
    EXPECT_GT(served, 10);
    EXPECT_EQ(0, failed);
}

TEST_F(HttpServerLimits, PeerClosesAtAnyByte) {
    const std::string body(300, 'u');
    const std::string req = "POST /up HTTP/1.1\r\nHost: x\r\nContent-Length: 300\r\n\r\n" + body;
    rec.SetOnRequest([&](const Event& q) {
        rec.Accepted();
        srv->Accept_RecvFile(q.id, "", (dir + "/up" + std::to_string(q.id)).c_str(), &rec, false);
    });
    size_t heads = 0;
    auto send = [&](const std::string& s) {
        Client(port).Send(s);
        heads += s.find("\r\n\r\n") != std::string::npos;
    };
    for (size_t cut = 0; cut < req.size(); cut += 7)
        send(req.substr(0, cut));
    send(req);
    ASSERT_TRUE(rec.WaitRequests(heads));
    ASSERT_TRUE(rec.WaitSettled());
    // A body cut short can never complete (2); only the whole request does (0), and only
    // its file is left in the folder.
    std::vector<Event> done = rec.Completions();
    ASSERT_EQ(heads, done.size());
    std::vector<std::string> complete;
    size_t cut = 0;
    for (const Event& c : done) {
        if (c.code == 0) complete.push_back("up" + std::to_string(c.id));
        cut += c.code == 2;
    }
    // Exactly one outcome each: the whole request 0, every cut one 2.
    ASSERT_EQ(1u, complete.size());
    EXPECT_EQ(heads - 1, cut);
    EXPECT_EQ(complete, vntest::ListDir(dir));
    EXPECT_EQ(body, vntest::ReadTextFile(dir + "/" + complete[0]));
}

TEST_F(HttpServerLimits, LoadLeavesDescriptorsAndMemory) {
    if (!vntest::HaveProgram("/usr/bin/wrk")) GTEST_SKIP() << "wrk is not installed";
    // A second of wrk on 50 kept connections, without an error; it also warms up threads,
    // pools and the allocator's arenas.
    std::string out;
    EXPECT_EQ(0, RunProgram({"wrk", "-t2", "-c50", "-d1s", Url("/w")}, 30, &out));
    std::smatch m;
    EXPECT_TRUE(std::regex_search(out, m, std::regex("(\\d+) requests in")) &&
                std::stoll(m[1].str()) > 100 && out.find("Socket errors") == std::string::npos &&
                out.find("Non-2xx") == std::string::npos)
        << out;
    // Then two equal rounds of 1,000 fresh connections and 1,000 requests on kept ones:
    // the second ends where the first did.
    auto round = [&] {
        std::atomic<int> good{0};
        std::vector<std::thread> t(4);
        for (auto& x : t)
            x = std::thread([&] {
                Client kept(port);
                for (int n = 0; n < 250; ++n) {
                    Client fresh(port);
                    good += Ping(fresh) + Ping(kept);
                }
            });
        for (auto& x : t)
            x.join();
        EXPECT_EQ(2000, good.load());
        EXPECT_TRUE(WaitNoChannels());
        std::string status = vntest::ReadTextFile("/proc/self/status");
        return std::stol(status.substr(status.find("VmRSS:") + 6));
    };
    long rss = round();
    int fds = vntest::CountOpenDescriptors();
    rss = round() - rss;
    EXPECT_EQ(fds, vntest::CountOpenDescriptors());
#ifndef VN_TEST_SANITIZED  // sanitizer runtimes keep freed memory in quarantine
    EXPECT_LT(rss, 4 * 1024);
#endif
}

}  // namespace
}  // namespace srvtest
