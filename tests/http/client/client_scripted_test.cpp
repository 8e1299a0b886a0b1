// The HTTP client against scripted peers, for answers real servers will not give on
// demand: heads and chunk sizes split byte by byte, trailers, malformed and over-long
// heads, bodies cut short and resumed, ranged requests answered in full, 416 twice,
// bodies ended by a close or by silence, redirect chains and loops.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "http/client/client_test_util.h"
#include "support/http_peers.h"
#include "support/log_capture.h"
#include "support/proxy_peers.h"

using namespace httptest;
using vntest::ReadUntil;
using vntest::ScriptedPeer;
using vntest::SendAll;

namespace {

// Sends text one byte per segment.
void SendBytewise(int fd, const std::string& s) {
    for (char c : s) {
        SendAll(fd, std::string(1, c));
        usleep(100);
    }
}

std::string Url(const ScriptedPeer& p, const std::string& path = "/f") {
    return "http://127.0.0.1:" + std::to_string(p.port()) + path;
}

// Texts the peer's thread records and the test reads.
class Shared {
public:
    void Set(size_t i, const std::string& s) {
        std::lock_guard<std::mutex> g(m_mu);
        if (m_v.size() <= i) m_v.resize(i + 1);
        m_v[i] = s;
    }
    std::string Get(size_t i) {
        std::lock_guard<std::mutex> g(m_mu);
        return i < m_v.size() ? m_v[i] : std::string();
    }

private:
    std::mutex m_mu;
    std::vector<std::string> m_v;
};

const char kOk5[] = "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhello";
const char kChunked[] =
    "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n"
    "3\r\nabc\r\nA\r\n0123456789\r\n0\r\n\r\n";

}  // namespace

TEST(HttpClientScripted, OneAnswerTable) {
    struct Row {
        const char* name;
        std::string answer;
        bool bytewise;
        bool closeAfter;  // else the peer stays silent until the client closes
        unsigned int code;
        std::string body;
    } rows[] = {
        {"length, bytewise", kOk5, true, false, 0, "hello"},
        {"chunked, bytewise", kChunked, true, false, 0, "abc0123456789"},
        {"chunked with trailer",
         "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\nTrailer: X-Sum\r\n\r\n"
         "2\r\nab\r\n0\r\nX-Sum: 1\r\n\r\n",
         true, false, 0, "ab"},
        {"no length, close", "HTTP/1.1 200 OK\r\n\r\nuntil close", false, true, 0, "until close"},
        {"no length, silence", "HTTP/1.1 200 OK\r\n\r\nthen silence", false, false, 0,
         "then silence"},
        {"length zero", "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n", false, false, 0, ""},
        {"status without HTTP", "HTXP/1.1 200 OK\r\nContent-Length: 1\r\n\r\nx", false, false, 2,
         ""},
        {"status without blanks", "HTTP/1.1\r\n\r\n", false, false, 2, ""},
        {"head without end", "HTTP/1.1 200 OK\r\nX: " + std::string(12000, 'a'), false, false, 2,
         ""},
        {"chunk size garbage", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nxyz\r\n",
         false, false, 2, ""},
        {"chunk size over 32 bits",
         "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n100000000\r\nabc", false, false, 2,
         ""},
        {"trailer over 2048 bytes",
         "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\nTrailer: X\r\n\r\n1\r\na\r\n0\r\nX: " +
             std::string(3000, 'b') + "\r\n\r\n",
         false, false, 2, ""},
        {"401", "HTTP/1.1 401 Unauthorized\r\nContent-Length: 0\r\n\r\n", false, false, 3, ""},
        {"close before status", "HTTP/1.1 2", false, true, 3, ""},
        {"close inside 500 body", "HTTP/1.1 500 Oops\r\nContent-Length: 9\r\n\r\nabc", false, true,
         3, ""},
        {"empty Location", "HTTP/1.1 302 Found\r\nLocation: \r\n\r\n", false, false, 7, ""},
        {"Location to https", "HTTP/1.1 302 Found\r\nLocation: https://127.0.0.1/x\r\n\r\n", false,
         false, 7, ""},
        {"Location to itself", "HTTP/1.1 301 Moved\r\nLocation: /f\r\n\r\n", false, false, 7, ""},
        {"100 Continue alone", "HTTP/1.1 100 Continue\r\n\r\n", false, false, 2, ""},
    };
    for (const Row& r : rows) {
        ScriptedPeer peer(1, [&](int fd, int) {
            ReadUntil(fd, "\r\n\r\n");
            if (r.bytewise)
                SendBytewise(fd, r.answer);
            else
                SendAll(fd, r.answer);
            if (!r.closeAfter) vntest::WaitPeerClose(fd, kWaitMs);
        });
        Client c;
        c->SetTimeout(5000, 300, 0);
        ASSERT_TRUE(c->Download(U(Url(peer)), nullptr)) << r.name;
        EXPECT_EQ(r.code, c.sink.WaitCode()) << r.name;
        if (r.code == 0) {
            EXPECT_EQ(r.body, c.Buffer()) << r.name;
        }
        c.Delete();
    }
}

