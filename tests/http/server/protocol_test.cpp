// The server as a hostile client sees it: request streams that lie about their lengths, try
// to smuggle a second request, pipeline, expect "100 Continue", send chunked or oversized
// bodies, and callers that answer twice or late. Each stream goes through a raw loopback
// connection; what the client reads back until the server closes is the verdict.
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <algorithm>
#include <map>
#include <string>

#include "server_test_util.h"

namespace srvtest {
namespace {

class HttpServerProtocol : public ServerTest {
protected:
    void SetUp() override {
        ServerTest::SetUp();
        RegisterAll();
        // Every request is read into memory and answered with "<method> <target> <body>";
        // "/drain" is answered at once without reading the body.
        rec.SetOnRequest([this](const Event& q) {
            rec.Accepted();
            if (q.head.find(" /drain") != std::string::npos) {
                return srv->Accept_SendBuf(q.id, "drained", &rec, false);
            }
            srv->Accept_RecvBuff(q.id, "", &rec, false);
        });
        rec.SetOnComplete([this](const Event& c) {
            if (c.code != 0 || c.head.find(" /drain") != std::string::npos) return;
            // A request's completions alternate: its body, then the Post below.
            if ((posted[c.id] = !posted[c.id]) == false) return;
            std::string line = c.head.substr(0, c.head.find(" HTTP/"));
            std::string text = line + " " + c.data;
            rec.Accepted();
            std::string head =
                "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(text.size()) + "\r\n\r\n";
            srv->Post(c.id, head.c_str(), text.c_str(), &rec, false);
        });
    }
    // Sends the stream, ends the sending side, and returns the answers' status codes and
    // bodies as "200 <body>|..." up to the server's close.
    std::string Exchange(const std::string& stream) {
        Client c(port);
        EXPECT_TRUE(c.Send(stream));
        c.EndSending();
        std::string out;
        for (;;) {
            std::string a = c.ReadAnswer();
            if (a.empty()) break;
            size_t end = a.find("\r\n\r\n");
            out += a.substr(9, 3) + (end + 4 < a.size() ? " " + a.substr(end + 4) : "") + "|";
        }
        return out;
    }

