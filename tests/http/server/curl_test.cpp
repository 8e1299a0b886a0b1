// The server against real clients: curl (downloads, ranges, uploads, keep-alive, a caller
// that never answers) and a short wrk load run.
#include <gtest/gtest.h>

#include <regex>

#include "server_test_util.h"
#include "support/log_capture.h"

namespace srvtest {
namespace {

std::string Bytes(size_t n, unsigned seed) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i) {
        seed = seed * 1103515245u + 12345u;
        s[i] = static_cast<char>(seed >> 16);
    }
    return s;
}

class HttpServerCurl : public ServerTest {
protected:
    void SetUp() override {
        ServerTest::SetUp();
        if (!vntest::HaveProgram("/usr/bin/curl")) GTEST_SKIP() << "curl is not installed";
        RegisterAll();
    }
    // curl with args; *body gets the saved body, the result is the status or -1.
    int Curl(std::vector<std::string> args, std::string* body) {
        std::string out = dir + "/curl.out";
        unlink(out.c_str());
        std::vector<std::string> argv = {"curl", "-s", "-o", out, "-w", "%{http_code}"};
        argv.insert(argv.end(), args.begin(), args.end());
        std::string code;
        int rc = RunProgram(argv, kWaitMs, &code);
        if (body != nullptr) *body = vntest::ReadTextFile(out);
        return rc == 0 && !code.empty() ? std::stoi(code) : -1;
    }
};

TEST_F(HttpServerCurl, Downloads) {
    std::string content = Bytes(300000, 7);
    std::string file = dir + "/data.bin";
    ASSERT_TRUE(vntest::WriteTextFile(file, content));
    rec.SetOnRequest([&](const Request& q) {
        if (q.head.find("GET /missing") == 0) {
            srv->Refuse(q.id, "not found", 404);
            return;
        }
        rec.Accepted();
        if (q.head.find("GET /buf") == 0) {
            srv->Accept_SendBuf(q.id, vn::strutf8(content.data(), 1024), &rec, true);
        } else {
            srv->Accept_SendFile(q.id, file.c_str(), &rec, true);
        }
    });
    struct Row {
        std::vector<std::string> args;
        int status;
        std::string body;
    };
    const Row rows[] = {
        {{Url("/buf")}, 200, content.substr(0, 1024)},
        {{Url("/file")}, 200, content},
        {{"-r", "100-", Url("/file")}, 206, content.substr(100)},
        {{"-r", "100-", Url("/buf")}, 206, content.substr(100, 924)},
        {{Url("/missing")}, 404, "not found"},
    };
    for (const Row& r : rows) {
        std::string body;
        EXPECT_EQ(r.status, Curl(r.args, &body)) << r.args.back();
        EXPECT_TRUE(r.body == body) << r.args.back() << " got " << body.size() << " bytes";
    }
    EXPECT_GT(rec.Progress(), 0);  // the file goes out in several blocks
    Quiesce();
}

