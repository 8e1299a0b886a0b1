// The HTTP client across threads, against nginx: eight clients on two notification
// threads, each starting its next request from inside OnDownloadComplete; Stop from the
// notification thread in the middle of a transfer; a client deleted from inside
// OnDownloadComplete.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <memory>
#include <string>
#include <vector>

#include "http/client/client_test_util.h"
#include "support/http_peers.h"
#include "support/log_capture.h"

using namespace httptest;

namespace {

class ThreadsTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        vntest::NginxOptions o;
        o.serverExtra = "    location /slow/ { limit_rate 1m; }\n";
        std::string why;
        s_nginx = vntest::NginxPeer::Start(o, &why).release();
        if (s_nginx == nullptr) {
            s_why = why;
            return;
        }
        vntest::WritePatternFile(s_nginx->docroot() + "/f.bin", 512 * 1024 + 3, 7);
        mkdir((s_nginx->docroot() + "/slow").c_str(), 0755);
        vntest::WritePatternFile(s_nginx->docroot() + "/slow/f.bin", 4 * 1024 * 1024, 8);
    }
    static void TearDownTestSuite() {
        delete s_nginx;
        s_nginx = nullptr;
    }
    void SetUp() override { ASSERT_NE(nullptr, s_nginx) << s_why; }
    static vntest::NginxPeer* s_nginx;
    static std::string s_why;
};
vntest::NginxPeer* ThreadsTest::s_nginx = nullptr;
std::string ThreadsTest::s_why;

}  // namespace

TEST_F(ThreadsTest, EightClientsOnTwoNotificationThreads) {
    NotifyThread threads[2] = {NotifyThread("NotifyA"), NotifyThread("NotifyB")};
    const std::string url = s_nginx->Url("/f.bin");
    const std::string md5 = vntest::FileMd5(s_nginx->docroot() + "/f.bin");
    constexpr int kClients = 8, kRounds = 3;
    struct Slot {
        Recorder sink;
        IHttpClient* client = nullptr;
        std::vector<std::string> digests;  // guarded by sink.w
    };
    std::vector<std::unique_ptr<Slot>> slots;
    for (int i = 0; i < kClients; ++i) {
        slots.emplace_back(new Slot);
        Slot* s = slots.back().get();
        s->client = vn_create_httpclient(threads[i % 2].task());
        s->client->SetSink(&s->sink);
        // The next round starts from inside the sink and reuses the kept connection.
        s->sink.onComplete = [s, url](IHttpClient* c, unsigned int code) {
            const void* p = nullptr;
            unsigned int n = 0;
            std::string d = code == 0 && c->GetDownloadedBuffer(p, n)
                                ? vntest::BufferMd5(p, n)
                                : "code " + std::to_string(code);
            size_t done = 0;
            s->sink.w.Update([&] {
                s->digests.push_back(d);
                done = s->digests.size();
            });
            if (done < kRounds) {
                EXPECT_TRUE(c->Download(U(url), nullptr));
            }
        };
    }
    vntest::LogClear();
    for (auto& s : slots)
        ASSERT_TRUE(s->client->Download(U(url), nullptr));
    for (auto& s : slots) {
        ASSERT_TRUE(s->sink.w.WaitFor([&] { return s->digests.size() == kRounds; }));
        for (const std::string& d : s->digests)
            EXPECT_EQ(md5, d);
    }
    EXPECT_EQ(static_cast<size_t>(kClients), vntest::LogCount("<<<<>>>> Success"));
    for (int i = 0; i < kClients; ++i) {
        IHttpClient* c = slots[i]->client;
        EXPECT_TRUE(threads[i % 2].Run([c] { delete c; }));
    }
}

TEST_F(ThreadsTest, StopFromTheNotificationThreadMidTransfer) {
    Client c;
    c->SetNotifyMask(0x10);
    bool stopped = false;  // guarded by c.sink.w
    std::string dir = vntest::MakeTempDir("stop");
    // The first progress report stops the transfer; nothing else is reported for it.
    struct StopSink : Recorder {
        void OnProgress(IHttpClient* client, unsigned long long, unsigned long long,
                        unsigned int) override {
            client->Stop();
            w.Update([&] { *flag = true; });
        }
        bool* flag = nullptr;
    } stopSink;
    stopSink.flag = &stopped;
    c->SetSink(&stopSink);
    ASSERT_TRUE(c->Download(U(s_nginx->Url("/slow/f.bin")), U(dir + "/f.bin"), nullptr, 0));
    ASSERT_TRUE(stopSink.w.WaitFor([&] { return stopped; }));
    c.notify.Run([&] { EXPECT_EQ(0, c->IsRunning()); });
    // The client is usable again at once.
    c->SetSink(&c.sink);
    c->SetNotifyMask(0x08);
    ASSERT_TRUE(c->Download(U(s_nginx->Url("/f.bin")), nullptr));
    EXPECT_EQ(0u, c.sink.WaitCode());
    EXPECT_EQ(0u, stopSink.Completions());
    c.Delete();
    vntest::RemoveTree(dir);
}

TEST_F(ThreadsTest, DeletedInsideOnDownloadComplete) {
    NotifyThread notify;
    Recorder sink;
    IHttpClient* client = vn_create_httpclient(notify.task());
    client->SetSink(&sink);
    bool deleted = false;  // guarded by sink.w
    sink.onComplete = [&](IHttpClient* c, unsigned int) {
        delete c;
        sink.w.Update([&] { deleted = true; });
    };
    ASSERT_TRUE(client->Download(U(s_nginx->Url("/f.bin")), nullptr));
    ASSERT_TRUE(sink.w.WaitFor([&] { return deleted; }));
    EXPECT_EQ(1u, sink.Completions());
}