namespace {

// A download into a file against a multi-connection script; the file afterwards.
struct FileCase {
    std::string dir = vntest::MakeTempDir("scripted");
    std::string path = dir + "/target.bin";
    ~FileCase() { vntest::RemoveTree(dir); }
};

std::string Source(size_t n) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i)
        s[i] = static_cast<char>('a' + (i * 7) % 26);
    return s;
}

}  // namespace

TEST(HttpClientScripted, BodyCutShortIsResumedWithARange) {
    const std::string src = Source(1000);
    FileCase fc;
    Shared heads;
    ScriptedPeer peer(2, [&](int fd, int i) {
        heads.Set(static_cast<size_t>(i), ReadUntil(fd, "\r\n\r\n"));
        if (i == 0) {
            SendAll(fd, "HTTP/1.1 200 OK\r\nContent-Length: 1000\r\n\r\n" + src.substr(0, 400));
            return;  // closed after 400 bytes
        }
        SendAll(fd,
                "HTTP/1.1 206 Partial Content\r\nContent-Range: bytes 400-999/1000\r\n"
                "Content-Length: 600\r\n\r\n" +
                    src.substr(400));
        vntest::WaitPeerClose(fd, kWaitMs);
    });
    Client c;
    ASSERT_TRUE(c->Download(U(Url(peer)), U(fc.path), nullptr, 0));
    EXPECT_EQ(0u, c.sink.WaitCode());
    c.Delete();
    EXPECT_EQ(src, vntest::ReadTextFile(fc.path));
    EXPECT_EQ(std::string::npos, heads.Get(0).find("Range:"));
    EXPECT_NE(std::string::npos, heads.Get(1).find("\r\nRange: bytes=400-\r\n")) << heads.Get(1);
}

TEST(HttpClientScripted, RangedRequestAnswers) {
    const std::string src = Source(1000);
    struct Row {
        const char* name;
        std::vector<std::string> answers;  // one per connection
        unsigned int code;
        std::string file;  // the target afterwards
    } rows[] = {
        // The full answer to a ranged request replaces the target, never extends it.
        {"200 to a range", {"HTTP/1.1 200 OK\r\nContent-Length: 1000\r\n\r\n" + src}, 0, src},
        // A part that does not start where the target ends is refused; the target stays.
        {"206 at the wrong offset",
         {"HTTP/1.1 206 Partial\r\nContent-Range: bytes 0-999/1000\r\nContent-Length: "
          "1000\r\n\r\n" +
          src},
         2,
         src.substr(0, 300)},
        {"206 without Content-Range",
         {"HTTP/1.1 206 Partial\r\nContent-Length: 700\r\n\r\n" + src.substr(300)},
         2,
         src.substr(0, 300)},
        // 416 empties the target and asks again from the start; a second 416 fails.
        {"416 then 416",
         {"HTTP/1.1 416 No\r\nContent-Length: 0\r\n\r\n",
          "HTTP/1.1 416 No\r\nContent-Length: 0\r\n\r\n"},
         2,
         ""},
        {"416 then 200",
         {"HTTP/1.1 416 No\r\nContent-Length: 0\r\n\r\n",
          "HTTP/1.1 200 OK\r\nContent-Length: 1000\r\n\r\n" + src},
         0,
         src},
    };
    for (const Row& r : rows) {
        FileCase fc;
        vntest::WriteTextFile(fc.path, src.substr(0, 300));
        Shared heads;
        ScriptedPeer peer(static_cast<int>(r.answers.size()), [&](int fd, int i) {
            heads.Set(static_cast<size_t>(i), ReadUntil(fd, "\r\n\r\n"));
            SendAll(fd, r.answers[static_cast<size_t>(i)]);
            vntest::WaitPeerClose(fd, kWaitMs);
        });
        Client c;
        ASSERT_TRUE(c->Download(U(Url(peer)), U(fc.path), nullptr, 1)) << r.name;
        EXPECT_EQ(r.code, c.sink.WaitCode()) << r.name;
        c.Delete();
        EXPECT_EQ(r.file, vntest::ReadTextFile(fc.path)) << r.name;
        EXPECT_NE(std::string::npos, heads.Get(0).find("Range: bytes=300-")) << r.name;
        if (r.answers.size() > 1) {
            EXPECT_EQ(std::string::npos, heads.Get(1).find("Range:")) << r.name;
        }
    }
}

