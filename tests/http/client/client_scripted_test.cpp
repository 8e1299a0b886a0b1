// The HTTP client against scripted peers, for answers real servers will not give on
// demand: heads and chunk sizes split byte by byte, trailers, malformed and over-long
// heads, bodies cut short, stalled or resumed, ranged requests answered in full, 416 twice,
// bodies ended by a close or by silence, redirect chains and loops.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
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

std::string Url(const ScriptedPeer& p, const std::string& path = "/f") {
    return "http://127.0.0.1:" + std::to_string(p.port()) + path;
}

const char kOk5[] = "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhello";

}  // namespace

TEST(HttpClientScripted, OneAnswerTable) {
    const std::string ok = "HTTP/1.1 200 OK\r\n", chunked = ok + "Transfer-Encoding: chunked\r\n";
    struct Row {
        const char* name;
        unsigned int code;
        char how;  // 'b': one byte per segment; 'c': closed after; 's': silent after
        std::string answer, body;
    } rows[] = {
        {"length, bytewise", 0, 'b', kOk5, "hello"},
        {"chunked, bytewise", 0, 'b', chunked + "\r\n3\r\nabc\r\nA\r\n0123456789\r\n0\r\n\r\n",
         "abc0123456789"},
        {"chunked with trailer", 0, 'b', chunked + "Trailer: X\r\n\r\n2\r\nab\r\n0\r\nX: 1\r\n\r\n",
         "ab"},
        {"bytes past the length", 0, 's', kOk5 + std::string("EXTRA"), "hello"},
        {"no length, close", 0, 'c', ok + "\r\nuntil close", "until close"},
        {"no length, silence", 0, 's', ok + "\r\nthen silence", "then silence"},
        {"length zero", 0, 's', ok + "Content-Length: 0\r\n\r\n", ""},
        {"status without HTTP", 2, 's', "HTXP/1.1 200 OK\r\nContent-Length: 1\r\n\r\nx", ""},
        {"status without blanks", 2, 's', "HTTP/1.1\r\n\r\n", ""},
        {"head without end", 2, 's', ok + "X: " + std::string(12000, 'a'), ""},
        {"chunk size garbage", 2, 's', chunked + "\r\nxyz\r\n", ""},
        {"chunk size over 63 bits", 2, 's', chunked + "\r\n8000000000000000\r\nabc", ""},
        {"trailer over 2048 bytes", 2, 's',
         chunked + "Trailer: X\r\n\r\n1\r\na\r\n0\r\nX: " + std::string(3000, 'b') + "\r\n\r\n",
         ""},
        {"401", 3, 's', "HTTP/1.1 401 Unauthorized\r\nContent-Length: 0\r\n\r\n", ""},
        {"close inside 500 body", 3, 'c', "HTTP/1.1 500 Oops\r\nContent-Length: 9\r\n\r\nabc", ""},
        {"empty Location", 7, 's', "HTTP/1.1 302 Found\r\nLocation: \r\n\r\n", ""},
        {"Location to ftp", 7, 's', "HTTP/1.1 302 Found\r\nLocation: ftp://127.0.0.1/x\r\n\r\n",
         ""},
        {"Location to itself", 7, 's', "HTTP/1.1 301 Moved\r\nLocation: /f\r\n\r\n", ""},
        // An interim answer is skipped: the final one never comes, as if nothing came.
        {"100 Continue alone", 5, 's', "HTTP/1.1 100 Continue\r\n\r\n", ""},
        {"interim answers first", 0, 'b',
         "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 103 Early Hints\r\nLink: </a>\r\n\r\n" +
             std::string(kOk5),
         "hello"},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        ScriptedPeer peer(1, [&](int fd, int) {
            ReadUntil(fd, "\r\n\r\n");
            size_t step = r.how == 'b' ? 1 : r.answer.size();
            for (size_t i = 0; i < r.answer.size(); i += step) {
                SendAll(fd, r.answer.substr(i, step));
                if (r.how == 'b') usleep(100);
            }
            if (r.how != 'c') vntest::WaitPeerClose(fd, kWaitMs);
        });
        Client c;
        c->SetTimeout(5000, 300, 0);
        ASSERT_TRUE(c->Download(U(Url(peer)), nullptr));
        EXPECT_EQ(r.code, c.sink.WaitCode());
        EXPECT_EQ(r.body, r.code == 0 ? c.Buffer() : "");
    }
}

