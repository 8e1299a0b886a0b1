// The server object: listening, the registry and its matching, stale ids, and the answers
// (refusals included) as a raw loopback client sees them on the wire.
#include <gtest/gtest.h>

#include <dirent.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <thread>

#include "server_test_util.h"

namespace srvtest {
namespace {

// Descriptors of this process open on a file below dir (other threads open and close
// sockets and events meanwhile, so the total says nothing).
int OpenBelow(const std::string& dir) {
    int n = 0;
    DIR* d = opendir("/proc/self/fd");
    if (d == nullptr) return -1;
    while (struct dirent* e = readdir(d)) {
        char target[PATH_MAX];
        ssize_t len = readlinkat(dirfd(d), e->d_name, target, sizeof(target) - 1);
        if (len <= 0) continue;
        std::string path(target, static_cast<size_t>(len));
        if (path.compare(0, dir.size() + 1, dir + "/") == 0) ++n;
    }
    closedir(d);
    return n;
}

TEST(HttpServerListen, PortRanges) {
    // The first calls (in a fresh test process) come from several threads at once.
    std::vector<std::thread> t;
    IHttpServer* seen[4] = {};
    unsigned short ports[4] = {};
    for (int i = 0; i < 4; ++i)
        t.emplace_back([&, i] {
            seen[i] = GetHttpServerInstance();
            EXPECT_TRUE(seen[i]->Listen(0, 0, &ports[i]));
        });
    for (int i = 0; i < 4; ++i) {
        t[i].join();
        EXPECT_EQ(Server(), seen[i]);
        Server()->StopListen(ports[i]);
    }
    unsigned short port = 0, taken = 0, next = 0;
    EXPECT_FALSE(Server()->Listen(2000, 1999, &port));
    // A taken first port: the next one of the range is bound.
    ASSERT_TRUE(Server()->Listen(0, 0, &taken));
    if (taken < 65535 && Server()->Listen(taken, taken + 1, &next)) {
        EXPECT_EQ(taken + 1, next);
    }
    EXPECT_FALSE(Server()->Listen(taken, taken, &port));
    Server()->StopListen(taken);
    if (next != 0) Server()->StopListen(next);
    Server()->StopListen(taken);  // no longer listening: nothing happens
    EXPECT_TRUE(OnServer([] {}));
}

class HttpServerTest : public ServerTest {};

TEST_F(HttpServerTest, RegistryMatchingAndUnregistering) {
    Recorder a, ab, any;
    srv->RegisterRequest("GET /ab", port, &ab);
    srv->RegisterRequest("GET /a", port, &a);
    srv->RegisterRequest("GET /a", port, &ab);  // already there: the first stays
    struct Row {
        const char* head;
        CHttpRequestNotify* want;
        const char* type;
    } rows[] = {
        {"GET /abc HTTP/1.1\r\nHost: x\r\n\r\n", &a, "GET /a"},  // the shorter key sorts first
        {"get /abc HTTP/1.1\r\nHost: x\r\n\r\n", &a, "GET /a"},  // case is ignored
        {"POST /a HTTP/1.1\r\nHost: x\r\n\r\n", nullptr, ""},
        {"GET /", nullptr, ""},  // shorter than every key
    };
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
    // Unregistering the last type closes the port.
    for (const char* type : {"GET /ab", "GET /a", "GET /none", "", "*.*"})
        srv->UnRegisterRequest(type, port);
    EXPECT_TRUE(WaitListening(false));
}

TEST_F(HttpServerTest, StaleIdsReportClosed) {
    // Ids are sequence numbers: one far beyond any issued is never held.
    const unsigned long long stale = 1ull << 62;
    srv->Accept_SendBuf(stale, "x", &rec, false);
    rec.Accepted();
    ASSERT_TRUE(OnServer([&] {
        srv->Post(stale, "HTTP/1.1 200 OK\r\n\r\n", "", &rec, false);
        rec.Accepted();
        srv->Refuse(stale, "", 404);
        srv->Cancel(stale);
    }));
    ASSERT_TRUE(rec.WaitSettled());
    for (const Event& c : rec.Completions()) {
        EXPECT_EQ(stale, c.id);
        EXPECT_EQ(2, c.code);
        EXPECT_TRUE(c.head.empty() && c.data.empty());
    }
    vn::strutf8 ip("unchanged");
    srv->GetPeerIP(stale, ip);
    srv->GetLocalIP(stale, ip);
    EXPECT_STREQ("unchanged", ip.c_str());
    EXPECT_EQ(0u, srv->GetRequestContentLen(stale));
}

TEST_F(HttpServerTest, AnswersOnTheWire) {
    ASSERT_TRUE(vntest::WriteTextFile(dir + "/f", std::string(1000, 'f')));
    ASSERT_TRUE(vntest::WriteTextFile(dir + "/up", "a much longer previous content"));
    ASSERT_EQ(0, mkfifo((dir + "/fifo").c_str(), 0600));
    const std::string get = "GET / HTTP/1.1\r\nHost: x\r\n",
                      put = "PUT /u HTTP/1.1\r\nHost: x\r\nContent-Length: 3\r\n\r\nabc";
    struct Row {
        std::string request;
        char op;           // the caller's answer (see the switch); 0: no request reaches it
        const char* arg;   // text, data or a file name in dir
        const char* wire;  // what the client receives: head start, "|", body; "": nothing
        const char* has;   // a line the answer head must hold ("" none)
        bool closes;       // the server closes after it
        int code;          // -1: no completion reported to rec
    } rows[] = {
        {get + "\r\n", 'R', "not found", "HTTP/1.1 404 Error|not found", "", true, -1},
        {get + "\r\n", 'R', "", "HTTP/1.1 403 Error|", "", true, -1},
        {"POST /x HTTP/1.1\r\nHost: x\r\n\r\n", 0, "", "HTTP/1.1 400 Error|unkown the request", "",
         true, -1},
        {"GET /" + std::string(3000, 'a'), 0, "", "HTTP/1.1 431 Error|request head too long\n", "",
         true, -1},
        {get + "\r\n", 'B', "", "HTTP/1.1 200 OK|", "", false, 0},
        // Ranges: a valid end is honoured, a suffix counts from the end, what does not parse
        // is ignored, and what selects nothing is 416 (the caller's code 5).
        {get + "Range: bytes=1-3\r\n\r\n", 'B', "hello", "HTTP/1.1 206 OK|ell",
         "Content-Range: bytes 1-3/5", false, 0},
        {get + "Range: bytes=-2\r\n\r\n", 'B', "hello", "HTTP/1.1 206 OK|lo",
         "Content-Range: bytes 3-4/5", false, 0},
        {get + "Range: bytes=5-2\r\n\r\n", 'B', "hello", "HTTP/1.1 200 OK|hello", "", false, 0},
        {get + "Range: bytes=0x5-\r\n\r\n", 'B', "hello", "HTTP/1.1 200 OK|hello", "", false, 0},
        {get + "Range: bytes=x\r\n\r\n", 'B', "hello", "HTTP/1.1 200 OK|hello", "", false, 0},
        {get + "Range: bytes=5-\r\n\r\n", 'B', "hello", "HTTP/1.1 416 Error|",
         "Content-Range: bytes */5", true, 5},
        {get + "Range: bytes=10-19\r\n\r\n", 'F', "f", "HTTP/1.1 206 OK|ffffffffff",
         "Content-Range: bytes 10-19/1000", false, 0},
        {get + "Range: bytes=1000-\r\n\r\n", 'F', "f", "HTTP/1.1 416 Error|",
         "Content-Range: bytes */1000", true, 5},
        // HEAD: the head GET would get, no body.
        {"HEAD / HTTP/1.1\r\nHost: x\r\n\r\n", 'F', "f", "HTTP/1.1 200 OK|", "Content-Length: 1000",
         false, 0},
        {get + "\r\n", 'P', "ok", "HTTP/1.1 302 Found|ok", "", false, 0},
        {get + "\r\n", 'F', "none", "", "", true, 6},
        {get + "\r\n", 'F', "fifo", "", "", true, 6},  // at once: a FIFO is never opened to wait
        {put, 'W', "no/such", "", "", true, 7},
        // The received file replaces what was there; the bytes behind the body are the next
        // request's, not the file's.
        {put + "XYZ", 'W', "up", "HTTP/1.1 200 OK|done", "", false, 0},
        {put, 'M', "", "", "", false, 0},
        // An empty body is complete at once.
        {"PUT /z HTTP/1.1\r\nHost: x\r\nContent-Length: 0\r\n\r\n", 'M', "", "", "", false, 0},
    };
    srv->RegisterRequest("GET /", port, &rec);
    srv->RegisterRequest("HEAD /", port, &rec);
    srv->RegisterRequest("PUT /", port, &rec);
    size_t requests = 0;
    for (const Row& r : rows) {
        SCOPED_TRACE(r.request.substr(0, 40));
        size_t before = rec.Completions().size();
        requests += r.op != 0;
        rec.SetOnRequest([&](const Event& q) {
            if (r.code >= 0) rec.Accepted();
            std::string path = dir + "/" + r.arg;
            switch (r.op) {
                case 'R':
                    return srv->Refuse(q.id, r.arg, *r.arg ? 404 : 403);
                case 'B':
                    return srv->Accept_SendBuf(q.id, r.arg, &rec, false);
                case 'P':
                    return srv->Post(q.id, "HTTP/1.1 302 Found\r\nContent-Length: 2\r\n\r\n", r.arg,
                                     &rec, false);
                case 'F':
                    return srv->Accept_SendFile(q.id, path.c_str(), &rec, false);
                case 'W':
                    return srv->Accept_RecvFile(q.id, "done", path.c_str(), &rec, false);
                case 'M':
                    return srv->Accept_RecvBuff(q.id, "", &rec, false);
            }
        });
        Client c(port);
        ASSERT_TRUE(c.Send(r.request));
        bool head = r.request.compare(0, 4, "HEAD") == 0;
        std::string wire = r.wire, got = !*r.wire ? "" : head ? c.ReadHead() : c.ReadAnswer();
        size_t bar = wire.find('|'), end = got.find("\r\n\r\n");
        EXPECT_EQ(wire.substr(0, bar), got.substr(0, bar));
        if (*r.has) {
            EXPECT_NE(std::string::npos, got.find(std::string(r.has) + "\r\n")) << got;
        }
        std::string body = end == std::string::npos ? got : got.substr(end + 4);
        EXPECT_EQ(bar == std::string::npos ? "" : wire.substr(bar + 1), body);
        EXPECT_TRUE(!r.closes || (c.ReadAll().empty() && c.Closed()));
        if (r.code >= 0) {
            ASSERT_TRUE(rec.WaitCompletions(before + 1));
            EXPECT_EQ(r.code, rec.Completions()[before].code);
        }
    }
    Quiesce();
    EXPECT_EQ(requests, rec.Requests().size());
    EXPECT_EQ("abc", vntest::ReadTextFile(dir + "/up"));
    std::vector<Event> done = rec.Completions();
    EXPECT_EQ("abc", done[done.size() - 2].data);
    EXPECT_EQ("", done.back().data);
}

TEST_F(HttpServerTest, FilesOnAKeptConnection) {
    // Files on both sides of the size that is read behind its head and leaves with it, whole
    // and in ranges, answered one after another on one connection: the bytes, the length
    // and the range are right, the connection goes on, and no file stays open.
    const unsigned long long join = CHttpServerChannel::kJoinBodyMax;
    const unsigned long long sizes[] = {1, 1000, join - 1, join, join + 1, 70000};
    std::string blob;
    for (size_t i = 0; blob.size() < 70000; ++i)
        blob += static_cast<char>('a' + (i * 7 + i / 26) % 26);
    for (unsigned long long size : sizes)
        ASSERT_TRUE(vntest::WriteTextFile(dir + "/f" + std::to_string(size), blob.substr(0, size)));
    ASSERT_TRUE(vntest::WriteTextFile(dir + "/empty", ""));
    ASSERT_EQ(0, mkdir((dir + "/d").c_str(), 0700));
    rec.SetOnRequest([&](const Event& q) {
        rec.Accepted();
        std::string target = q.head.substr(q.head.find(' ') + 1);
        target = target.substr(0, target.find(' '));
        srv->Accept_SendFile(q.id, (dir + target).c_str(), &rec, false);
    });
    RegisterAll();
    Client c(port);
    size_t done = 0;
    for (unsigned long long size : sizes) {
        struct Range {
            const char* header;  // "" for the whole file
            unsigned long long first, last;
        } ranges[] = {
            {"", 0, size - 1},
            {"bytes=0-0", 0, 0},
            {"bytes=-1", size - 1, size - 1},
            {"bytes=1-", 1, size - 1},
            {"bytes=0-99999", 0, size - 1},
        };
        for (const Range& r : ranges) {
            if (r.first > r.last) continue;  // "bytes=1-" of a one-byte file selects nothing
            SCOPED_TRACE(std::to_string(size) + " " + r.header);
            std::string request = "GET /f" + std::to_string(size) + " HTTP/1.1\r\nHost: x\r\n";
            if (*r.header) request += std::string("Range: ") + r.header + "\r\n";
            ASSERT_TRUE(c.Send(request + "\r\n"));
            std::string got = c.ReadAnswer();
            size_t end = got.find("\r\n\r\n");
            ASSERT_NE(std::string::npos, end) << got;
            bool whole = r.first == 0 && r.last == size - 1;
            EXPECT_EQ(whole ? "HTTP/1.1 200" : "HTTP/1.1 206", got.substr(0, 12));
            unsigned long long len = r.last - r.first + 1;
            EXPECT_NE(std::string::npos,
                      got.find("Content-Length: " + std::to_string(len) + "\r\n"));
            if (!whole) {
                std::string range = "Content-Range: bytes " + std::to_string(r.first) + "-" +
                                    std::to_string(r.last) + "/" + std::to_string(size) + "\r\n";
                EXPECT_NE(std::string::npos, got.find(range)) << got.substr(0, end);
            }
            EXPECT_EQ(blob.substr(r.first, len), got.substr(end + 4));
            ASSERT_TRUE(rec.WaitCompletions(++done));
            EXPECT_EQ(0, rec.Completions().back().code);
            EXPECT_EQ(0, OpenBelow(dir));  // the file was closed before the caller heard
        }
        ASSERT_TRUE(c.Send("HEAD /f" + std::to_string(size) + " HTTP/1.1\r\nHost: x\r\n\r\n"));
        std::string head = c.ReadHead();
        EXPECT_NE(std::string::npos, head.find("Content-Length: " + std::to_string(size) + "\r\n"))
            << head;
        ASSERT_TRUE(rec.WaitCompletions(++done));
        EXPECT_EQ(0, rec.Completions().back().code);
    }
    EXPECT_FALSE(c.Closed());
    // An empty file and a directory are no answer body: code 6, and the connection ends
    // without a byte of an answer.
    for (const char* name : {"/empty", "/d"}) {
        SCOPED_TRACE(name);
        Client e(port);
        ASSERT_TRUE(e.Send(std::string("GET ") + name + " HTTP/1.1\r\nHost: x\r\n\r\n"));
        EXPECT_EQ("", e.ReadAll());
        ASSERT_TRUE(rec.WaitCompletions(++done));
        EXPECT_EQ(6, rec.Completions().back().code);
        EXPECT_EQ(0, OpenBelow(dir));
    }
}

}  // namespace
}  // namespace srvtest