TEST(HttpClientScripted, RedirectChains) {
    struct Row {
        int hops;  // redirects before the answer
        unsigned int code;
    } rows[] = {{5, 0}, {6, 2}};
    for (const Row& r : rows) {
        int conns = r.hops < 6 ? r.hops + 1 : 6;
        Shared lines;
        ScriptedPeer peer(conns, [&](int fd, int i) {
            std::string head = ReadUntil(fd, "\r\n\r\n");
            lines.Set(static_cast<size_t>(i), head.substr(0, head.find("\r\n")));
            if (i < r.hops)
                SendAll(fd, "HTTP/1.1 302 Found\r\nLocation: r" + std::to_string(i + 1) +
                                "?n=" + std::to_string(i) + "\r\nContent-Length: 0\r\n\r\n");
            else
                SendAll(fd, kOk5);
            vntest::WaitPeerClose(fd, kWaitMs);
        });
        Client c;
        ASSERT_TRUE(c->Download(U(Url(peer, "/d/r0")), nullptr));
        EXPECT_EQ(r.code, c.sink.WaitCode()) << r.hops;
        // Each target is resolved against the previous one: same folder, new query.
        EXPECT_EQ("GET /d/r1?n=0 HTTP/1.1", lines.Get(1));
        if (r.code == 0) {
            EXPECT_EQ("hello", c.Buffer());
        }
        // Every redirect is announced, the one over the budget too.
        EXPECT_EQ(r.hops, static_cast<int>(c.sink.Events().size()) - 1);
    }
}

TEST(HttpClientScripted, StaleKeptConnectionIsReplacedOnce) {
    // The first answer keeps the connection; the peer then closes it without a word
    // while the client is about to reuse it: the request goes out again on a new one.
    std::atomic<int> served{0};
    ScriptedPeer peer(2, [&](int fd, int i) {
        ReadUntil(fd, "\r\n\r\n");
        SendAll(fd, kOk5);
        if (i == 0) {
            ReadUntil(fd, "\r\n\r\n");  // the second request arrives on the kept connection
            ++served;
            return;  // and is dropped unanswered
        }
        vntest::WaitPeerClose(fd, kWaitMs);
    });
    Client c;
    c->SetNotifyMask(0x02);
    ASSERT_TRUE(c->Download(U(Url(peer)), nullptr));
    ASSERT_EQ(0u, c.sink.WaitCode());
    ASSERT_TRUE(c->Download(U(Url(peer)), nullptr));
    EXPECT_EQ(0u, c.sink.WaitCode(2));
    EXPECT_EQ("hello", c.Buffer());
    EXPECT_EQ(1, served.load());
}

TEST(HttpClientScripted, SynchronousRedirectSinkActions) {
    // The sink runs on the HTTP thread: it may change the target, Stop the client (no
    // deadlock, no report) or delete it (nothing of it is touched afterwards).
    enum Action { kChangeUrl, kStop, kDelete };
    for (Action action : {kChangeUrl, kStop, kDelete}) {
        Shared second;
        ScriptedPeer peer(action == kChangeUrl ? 2 : 1, [&](int fd, int i) {
            std::string head = ReadUntil(fd, "\r\n\r\n");
            second.Set(0, head.substr(0, head.find("\r\n")));
            SendAll(fd, i == 0 ? "HTTP/1.1 302 Found\r\nLocation: /other\r\n\r\n" : kOk5);
            vntest::WaitPeerClose(fd, kWaitMs);
        });
        Client c;
        c->SetSyncRedirect(1);
        std::string base = Url(peer, "");
        bool acted = false;  // guarded by c.sink.w
        c.sink.onRedirect = [&](IHttpClient* client, vn::strutf16& url) {
            if (action == kChangeUrl) url = U(base + "/chosen");
            if (action == kStop) client->Stop();
            if (action == kDelete) delete client;
            c.sink.w.Update([&] { acted = true; });
        };
        IHttpClient* client = c.c;
        if (action == kDelete) c.c = nullptr;  // the sink deletes it
        ASSERT_TRUE(client->Download(U(Url(peer)), nullptr)) << action;
        ASSERT_TRUE(c.sink.w.WaitFor([&] { return acted; })) << action;
        if (action == kChangeUrl) {
            EXPECT_EQ(0u, c.sink.WaitCode());
            c.Delete();
            EXPECT_EQ("GET /chosen HTTP/1.1", second.Get(0));
            continue;
        }
        if (action == kStop) {
            // The client takes a new request at once.
            c.notify.Run([&] { EXPECT_EQ(0, c->IsRunning()); });
            c.Delete();
        }
        c.notify.Run([] {});  // anything queued for the client has run (or was dropped)
        EXPECT_EQ(0u, c.sink.Completions()) << action;
    }
}