TEST(HttpClientScripted, RangedAndResumedAnswers) {
    const std::string src = vntest::PatternBytes(1000, 1);
    const std::string ok = "HTTP/1.1 200 OK\r\nContent-Length: 1000\r\n\r\n" + src;
    const std::string no = "HTTP/1.1 416 No\r\nContent-Length: 0\r\n\r\n";
    const std::string cut = ok.substr(0, ok.size() - 600);  // 400 bytes of the body
    // A 206 with the bytes from `from`, saying they start at `says` (-1: no Content-Range).
    auto part = [&](size_t from, int says) {
        std::string range = "Content-Range: bytes " + std::to_string(says) + "-999/1000\r\n";
        return "HTTP/1.1 206 Partial\r\n" + (says < 0 ? "" : range) +
               "Content-Length: " + std::to_string(1000 - from) + "\r\n\r\n" + src.substr(from);
    };
    struct Row {
        const char* name;
        size_t have;                       // bytes of src the target holds at the start
        std::vector<std::string> answers;  // one per connection; the first of two is cut
        std::vector<std::string> ranges;   // the Range each request asks for ("" none)
        unsigned int code;
        size_t file;  // bytes of src the target holds afterwards
    } rows[] = {
        {"cut, then resumed", 0, {cut, part(400, 400)}, {"", "400-"}, 0, 1000},
        // The full answer to a ranged request replaces the target, never extends it.
        {"200 to a range", 300, {ok}, {"300-"}, 0, 1000},
        // A part that does not start where the target ends is refused; the target stays.
        {"206 at the wrong offset", 300, {part(0, 0)}, {"300-"}, 2, 300},
        {"206 without Content-Range", 300, {part(300, -1)}, {"300-"}, 2, 300},
        // 416 asks again from the start; a second 416 fails, and the target is left as it
        // was: only a body for it touches it.
        {"416 then 416", 300, {no, no}, {"300-", ""}, 2, 300},
        {"416 then 200", 300, {no, ok}, {"300-", ""}, 0, 1000},
        // An error answer never reaches a file target.
        {"500 to a resumed file",
         300,
         {"HTTP/1.1 500 Oops\r\nContent-Length: 5\r\n\r\nerror"},
         {"300-"},
         2,
         300},
        {"404 to a resumed file",
         300,
         {"HTTP/1.1 404 No\r\nContent-Length: 5\r\n\r\nerror"},
         {"300-"},
         7,
         300},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        std::string dir = vntest::MakeTempDir("scripted"), path = dir + "/target";
        vntest::WriteTextFile(path, src.substr(0, r.have));
        Heads heads;
        ScriptedPeer peer(static_cast<int>(r.answers.size()), [&](int fd, int i) {
            heads.Read(fd);
            SendAll(fd, r.answers[static_cast<size_t>(i)]);
            if (i > 0 || r.have > 0) vntest::WaitPeerClose(fd, kWaitMs);
        });
        Client c;
        ASSERT_TRUE(c->Download(U(Url(peer)), U(path), nullptr, r.have > 0));
        EXPECT_EQ(r.code, c.sink.WaitCode());
        c.Delete();
        EXPECT_TRUE(src.substr(0, r.file) == vntest::ReadTextFile(path));
        for (size_t i = 0; i < r.ranges.size(); ++i) {
            size_t at = heads.Get(i).find("\r\nRange: bytes=");
            EXPECT_EQ(r.ranges[i], at == std::string::npos ? "" : heads.Get(i).substr(at + 15, 4));
        }
        vntest::RemoveTree(dir);
    }
}