    std::map<unsigned long long, bool> posted;  // "HttpSvr" only
};

TEST_F(HttpServerProtocol, SmugglingAndLengthsGetOneReadingOrARefusal) {
    const std::string post = "POST /p HTTP/1.1\r\nHost: x\r\n";
    const std::string next = "GET /next HTTP/1.1\r\nHost: x\r\n\r\n";
    const std::string evil = "GET /evil HTTP/1.1\r\nHost: x\r\n\r\n";
    char size[16];
    snprintf(size, sizeof(size), "%zx", evil.size());
    struct Row {
        std::string stream;
        const char* answers;
    } rows[] = {
        // Lengths: one decimal number, or a list of the same one.
        {post + "Content-Length: 3\r\n\r\nabc" + next, "200 POST /p abc|200 GET /next |"},
        {post + "Content-Length: 3, 3\r\nContent-Length: 3\r\n\r\nabc" + next,
         "200 POST /p abc|200 GET /next |"},
        {post + "Content-Length: 3\r\nContent-Length: 4\r\n\r\nabcd",
         "400 conflicting Content-Length\n|"},
        {post + "Content-Length: 3, 4\r\n\r\nabcd", "400 bad Content-Length\n|"},
        {post + "Content-Length: 3abc\r\n\r\nabc", "400 bad Content-Length\n|"},
        {post + "Content-Length: 0x4\r\n\r\nabcd", "400 bad Content-Length\n|"},
        {post + "Content-Length: -1\r\n\r\n", "400 bad Content-Length\n|"},
        {post + "Content-Length: 99999999999999999999\r\n\r\n", "400 bad Content-Length\n|"},
        // An empty body completes at once, pipelined or not.
        {post + "Content-Length: 0\r\n\r\n" + next, "200 POST /p |200 GET /next |"},
        // CL.TE and TE.CL: chunked wins, and nothing after such a request is read.
        {post + "Content-Length: 6\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\nGET /smuggled "
                "HTTP/1.1\r\nHost: x\r\n\r\n",
         "200 POST /p |"},
        {post +
             "Transfer-Encoding: chunked\r\nContent-Length: 3\r\n\r\n8\r\nSMUGGLED\r\n0\r\n\r\n" +
             next,
         "200 POST /p SMUGGLED|"},
        {post + "Transfer-Encoding : chunked\r\n\r\n0\r\n\r\n", "400 illegal header name\n|"},
        {post + "Transfer-Encoding:\r\n chunked\r\n\r\n0\r\n\r\n", "400 obsolete line folding\n|"},
        {post + "Transfer-Encoding: chunked, identity\r\n\r\n0\r\n\r\n",
         "501 unsupported Transfer-Encoding\n|"},
        {post + "Transfer-Encoding: chunked\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n",
         "501 multiple Transfer-Encoding fields\n|"},
        // Chunked bodies: sizes, extensions, trailers; a size with junk fails the body.
        {post +
             "Transfer-Encoding: Chunked\r\n\r\n3;x=\"y\"\r\nabc\r\n2 \r\nde\r\n0\r\nT: v\r\n\r\n" +
             next,
         "200 POST /p abcde|200 GET /next |"},
        {post + "Transfer-Encoding: chunked\r\n\r\n5g\r\nhello\r\n0\r\n\r\n",
         "400 illegal chunk size\n|"},
        {post + "Transfer-Encoding: chunked\r\n\r\n3\r\nabcX\r\n0\r\n\r\n",
         "400 chunk data not followed by CRLF\n|"},
        // Bare line feeds are line ends (RFC 9112 allows it; h11 reads them so too).
        {"POST /p HTTP/1.1\nHost: x\nContent-Length: 3\n\nabc" + next,
         "200 POST /p abc|200 GET /next |"},
        // Heads HTTP/1.1 refuses.
        {"GET / HTTP/1.1\r\n\r\n", "400 no Host in an HTTP/1.1 request\n|"},
        {"GET / HTTP/1.1\r\nHost: a\r\nHost: b\r\n\r\n", "400 more than one Host\n|"},
        {"GET / HTTP/1\r\nHost: x\r\n\r\n", "400 illegal HTTP version\n|"},
        {"GET / HTTP/1.1x\r\nHost: x\r\n\r\n", "400 illegal HTTP version\n|"},
        {"GET / HTTP/2.0\r\nHost: x\r\n\r\n", "505 HTTP version not supported\n|"},
        {"GET /a b HTTP/1.1\r\nHost: x\r\n\r\n", "400 illegal HTTP version\n|"},
        {"GET / HTTP/1.1\r\nHost: x\r\nX: a\x01b\r\n\r\n", "400 illegal header value\n|"},
        // HTTP/1.0 closes after its answer unless it asks to be kept.
        {"GET /a HTTP/1.0\r\n\r\n" + next, "200 GET /a |"},
        {"GET /a HTTP/1.0\r\nConnection: keep-alive\r\n\r\n" + next, "200 GET /a |200 GET /next |"},
        {"GET /a HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n" + next, "200 GET /a |"},
        // A body the caller did not read is dropped, never read as a request.
        {"POST /drain HTTP/1.1\r\nHost: x\r\nContent-Length: " + std::to_string(evil.size()) +
             "\r\n\r\n" + evil + next,
         "200 drained|200 GET /next |"},
        {"POST /drain HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\n" +
             std::string(size) + "\r\n" + evil + "\r\n0\r\n\r\n" + next,
         "200 drained|200 GET /next |"},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.stream.substr(0, 60));
        EXPECT_EQ(r.answers, Exchange(r.stream));
    }
    Quiesce();
    for (const Event& q : rec.Requests())
        EXPECT_EQ(std::string::npos, q.head.find("evil")) << q.head;
}

TEST_F(HttpServerProtocol, PipelinedRequestsAreAnsweredInOrder) {
    // Three requests in one write, the second with a body: one connection, three answers.
    std::string stream =
        "GET /a HTTP/1.1\r\nHost: x\r\n\r\n"
        "POST /b HTTP/1.1\r\nHost: x\r\nContent-Length: 5\r\n\r\nhello"
        "GET /c HTTP/1.1\r\nHost: x\r\n\r\n";
    EXPECT_EQ("200 GET /a |200 POST /b hello|200 GET /c |", Exchange(stream));
    Quiesce();
    std::vector<Event> q = rec.Requests();
    ASSERT_EQ(3u, q.size());
    EXPECT_TRUE(q[0].id == q[1].id && q[1].id == q[2].id);
}

TEST_F(HttpServerProtocol, BodyLengthsTellEmptyFromUnknown) {
    std::string lengths;
    rec.SetOnRequest([&](const Event& q) {
        unsigned long long len = 99;
        int known = srv->GetRequestBodyLength(q.id, &len);
        lengths += std::to_string(known) + ":" + std::to_string(known == 1 ? len : 0) + " ";
        rec.Accepted();
        srv->Accept_RecvBuff(q.id, "", &rec, false);
    });
    std::string stream =
        "GET /a HTTP/1.1\r\nHost: x\r\n\r\n"
        "POST /b HTTP/1.1\r\nHost: x\r\nContent-Length: 5\r\n\r\nhello"
        "POST /c HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\n2\r\nhi\r\n0\r\n\r\n";
    EXPECT_EQ("200 GET /a |200 POST /b hello|200 POST /c hi|", Exchange(stream));
    Quiesce();
    EXPECT_EQ("1:0 1:5 0:0 ", lengths);
    EXPECT_EQ(-1, srv->GetRequestBodyLength(1ull << 62, nullptr));
}

TEST_F(HttpServerProtocol, SecondAndLateAnswersAreNeverWritten) {
    rec.SetOnComplete(nullptr);
    rec.SetOnRequest([this](const Event& q) {
        rec.Accepted();
        srv->Accept_SendBuf(q.id, q.head.find("/one") != std::string::npos ? "one" : "two", &rec,
                            false);
        rec.Accepted();
        srv->Accept_SendBuf(q.id, "second answer", &rec, false);  // refused: code 2
    });
    Client c(port);
    ASSERT_TRUE(c.Send("GET /one HTTP/1.1\r\nHost: x\r\n\r\n"));
    std::string a = c.ReadAnswer();
    EXPECT_EQ("one", a.substr(a.find("\r\n\r\n") + 4));
    ASSERT_TRUE(rec.WaitCompletions(2));
    // A late answer between the two requests: nothing waits, nothing is written.
    unsigned long long id = rec.Requests()[0].id;
    rec.Accepted();
    srv->Accept_SendBuf(id, "late", &rec, false);
    ASSERT_TRUE(rec.WaitCompletions(3));
    ASSERT_TRUE(c.Send("GET /two HTTP/1.1\r\nHost: x\r\n\r\n"));
    a = c.ReadAnswer();
    EXPECT_EQ("two", a.substr(a.find("\r\n\r\n") + 4));
    ASSERT_TRUE(rec.WaitSettled());
    std::string codes;
    for (const Event& e : rec.Completions())
        codes += std::to_string(e.code);
    std::sort(codes.begin(), codes.end());
    EXPECT_EQ("00222", codes);  // two answers written, three refused
}

TEST_F(HttpServerProtocol, ContinueIsSentOnlyForABodyThatIsWanted) {
    const std::string head =
        "PUT /e HTTP/1.1\r\nHost: x\r\nContent-Length: 5\r\nExpect: 100-continue\r\n\r\n";
    rec.SetOnComplete(nullptr);
    rec.SetOnRequest([this](const Event& q) {
        if (q.head.find("/refused") != std::string::npos) return srv->Refuse(q.id, "no", 413);
        rec.Accepted();
        srv->Accept_RecvFile(q.id, "done", (dir + "/e").c_str(), &rec, false);
    });
    {
        Client c(port);
        ASSERT_TRUE(c.Send(head));
        EXPECT_EQ("HTTP/1.1 100 Continue\r\n\r\n", c.ReadHead());
        ASSERT_TRUE(c.Send("hello"));
        std::string a = c.ReadAnswer();
        EXPECT_EQ("done", a.substr(a.find("\r\n\r\n") + 4));
    }
    {
        // Refused: the final status comes at once, no "100 Continue" before it, and the
        // connection ends (the body will not come).
        Client c(port);
        std::string refused = head;
        refused.replace(4, 2, "/refused");
        ASSERT_TRUE(c.Send(refused));
        std::string a = c.ReadAnswer();
        EXPECT_EQ(0u, a.find("HTTP/1.1 413 Error"));
        EXPECT_TRUE(c.ReadAll().empty() && c.Closed());
    }
    ASSERT_TRUE(rec.WaitSettled());
    EXPECT_EQ("hello", vntest::ReadTextFile(dir + "/e"));
}

TEST_F(HttpServerProtocol, BodiesInMemoryAreBoundedAcrossConnections) {
    srv->SetMemoryLimit(1000);
    rec.SetOnComplete(nullptr);
    rec.SetOnRequest([this](const Event& q) {
        rec.Accepted();
        srv->Accept_RecvBuff(q.id, "", &rec, false);
    });
    auto head = [](size_t n) {
        return "POST /m HTTP/1.1\r\nHost: x\r\nContent-Length: " + std::to_string(n) + "\r\n\r\n";
    };
    // One body of 600 bytes is held (half of it arrived) while a second one of 600 comes:
    // the second would pass the bound and is refused.
    Client first(port), second(port), chunked(port);
    ASSERT_TRUE(first.Send(head(600) + std::string(300, 'a')));
    ASSERT_TRUE(rec.WaitRequests(1));
    // No event tells when the first channel has weighed its body.
    ASSERT_TRUE(vntest::PollFor([&] { return srv->GetBodyBudget().GetUsed() == 600; }, kWaitMs));
    ASSERT_TRUE(second.Send(head(600) + std::string(600, 'b')));
    EXPECT_EQ(0u, second.ReadAnswer().find("HTTP/1.1 413 Error"));
    ASSERT_TRUE(rec.WaitCompletions(1));
    EXPECT_EQ(4, rec.Completions()[0].code);
    ASSERT_TRUE(first.Send(std::string(300, 'a')));
    ASSERT_TRUE(rec.WaitCompletions(2));
    EXPECT_EQ(0, rec.Completions()[1].code);
    EXPECT_EQ(std::string(600, 'a'), rec.Completions()[1].data);
    // A chunked body is weighed as it grows.
    ASSERT_TRUE(chunked.Send(
        "POST /m HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\n"
        "300\r\n" +
        std::string(0x300, 'c') + "\r\n300\r\n" + std::string(0x300, 'c') + "\r\n0\r\n\r\n"));
    EXPECT_EQ(0u, chunked.ReadAnswer().find("HTTP/1.1 413 Error"));
    ASSERT_TRUE(rec.WaitCompletions(3));
    EXPECT_EQ(4, rec.Completions()[2].code);
    srv->SetMemoryLimit(256ull << 20);
}

TEST_F(HttpServerProtocol, FormsStoreTheirFirstPartWhateverFollows) {
    // Parameters after the boundary, a field after the file, a delimiter look-alike inside
    // the file, and the whole request sent one byte at a time.
    const std::string file = "line one\r\n--XyZ no delimiter\r\n--XyZz neither\r\n";
    const std::string body =
        "--XyZ\r\nContent-Disposition: form-data; name=\"f\"; "
        "filename=\"a.txt\"\r\n\r\n" +
        file + "\r\n--XyZ\r\nContent-Disposition: form-data; name=\"a\"\r\n\r\n" +
        std::string(150, 'v') + "\r\n--XyZ--\r\nepilogue";
    const std::string stream =
        "POST /form HTTP/1.1\r\nHost: x\r\nContent-Type: multipart/form-data; boundary=\"XyZ\"; "
        "charset=utf-8\r\nContent-Length: " +
        std::to_string(body.size()) + "\r\n\r\n" + body;
    rec.SetOnComplete(nullptr);
    rec.SetOnRequest([this](const Event& q) {
        rec.Accepted();
        srv->Accept_RecvFile(q.id, "stored", (dir + "/form" + std::to_string(q.id)).c_str(), &rec,
                             false);
    });
    for (size_t piece : {stream.size(), size_t{1}}) {
        Client c(port);
        for (size_t at = 0; at < stream.size(); at += piece)
            ASSERT_TRUE(c.Send(stream.substr(at, piece)));
        std::string a = c.ReadAnswer();
        EXPECT_EQ("stored", a.substr(a.find("\r\n\r\n") + 4));
    }
    ASSERT_TRUE(rec.WaitSettled());
    for (const Event& q : rec.Requests()) {
        EXPECT_EQ(file, vntest::ReadTextFile(dir + "/form" + std::to_string(q.id)));
        EXPECT_NE(std::string::npos, q.head.find("filename=\"a.txt\"\r\n\r\n"));  // the part head
        // The length the caller is told counts from the first byte of the part's content.
        EXPECT_EQ(body.size() - body.find(file), srv->GetRequestContentLen(q.id));
    }
}

}  // namespace
}  // namespace srvtest