TEST(HttpClientScripted, PeerClosingAtEveryByte) {
    // Cut inside the head: closed before a status, 3. Cut inside the body: reconnected
    // three times (each answer cut again), then 2. Whole: 0. Always exactly one report.
    const std::string answer = kOk5;
    const size_t headLen = answer.find("\r\n\r\n") + 4;
    for (size_t cut = 0; cut <= answer.size(); ++cut) {
        bool inBody = cut >= headLen && cut < answer.size();
        int conns = inBody ? 4 : 1;
        ScriptedPeer peer(conns, [&](int fd, int) {
            ReadUntil(fd, "\r\n\r\n");
            SendAll(fd, answer.substr(0, cut));
            if (cut == answer.size()) vntest::WaitPeerClose(fd, kWaitMs);
        });
        Client c;
        ASSERT_TRUE(c->Download(U(Url(peer)), nullptr));
        unsigned int want = cut < headLen ? 3 : inBody ? 2 : 0;
        EXPECT_EQ(want, c.sink.WaitCode()) << cut;
        c.Delete();
        EXPECT_EQ(1u, c.sink.Completions()) << cut;
        EXPECT_EQ(conns, peer.accepted()) << cut;
    }
}

TEST(HttpClientScripted, EndlessBodyIntoMemoryStopsAtTheCap) {
    ScriptedPeer peer(1, [&](int fd, int) {
        ReadUntil(fd, "\r\n\r\n");
        std::string block(65536, 'x');
        // Streams until the client gives up (a send fails once it has closed).
        if (SendAll(fd, "HTTP/1.1 200 OK\r\n\r\n"))
            while (SendAll(fd, block)) {
            }
    });
    Client c;
    ASSERT_TRUE(c->Download(U(Url(peer)), nullptr));
    EXPECT_EQ(4u, c.sink.WaitCode(1, 60000));
}

TEST(HttpClientScripted, RawPostAndEveryNotification) {
    Shared got;
    const std::string head = "POST /raw HTTP/1.1\r\nHost: x\r\nContent-Length: 4\r\n\r\n";
    // One connection: the download after the post reuses it.
    ScriptedPeer peer(1, [&](int fd, int) {
        for (size_t i = 0;; ++i) {
            std::string h = ReadUntil(fd, "\r\n\r\n");
            if (h.empty()) return;
            got.Set(i, h.compare(0, 4, "POST") == 0 ? h + vntest::ReadExact(fd, 4) : h);
            SendAll(fd, kOk5);
        }
    });
    Client c;
    {
        // The host text is copied: the caller's buffer may go away at once.
        std::string host = "127.0.0.1";
        ASSERT_TRUE(
            c->Post(host.c_str(), peer.port(), vn::strutf8(head.c_str()), vn::strutf8("body")));
    }
    EXPECT_EQ(0u, c.sink.WaitCode());
    EXPECT_EQ(head + "body", got.Get(0));
    EXPECT_EQ("hello", c.Buffer());
    // With every bit of the mask set, a download reports each step in order.
    c->SetNotifyMask(0x1F);
    ASSERT_TRUE(c->Download(U(Url(peer)), nullptr));
    EXPECT_EQ(0u, c.sink.WaitCode(2));
    std::vector<std::string> want = {"complete 0", "connecting", "connected", "start 0/5",
                                     "complete 0"};
    EXPECT_EQ(want, c.sink.Events());
    EXPECT_EQ(1, c.sink.Progress());
    EXPECT_EQ(0u, got.Get(1).find("GET /f HTTP/1.1\r\n"));
}

TEST(HttpClientScripted, FailureStopsTheHttpThreadTwoSecondsLater) {
    Client c;
    vntest::LogClear();
    std::string url = "http://127.0.0.1:" + std::to_string(vntest::FreeLoopbackPort()) + "/";
    long long t0 = iotest::NowUs();
    ASSERT_TRUE(c->Download(U(url), nullptr));
    EXPECT_EQ(5u, c.sink.WaitCode());
    ASSERT_TRUE(vntest::LogWaitFor("..thread Exit..[HttpClient]", kWaitMs));
    EXPECT_GE(iotest::NowUs() - t0, 2000000);
    EXPECT_EQ(1u, vntest::LogCount("Timer of stop task timeout[200]"));
    // The next request makes a new thread.
    ASSERT_TRUE(c->Download(U(url), nullptr));
    EXPECT_EQ(5u, c.sink.WaitCode(2));
}