TEST(HttpClientScripted, StalledBodyUsesTheReconnectAllowance) {
    for (unsigned int allowance : {0u, 2u}) {
        // Each connection sends part of the body, then nothing while the client waits.
        ScriptedPeer peer(static_cast<int>(allowance) + 1, [&](int fd, int) {
            ReadUntil(fd, "\r\n\r\n");
            SendAll(fd, "HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\nabc");
            vntest::WaitPeerClose(fd, kWaitMs);
        });
        Client c;
        c->SetTimeout(5000, 200, allowance);
        ASSERT_TRUE(c->Download(U(Url(peer)), nullptr));
        EXPECT_EQ(5u, c.sink.WaitCode()) << allowance;
        c.Delete();
        EXPECT_EQ(static_cast<int>(allowance) + 1, peer.accepted());
    }
}

TEST(HttpClientScripted, RedirectChains) {
    for (int hops : {5, 6}) {  // the budget is five redirects
        Heads heads;
        ScriptedPeer peer(std::min(hops + 1, 6), [&](int fd, int i) {
            heads.Read(fd);
            SendAll(fd, i == hops
                            ? kOk5
                            : "HTTP/1.1 302 Found\r\nLocation: r" + std::to_string(i + 1) +
                                  "?n=" + std::to_string(i) + "\r\nContent-Length: 0\r\n\r\n");
            vntest::WaitPeerClose(fd, kWaitMs);
        });
        Client c;
        ASSERT_TRUE(c->Download(U(Url(peer, "/d/r0")), nullptr));
        EXPECT_EQ(hops == 5 ? 0u : 2u, c.sink.WaitCode()) << hops;
        // Each target is resolved against the previous one: same folder, new query.
        EXPECT_EQ("GET /d/r1?n=0 HTTP/1.1", heads.Line(1));
        EXPECT_EQ(hops == 5 ? "hello" : "", c.Buffer());
        // Every redirect is announced, the one over the budget too.
        EXPECT_EQ(hops, static_cast<int>(c.sink.Events().size()) - 1);
    }
}

TEST(HttpClientScripted, KeptConnectionsClosedByThePeer) {
    // The first connection closes once idle; the second keeps its answer's connection, then
    // closes it without a word when the client reuses it: the request goes out again.
    std::atomic<int> dropped{0};
    ScriptedPeer peer(3, [&](int fd, int i) {
        ReadUntil(fd, "\r\n\r\n");
        SendAll(fd, kOk5);
        if (i == 1 && !ReadUntil(fd, "\r\n\r\n").empty()) ++dropped;
        if (i == 2) vntest::WaitPeerClose(fd, kWaitMs);
    });
    Client c;
    for (size_t n = 1; n <= 3; ++n) {
        ASSERT_TRUE(c->Download(U(Url(peer)), nullptr));
        ASSERT_EQ(0u, c.sink.WaitCode(n));
    }
    EXPECT_EQ("hello", c.Buffer());
    EXPECT_EQ(1, dropped.load());
}

