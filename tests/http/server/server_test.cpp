// The server object: listening, the registry and its matching, the 400 refusal, stale ids,
// and the answers as a raw loopback client sees them on the wire.
#include <gtest/gtest.h>

#include <thread>

#include "http/server/vnhttpserverchannelpool_internal.h"
#include "server_test_util.h"
#include "support/log_capture.h"

namespace srvtest {
namespace {

TEST(HttpServerListen, PortRanges) {
    // The first calls (in a fresh test process) come from several threads at once.
    std::vector<std::thread> t;
    IHttpServer* seen[4] = {};
    unsigned short ports[4] = {};
    for (int i = 0; i < 4; ++i) {
        t.emplace_back([&, i] {
            seen[i] = GetHttpServerInstance();
            EXPECT_TRUE(seen[i]->Listen(0, 0, &ports[i]));
        });
    }
    for (auto& x : t)
        x.join();
    IHttpServer* s = GetHttpServerInstance();
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(s, seen[i]);
        s->StopListen(ports[i]);
    }
    unsigned short port = 1;
    EXPECT_FALSE(s->Listen(2000, 1999, &port));
    EXPECT_EQ(1, port);
    // A taken first port: the next one of the range is bound.
    unsigned short taken = 0;
    ASSERT_TRUE(s->Listen(0, 0, &taken));
    ASSERT_NE(0, taken);
    unsigned short next = 0;
    if (taken < 65535 && s->Listen(taken, taken + 1, &next)) {
        EXPECT_EQ(taken + 1, next);
    }
    EXPECT_FALSE(s->Listen(taken, taken, &next));
    s->StopListen(taken);
    if (next != 0) s->StopListen(next);
    EXPECT_TRUE(OnServer([] {}));
}

class HttpServerTest : public ServerTest {};

TEST_F(HttpServerTest, FindNotifyOrderAndCase) {
    Recorder a, ab, any;
    struct Row {
        const char* head;
        CHttpRequestNotify* want;
        const char* type;
    };
    const Row rows[] = {
        {"GET /abc HTTP/1.1\r\n\r\n", &a, "GET /a"},  // the shorter key sorts first
        {"get /abc HTTP/1.1\r\n\r\n", &a, "GET /a"},  // case is ignored
        {"POST /a HTTP/1.1\r\n\r\n", nullptr, ""},
        {"GET /", nullptr, ""},  // shorter than every key
    };
    srv->RegisterRequest("GET /ab", port, &ab);
    srv->RegisterRequest("GET /a", port, &a);
    srv->RegisterRequest("GET /a", port, &ab);  // already there: the first stays
    ASSERT_TRUE(OnServer([&] {
        for (const Row& r : rows) {
            vn::strutf8 type;
            EXPECT_EQ(r.want, srv->FindNotify(r.head, port, type)) << r.head;
            EXPECT_STREQ(r.type, type.c_str()) << r.head;
        }
        srv->RegisterRequest("*.*", port, &any);
        vn::strutf8 type;
        EXPECT_EQ(&any, srv->FindNotify("POST /a HTTP/1.1\r\n\r\n", port, type));
        EXPECT_TRUE(type.empty());
    }));
    EXPECT_EQ(1u, vntest::LogCount("RegisterRequest [GET /a] already exist"));
}

TEST_F(HttpServerTest, UnmatchedRequestIsRefusedWith400) {
    srv->RegisterRequest("GET /only", port, &rec);
    Client c(port);
    ASSERT_TRUE(c.Send("GET /other HTTP/1.1\r\nHost: x\r\n\r\n"));
    std::string answer = c.Read();
    EXPECT_EQ(0u, answer.find("HTTP/1.1 400 Error")) << answer;
    EXPECT_NE(std::string::npos, answer.find("Connection: close\r\n\r\nunkown the request"));
    EXPECT_TRUE(c.eof());
    EXPECT_EQ(0u, rec.Requests().size());
}

TEST_F(HttpServerTest, UnregisterLastTypeStopsListening) {
    srv->RegisterRequest("GET /x", port, &rec);
    srv->UnRegisterRequest("GET /x", port);
    EXPECT_TRUE(WaitListening(false));
    EXPECT_TRUE(vntest::LogWaitFor(
        "notify has empty, so close http server Listen Port[" + std::to_string(port) + "]",
        kWaitMs));
}

TEST_F(HttpServerTest, StaleIdsReportClosed) {
    // Ids are sequence numbers: one far beyond any issued is never held.
    const unsigned long long stale = 1ull << 62;
    srv->Accept_SendBuf(stale, "x", &rec, false);
    rec.Accepted();
    ASSERT_TRUE(OnServer([&] {
        srv->Post(stale, "HTTP/1.1 200 OK\r\n\r\n", "", &rec, false);
        rec.Accepted();
    }));
    ASSERT_TRUE(rec.WaitCompletions(2));
    for (const Completion& c : rec.Completions()) {
        EXPECT_EQ(stale, c.id);
        EXPECT_EQ(2, c.code);
        EXPECT_TRUE(c.head.empty() && c.data.empty());
    }
    vn::strutf8 ip("unchanged");
    srv->GetPeerIP(stale, ip);
    EXPECT_STREQ("unchanged", ip.c_str());
    EXPECT_EQ(0u, srv->GetRequestContentLen(stale));
}

// Answers as they appear on the wire, one table row per answer.
TEST_F(HttpServerTest, AnswersOnTheWire) {
    std::string file = dir + "/f.bin";
    std::string bytes;
    for (int i = 0; i < 1000; ++i)
        bytes += static_cast<char>('a' + i % 26);
    ASSERT_TRUE(vntest::WriteTextFile(file, bytes));
    struct Row {
        const char* name;
        std::string request;
        std::function<void(unsigned long long)> answer;
        std::string wantHead;  // the answer must start with it
        std::string wantBody;
        int wantCode;  // -1: no completion reported to rec
    };
    const std::vector<Row> rows = {
        {"refuse", "GET /r HTTP/1.1\r\n\r\n",
         [&](unsigned long long id) { srv->Refuse(id, "not found", 404); }, "HTTP/1.1 404 Error",
         "not found", -1},
        {"empty refuse", "GET /r HTTP/1.1\r\n\r\n",
         [&](unsigned long long id) { srv->Refuse(id, "", 403); }, "HTTP/1.1 403 Error", "", -1},
        {"empty sendbuf", "GET /b HTTP/1.1\r\n\r\n",
         [&](unsigned long long id) { srv->Accept_SendBuf(id, "", &rec, false); },
         "HTTP/1.1 200 OK", "", 0},
        {"sendbuf range past end", "GET /b HTTP/1.1\r\nRange: bytes=5-\r\n\r\n",
         [&](unsigned long long id) { srv->Accept_SendBuf(id, "hello", &rec, false); }, "", "", 5},
        {"sendbuf bad range", "GET /b HTTP/1.1\r\nRange: bytes=x\r\n\r\n",
         [&](unsigned long long id) { srv->Accept_SendBuf(id, "hello", &rec, false); },
         "HTTP/1.1 200 OK", "hello", 0},
        {"post", "GET /p HTTP/1.1\r\n\r\n",
         [&](unsigned long long id) {
             srv->Post(id, "HTTP/1.1 302 Found\r\nLocation: /b\r\nContent-Length: 2\r\n\r\n", "ok",
                       &rec, false);
         },
         "HTTP/1.1 302 Found", "ok", 0},
        {"sendfile range past end", "GET /f HTTP/1.1\r\nRange: bytes=2000-\r\n\r\n",
         [&](unsigned long long id) { srv->Accept_SendFile(id, file.c_str(), &rec, false); }, "",
         "", 5},
        {"sendfile missing", "GET /f HTTP/1.1\r\n\r\n",
         [&](unsigned long long id) {
             srv->Accept_SendFile(id, (dir + "/none").c_str(), &rec, false);
         },
         "", "", 6},
        {"recvfile bad dir", "PUT /u HTTP/1.1\r\nContent-Length: 3\r\n\r\nabc",
         [&](unsigned long long id) {
             srv->Accept_RecvFile(id, "done", (dir + "/no/such").c_str(), &rec, false);
         },
         "", "", 7},
        {"recvfile with the head", "PUT /u HTTP/1.1\r\nContent-Length: 3\r\n\r\nabc",
         [&](unsigned long long id) {
             srv->Accept_RecvFile(id, "done", (dir + "/up").c_str(), &rec, false);
         },
         "HTTP/1.1 200 OK", "done", 0},
        {"recvbuff with the head", "PUT /u HTTP/1.1\r\nContent-Length: 3\r\n\r\nabc",
         [&](unsigned long long id) { srv->Accept_RecvBuff(id, "", &rec, false); }, "", "", 0},
    };
    RegisterAll();
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        size_t before = rec.Completions().size();
        rec.SetOnRequest([&](const Request& q) {
            if (r.wantCode >= 0) rec.Accepted();
            r.answer(q.id);
        });
        Client c(port, 3000);
        ASSERT_TRUE(c.Send(r.request));
        std::string got;
        if (!r.wantHead.empty()) {
            got = c.ReadAnswer();
        } else if (r.wantCode != 0) {
            got = c.Read();
        }
        if (!r.wantHead.empty()) {
            EXPECT_EQ(0u, got.find(r.wantHead)) << got;
            size_t end = got.find("\r\n\r\n");
            ASSERT_NE(std::string::npos, end) << got;
            EXPECT_EQ(r.wantBody, got.substr(end + 4));
        } else if (r.wantCode > 0) {
            EXPECT_TRUE(got.empty()) << got;  // closed without an answer
        }
        if (r.wantCode >= 0) {
            ASSERT_TRUE(rec.WaitCompletions(before + 1));
            EXPECT_EQ(r.wantCode, rec.Completions()[before].code);
        }
    }
    Quiesce();
    EXPECT_EQ("abc", vntest::ReadTextFile(dir + "/up"));
    EXPECT_EQ("abc", rec.Completions().back().data);
}

TEST_F(HttpServerTest, HeadTooLongIsRefused) {
    RegisterAll();
    Client big(port);
    ASSERT_TRUE(big.Send("GET /" + std::string(3000, 'a')));
    EXPECT_TRUE(big.Read().empty());
    EXPECT_TRUE(big.eof());
    EXPECT_TRUE(
        vntest::LogWaitFor("already recv len[2048],but yet not recv Head Complete", kWaitMs));
    EXPECT_TRUE(rec.Requests().empty());
}

}  // namespace
}  // namespace srvtest
