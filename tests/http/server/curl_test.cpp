// The server against real clients: curl (downloads, ranges, keep-alive, uploads into files
// and memory) and the library's own client (refused uploads that still get their answer).
#include <gtest/gtest.h>

#include "http/client/client_test_util.h"
#include "server_test_util.h"
#include "support/http_peers.h"

namespace srvtest {
namespace {

class HttpServerCurl : public ServerTest {
protected:
    void SetUp() override {
        ServerTest::SetUp();
        if (!vntest::HaveProgram("/usr/bin/curl")) GTEST_SKIP() << "curl is not installed";
        RegisterAll();
    }
    // curl's standard output: each body followed by "\n" and its status. curl waits for
    // "100 Continue" as long as --expect100-timeout says before a body over 1 MiB.
    std::string Curl(std::vector<std::string> args) {
        args.insert(args.begin(),
                    {"curl", "-s", "--expect100-timeout", "60", "-w", "\\n%{http_code}"});
        std::string out;
        EXPECT_EQ(0, RunProgram(args, 10, &out));
        return out;
    }
};

TEST_F(HttpServerCurl, DownloadsRangesAndKeepAlive) {
    std::string content = vntest::PatternBytes(300000, 7), file = dir + "/data.bin";
    ASSERT_TRUE(vntest::WriteTextFile(file, content));
    ASSERT_TRUE(vntest::WriteTextFile(dir + "/k", "kept"));
    rec.SetOnRequest([&](const Event& q) {
        if (q.head.find("GET /missing") == 0) return srv->Refuse(q.id, "not found", 404);
        rec.Accepted();
        if (q.head.find("GET /buf") == 0) {
            srv->Accept_SendBuf(q.id, vn::strutf8(content.data(), 1024), &rec, true);
        } else {
            bool kept = q.head.find("GET /k") == 0;
            srv->Accept_SendFile(q.id, kept ? (dir + "/k").c_str() : file.c_str(), &rec, !kept);
        }
    });
    struct Row {
        std::vector<std::string> args;
        std::string out;
    } rows[] = {
        {{Url("/buf")}, content.substr(0, 1024) + "\n200"},
        {{Url("/file")}, content + "\n200"},
        {{"-r", "100-", Url("/file")}, content.substr(100) + "\n206"},
        {{"-r", "100-", Url("/buf")}, content.substr(100, 924) + "\n206"},
        {{Url("/missing")}, "not found\n404"},
        {{Url("/k"), Url("/k")}, "kept\n200kept\n200"},  // one connection
    };
    for (const Row& r : rows) {
        std::string out = Curl(r.args);
        EXPECT_TRUE(r.out == out) << r.args.back() << " gave " << out.size() << " bytes";
    }
    std::vector<Event> q = rec.Requests();
    ASSERT_EQ(7u, q.size());
    EXPECT_EQ(q[5].id, q[6].id);
    EXPECT_EQ("127.0.0.1", q[6].data);
    vn::strutf8 ip;
    srv->GetLocalIP(q[6].id, ip);  // from this thread
    EXPECT_STREQ("127.0.0.1", ip.c_str());
}

TEST_F(HttpServerCurl, UploadsAreByteIdentical) {
    struct Row {
        const char* name;
        size_t size;
        bool form;                       // -F file=@... (multipart) or --data-binary @...
        bool memory;                     // Accept_RecvBuff, answered by a Post from OnComplete
        std::vector<std::string> extra;  // more curl arguments
    } rows[] = {
        {"form to file", 200000, true, false, {}},
        {"small form to file", 10, true, false, {}},
        {"form with fields after the file", 50000, true, false, {"-F", "a=1", "-F", "b=2"}},
        {"binary to file", 150000, false, false, {}},
        {"binary to memory", 150000, false, true, {}},
        {"form to memory", 3000, true, true, {}},
        {"chunked to file", 150000, false, false, {"-H", "Transfer-Encoding: chunked"}},
        {"chunked to memory", 150000, false, true, {"-H", "Transfer-Encoding: chunked"}},
        // Over 1 MiB: curl sends "Expect: 100-continue" and waits for the answer to it.
        {"2 MiB waiting for 100 Continue", 2 << 20, false, false, {}},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        std::string src = dir + "/src", target = dir + "/" + r.name;
        bool memory = r.memory;
        // Set per row, so "HttpSvr" sees this row's values through the recorder's lock.
        rec.SetOnRequest([=](const Event& q) {
            rec.Accepted();
            if (memory) return srv->Accept_RecvBuff(q.id, "", &rec, true);
            srv->Accept_RecvFile(q.id, "stored", target.c_str(), &rec, true);
        });
        rec.SetOnComplete([=](const Event& c) {
            // The body into memory is answered once, with a Post (its own completion
            // carries no data).
            if (!memory || c.data.empty()) return;
            vntest::WriteTextFile(target, c.data);
            rec.Accepted();
            srv->Post(c.id, "HTTP/1.1 200 OK\r\nContent-Length: 6\r\n\r\n", "stored", &rec, false);
        });
        std::string content = vntest::PatternBytes(r.size, static_cast<unsigned>(r.size));
        ASSERT_TRUE(vntest::WriteTextFile(src, content));
        std::vector<std::string> args = {r.form ? "-F" : "--data-binary",
                                         (r.form ? "file=@" : "@") + src};
        args.insert(args.end(), r.extra.begin(), r.extra.end());
        args.push_back(Url("/up"));
        EXPECT_EQ("stored\n200", Curl(args));
        ASSERT_TRUE(rec.WaitSettled());
        EXPECT_TRUE(content == vntest::ReadTextFile(target));
    }
    Quiesce();
    for (const Event& c : rec.Completions())
        EXPECT_EQ(0, c.code);
}

class HttpServerClient : public ServerTest {};

TEST_F(HttpServerClient, RefusedUploadStillGetsItsAnswer) {
    // The refusal (which says close) goes out while the client still sends 4 MiB (ten times).
    // Closing at once would reset the connection, and the client would take the reset for a
    // close before any answer (3) instead of reading the answer (413: 2).
    RegisterAll();
    rec.SetOnRequest([&](const Event& q) { srv->Refuse(q.id, "too big", 413); });
    httptest::Client client;
    client->SetTimeout(3000, 3000, 0);  // no reconnect: the first connection must give the answer
    std::string body(4 << 20, 'u');
    for (size_t i = 1; i <= 10; ++i) {
        ASSERT_EQ(1, client->Upload(httptest::U(Url("/up")), body.data(), body.size()));
        EXPECT_EQ(2u, client.sink.WaitCode(i)) << "upload " << i;
    }
}

}  // namespace
}  // namespace srvtest