TEST_F(HttpServerCurl, UploadsAreByteIdentical) {
    struct Row {
        const char* name;
        size_t size;
        bool form;    // -F file=@... (multipart) or --data-binary @...
        bool memory;  // Accept_RecvBuff, answered by a Post from OnComplete
    };
    const Row rows[] = {
        {"form to file", 200000, true, false},    {"small form to file", 10, true, false},
        {"binary to file", 150000, false, false}, {"binary to memory", 150000, false, true},
        {"form to memory", 3000, true, true},
    };
    int n = 0;
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        std::string src = dir + "/src" + std::to_string(n);
        std::string target = dir + "/dst" + std::to_string(n++);
        bool memory = r.memory;
        // Set per row, so "HttpSvr" sees this row's values through the recorder's lock.
        rec.SetOnRequest([=](const Request& q) {
            rec.Accepted();
            if (memory) {
                srv->Accept_RecvBuff(q.id, "", &rec, true);
            } else {
                srv->Accept_RecvFile(q.id, "stored", target.c_str(), &rec, true);
            }
        });
        rec.SetOnComplete([=](const Completion& c) {
            if (!memory || c.head.empty()) return;
            vntest::WriteTextFile(target, c.data);
            rec.Accepted();
            srv->Post(c.id, "HTTP/1.1 200 OK\r\nContent-Length: 6\r\n\r\n", "stored", &rec, false);
        });
        std::string content = Bytes(r.size, static_cast<unsigned>(r.size));
        ASSERT_TRUE(vntest::WriteTextFile(src, content));
        std::vector<std::string> args = {"-H", "Expect:"};
        if (r.form) {
            args.insert(args.end(), {"-F", "file=@" + src});
        } else {
            args.insert(args.end(), {"--data-binary", "@" + src});
        }
        args.push_back(Url("/up"));
        std::string body;
        EXPECT_EQ(200, Curl(args, &body));
        EXPECT_EQ("stored", body);
        ASSERT_TRUE(rec.WaitSettled());
        EXPECT_TRUE(content == vntest::ReadTextFile(target))
            << vntest::ReadTextFile(target).size() << " bytes stored of " << content.size();
    }
    Quiesce();
    for (const Completion& c : rec.Completions())
        EXPECT_EQ(0, c.code);
}

TEST_F(HttpServerCurl, KeepAliveSharesTheChannelId) {
    std::string file = dir + "/k.txt";
    ASSERT_TRUE(vntest::WriteTextFile(file, "kept"));
    rec.SetOnRequest([&](const Request& q) {
        rec.Accepted();
        srv->Accept_SendFile(q.id, file.c_str(), &rec, false);
    });
    std::string out;
    ASSERT_EQ(0, RunProgram({"curl", "-s", Url("/a"), Url("/b")}, kWaitMs, &out));
    EXPECT_EQ("keptkept", out);
    std::vector<Request> r = rec.Requests();
    ASSERT_EQ(2u, r.size());
    EXPECT_EQ(r[0].id, r[1].id);
    EXPECT_EQ("127.0.0.1", r[0].peer);
    vn::strutf8 ip;
    srv->GetLocalIP(r[0].id, ip);  // from this thread
    EXPECT_STREQ("127.0.0.1", ip.c_str());
    Quiesce();
}

TEST_F(HttpServerCurl, UnansweredRequestIsSwept) {
    long long start = iotest::NowUs();
    std::string out;
    // 52: empty reply. The sweep closes the connection 3-5 s after the accept.
    EXPECT_EQ(52, RunProgram({"curl", "-s", "--max-time", "9", Url("/never")}, kWaitMs, &out));
    long long ms = (iotest::NowUs() - start) / 1000;
    EXPECT_GE(ms, 2900);
    EXPECT_LE(ms, 6500);
    EXPECT_EQ(1u, rec.Requests().size());
}

TEST_F(HttpServerCurl, WrkLoadLosesNothing) {
    if (!vntest::HaveProgram("/usr/bin/wrk")) GTEST_SKIP() << "wrk is not installed";
    std::string body(1024, 'w');
    std::atomic<int> answered{0};
    rec.SetOnRequest([&](const Request& q) {
        ++answered;
        srv->Accept_SendBuf(q.id, body.c_str(), nullptr, false);
    });
    std::string out;
    ASSERT_EQ(0, RunProgram({"wrk", "-t2", "-c50", "-d2s", Url("/w")}, 30000, &out));
    std::smatch m;
    ASSERT_TRUE(std::regex_search(out, m, std::regex("(\\d+) requests in"))) << out;
    long long requests = std::stoll(m[1]);
    EXPECT_GT(requests, 100) << out;
    EXPECT_EQ(std::string::npos, out.find("Socket errors")) << out;
    EXPECT_EQ(std::string::npos, out.find("Non-2xx")) << out;
    Quiesce();
    // Every request wrk counted was reported to the caller (wrk may also leave some
    // unanswered at the end of its run, which it does not count).
    EXPECT_GE(answered.load(), requests);
}

}  // namespace
}  // namespace srvtest