TEST(HttpClientScripted, SynchronousRedirectSinkActions) {
    // The sink runs on the HTTP thread: it may change the target (u), Stop the client (s: no
    // deadlock, no report, a new request is taken at once) or delete it (d: nothing of it
    // is touched afterwards).
    for (char action : {'u', 's', 'd'}) {
        Heads heads;
        ScriptedPeer peer(action == 'u' ? 2 : 1, [&](int fd, int i) {
            heads.Read(fd);
            SendAll(fd, i == 0 ? "HTTP/1.1 302 Found\r\nLocation: /other\r\n\r\n" : kOk5);
            vntest::WaitPeerClose(fd, kWaitMs);
        });
        Client c;
        c->SetSyncRedirect(1);
        std::string chosen = Url(peer, "/chosen");
        c.sink.onRedirect = [&](IHttpClient* client, vn::strutf16& url) {
            if (action == 'u') url = U(chosen);
            if (action == 's') client->Stop();
            if (action == 'd') delete client;
            c.sink.Add("acted");
        };
        IHttpClient* client = c.c;
        if (action == 'd') c.c = nullptr;  // the sink deletes it
        ASSERT_TRUE(client->Download(U(Url(peer)), nullptr)) << action;
        ASSERT_TRUE(c.sink.WaitEvent("acted")) << action;
        if (action == 's') c.notify.Run([&] { EXPECT_EQ(0, c->IsRunning()); });
        EXPECT_EQ(action == 'u' ? 0u : ~0u, c.sink.WaitCode(1, action == 'u' ? kWaitMs : 0));
        c.Delete();
        c.notify.Run([] {});  // anything queued for the client has run (or was dropped)
        EXPECT_EQ(action == 'u' ? 1u : 0u, c.sink.Completions()) << action;
        EXPECT_EQ(action == 'u' ? "GET /chosen HTTP/1.1" : "", heads.Line(1));
    }
}

TEST(HttpClientScripted, PeerClosingAtEveryByte) {
    // Cut inside the head: closed before a status, 3. Cut inside the body: reconnected
    // three times (each answer cut again), then 2. Whole: 0. Always exactly one report.
    const std::string answer = kOk5;
    const size_t headLen = answer.find("\r\n\r\n") + 4;
    for (size_t cut = 0; cut <= answer.size(); ++cut) {
        bool inBody = cut >= headLen && cut < answer.size();
        ScriptedPeer peer(inBody ? 4 : 1, [&](int fd, int) {
            ReadUntil(fd, "\r\n\r\n");
            SendAll(fd, answer.substr(0, cut));
            if (cut == answer.size()) vntest::WaitPeerClose(fd, kWaitMs);
        });
        Client c;
        ASSERT_TRUE(c->Download(U(Url(peer)), nullptr));
        EXPECT_EQ(cut < headLen ? 3u : inBody ? 2u : 0u, c.sink.WaitCode()) << cut;
        c.Delete();
        EXPECT_EQ(1u, c.sink.Completions()) << cut;
        EXPECT_EQ(inBody ? 4 : 1, peer.accepted()) << cut;
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
    Heads got;
    const std::string head = "POST /raw HTTP/1.1\r\nHost: x\r\nContent-Length: 4\r\n\r\n";
    // One connection: the download after the post reuses it.
    ScriptedPeer peer(1, [&](int fd, int) {
        for (std::string h; !(h = got.Read(fd)).empty(); SendAll(fd, kOk5))
            if (h.compare(0, 4, "POST") == 0) {
                EXPECT_EQ("body", vntest::ReadExact(fd, 4));
            }
    });
    Client c;
    // The host text is copied: the caller's buffer goes away when the call returns.
    ASSERT_TRUE(c->Post(std::string("127.0.0.1").c_str(), peer.port(), vn::strutf8(head.c_str()),
                        vn::strutf8("body")));
    EXPECT_EQ(0u, c.sink.WaitCode());
    EXPECT_EQ(head, got.Get(0));
    EXPECT_EQ("hello", c.Buffer());
    // With every bit of the mask set, a download reports each step in order.
    c->SetNotifyMask(0x1F);
    ASSERT_TRUE(c->Download(U(Url(peer)), nullptr));
    EXPECT_EQ(0u, c.sink.WaitCode(2));
    std::vector<std::string> want = {"complete 0", "connecting",   "connected",
                                     "start 0/5",  "progress 5/5", "complete 0"};
    EXPECT_EQ(want, c.sink.Events());
    EXPECT_EQ("GET /f HTTP/1.1", got.Line(1));
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
    // The next request makes a new thread.
    ASSERT_TRUE(c->Download(U(url), nullptr));
    EXPECT_EQ(5u, c.sink.WaitCode(2));
}
