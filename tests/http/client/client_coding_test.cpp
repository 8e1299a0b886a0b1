// The HTTP client's content codings, request methods and rate limits: nginx with gzip and a
// DAV location as the real peer, and scripted origins for what nginx will not send on
// demand (corrupt, cut and trailing gzip, raw deflate, a gzip bomb, codings not asked for,
// coded parts of a resumed file).
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <chrono>
#include <string>
#include <vector>

#include "http/client/client_test_util.h"
#include "support/external_peer.h"
#include "support/http_peers.h"
#include "support/proxy_peers.h"

using namespace httptest;
using vntest::ReadUntil;
using vntest::ScriptedPeer;
using vntest::SendAll;

namespace {

// text coded by zlib: 31 = gzip wrapper, 15 = zlib wrapper, -15 = raw deflate.
std::string Deflate(const std::string& text, int windowBits) {
    z_stream s{};
    deflateInit2(&s, 6, Z_DEFLATED, windowBits, 8, Z_DEFAULT_STRATEGY);
    std::string out(deflateBound(&s, text.size()) + 64, '\0');
    s.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(text.data()));
    s.avail_in = static_cast<uInt>(text.size());
    s.next_out = reinterpret_cast<Bytef*>(&out[0]);
    s.avail_out = static_cast<uInt>(out.size());
    deflate(&s, Z_FINISH);
    out.resize(s.total_out);
    deflateEnd(&s);
    return out;
}
std::string Gzip(const std::string& text) {
    return Deflate(text, 31);
}

// Text that compresses the way pages and logs do.
std::string Text(size_t n) {
    std::string t;
    for (unsigned i = 0; t.size() < n; ++i)
        t += "line " + std::to_string(i * 7919 % 100003) + " of the quick brown fox\n";
    t.resize(n);
    return t;
}

std::string Url(const ScriptedPeer& p, const std::string& path = "/f") {
    return "http://127.0.0.1:" + std::to_string(p.port()) + path;
}

std::string Answer(const std::string& fields, const std::string& body) {
    return "HTTP/1.1 200 OK\r\n" + fields + "Content-Length: " + std::to_string(body.size()) +
           "\r\n\r\n" + body;
}

double Seconds(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

double CpuSeconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

}  // namespace

TEST(HttpClientCodings, CodedBodiesAreWholeOrFail) {
    const std::string plain = Text(200000);
    const std::string gz = Gzip(plain);
    const std::string half = plain.substr(0, 100000);
    struct Row {
        const char* name;
        bool on;             // SetCompressed
        char how;            // 'w': whole; 'b': 7-byte pieces; 'c': no length, then close
        std::string fields;  // before Content-Length
        std::string body;    // as sent
        unsigned int code;
        std::string expect;  // the body kept (when code is 0)
    } rows[] = {
        {"gzip", true, 'w', "Content-Encoding: gzip\r\n", gz, 0, plain},
        {"gzip in small pieces", true, 'b', "Content-Encoding: gzip\r\n", Gzip(half), 0, half},
        {"x-gzip, any case", true, 'w', "Content-Encoding: X-GZip\r\n", gz, 0, plain},
        {"deflate with its zlib wrapper", true, 'w', "Content-Encoding: deflate\r\n",
         Deflate(plain, 15), 0, plain},
        {"deflate without it", true, 'w', "Content-Encoding: deflate\r\n", Deflate(plain, -15), 0,
         plain},
        {"two gzip members", true, 'w', "Content-Encoding: gzip\r\n",
         Gzip(half) + Gzip(plain.substr(100000)), 0, plain},
        {"identity", true, 'w', "Content-Encoding: identity\r\n", plain, 0, plain},
        {"until close", true, 'c', "Content-Encoding: gzip\r\n", gz, 0, plain},
        {"off: stored as sent", false, 'w', "Content-Encoding: gzip\r\n", gz, 0, gz},
        {"corrupt", true, 'w', "Content-Encoding: gzip\r\n",
         gz.substr(0, 40) + std::string(64, 'x') + gz.substr(104), 2, ""},
        {"length ends inside the stream", true, 'w', "Content-Encoding: gzip\r\n",
         gz.substr(0, gz.size() / 2), 2, ""},
        {"close inside the stream", true, 'c', "Content-Encoding: gzip\r\n",
         gz.substr(0, gz.size() - 9), 2, ""},
        {"bytes after the stream", true, 'w', "Content-Encoding: gzip\r\n", gz + "trailing", 2, ""},
        {"bytes after deflate", true, 'w', "Content-Encoding: deflate\r\n",
         Deflate(plain, 15) + "x", 2, ""},
        {"coding not asked for", true, 'w', "Content-Encoding: br\r\n", "\x0b\x02\x80", 2, ""},
        {"two codings", true, 'w', "Content-Encoding: gzip, gzip\r\n", Gzip(gz), 2, ""},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        Heads heads;
        ScriptedPeer peer(1, [&](int fd, int) {
            heads.Read(fd);
            std::string a = r.how == 'c' ? "HTTP/1.1 200 OK\r\n" + r.fields + "\r\n" + r.body
                                         : Answer(r.fields, r.body);
            size_t step = r.how == 'b' ? 7 : a.size();
            for (size_t i = 0; i < a.size(); i += step)
                SendAll(fd, a.substr(i, step));
            if (r.how != 'c') vntest::WaitPeerClose(fd, kWaitMs);
        });
        Client c;
        c->SetTimeout(5000, 5000, 0);
        c->SetCompressed(r.on ? 1 : 0);
        ASSERT_TRUE(c->Download(U(Url(peer)), nullptr));
        EXPECT_EQ(r.code, c.sink.WaitCode());
        bool asks =
            heads.Get(0).find("\r\nAccept-Encoding: gzip, deflate\r\n") != std::string::npos;
        EXPECT_EQ(r.on, asks);
        if (r.code != 0) continue;
        EXPECT_TRUE(c.Buffer() == r.expect);
        unsigned long long wire = 0, decoded = 0;
        c->GetBodyCounts(wire, decoded);
        EXPECT_EQ(r.body.size(), wire);
        EXPECT_EQ(r.expect.size(), decoded);
    }
}

TEST(HttpClientCodings, ABombEndsAtTheMemoryBoundAndAFileTakesItWhole) {
    // 160 MB of zeros in a few hundred kilobytes: more than a memory target holds.
    std::string gz;
    {
        z_stream s{};
        deflateInit2(&s, 9, Z_DEFLATED, 31, 9, Z_DEFAULT_STRATEGY);
        std::string zeros(1 << 20, '\0'), out(1 << 16, '\0');
        for (int i = 0; i < 160; ++i) {
            s.next_in = reinterpret_cast<Bytef*>(&zeros[0]);
            s.avail_in = static_cast<uInt>(zeros.size());
            do {
                s.next_out = reinterpret_cast<Bytef*>(&out[0]);
                s.avail_out = static_cast<uInt>(out.size());
                deflate(&s, i == 159 ? Z_FINISH : Z_NO_FLUSH);
                gz.append(out.data(), out.size() - s.avail_out);
            } while (s.avail_out == 0);
        }
        deflateEnd(&s);
    }
    ScriptedPeer peer(1, [&](int fd, int) {
        ReadUntil(fd, "\r\n\r\n");
        SendAll(fd, Answer("Content-Encoding: gzip\r\n", gz));
        vntest::WaitPeerClose(fd, kWaitMs);
    });
    Client c;
    c->SetCompressed(1);
    ASSERT_TRUE(c->Download(U(Url(peer)), nullptr));
    EXPECT_EQ(static_cast<unsigned>(HTTPRESULT_WRITE_FAILED), c.sink.WaitCode(1, 60000));
    unsigned long long wire = 0, decoded = 0;
    c->GetBodyCounts(wire, decoded);
    // It went on to the bound (not stopped early for some other reason), and no further.
    EXPECT_LE(decoded, 102400000ull);
    EXPECT_GT(decoded, 102400000ull - (1 << 16));
    EXPECT_LT(wire, gz.size() + 1);
}

TEST(HttpClientCodings, ACodedBodyIsNeverResumedFromTheMiddle) {
    const std::string plain = Text(300000);
    const std::string gz = Gzip(plain);
    std::string dir = vntest::MakeTempDir("coded");
    std::string file = dir + "/t";
    struct Case {
        const char* name;
        std::vector<std::string> answers;  // one connection each
        bool preexisting;                  // the target holds 1000 bytes and resume is on
    } cases[] = {
        // Asked for the rest, the server sends a coded part: the whole is asked for again.
        {"coded part",
         {"HTTP/1.1 206 Partial\r\nContent-Encoding: gzip\r\nContent-Range: bytes 1000-1999/9999"
          "\r\nContent-Length: 1000\r\n\r\n" +
              std::string(1000, 'z'),
          Answer("Content-Encoding: gzip\r\n", gz)},
         true},
        // A coded body cut short is asked for whole, never with a Range after decoded bytes.
        {"cut short",
         {Answer("Content-Encoding: gzip\r\n", gz).substr(0, 5000),
          Answer("Content-Encoding: gzip\r\n", gz)},
         false},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        ASSERT_TRUE(vntest::WriteTextFile(file, k.preexisting ? std::string(1000, 'p') : ""));
        Heads heads;
        ScriptedPeer peer(static_cast<int>(k.answers.size()), [&](int fd, int i) {
            heads.Read(fd);
            SendAll(fd, k.answers[static_cast<size_t>(i)]);
            if (i + 1 < static_cast<int>(k.answers.size())) return;  // closed: cut short
            vntest::WaitPeerClose(fd, kWaitMs);
        });
        Client c;
        c->SetCompressed(1);
        ASSERT_TRUE(c->Download(U(Url(peer)), U(file), nullptr, k.preexisting ? 1 : 0));
        EXPECT_EQ(0u, c.sink.WaitCode());
        EXPECT_TRUE(vntest::ReadTextFile(file) == plain);
        EXPECT_EQ(k.preexisting, heads.Get(0).find("Range: bytes=1000-") != std::string::npos);
        EXPECT_EQ(std::string::npos, heads.Get(1).find("Range:"));
    }
    vntest::RemoveTree(dir);
}

class NginxMethodsTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        vntest::NginxOptions o;
        o.httpExtra = "  gzip on;\n  gzip_types *;\n  gzip_min_length 0;\n";
        o.serverExtra =
            "    location /dav/ {\n      dav_methods PUT DELETE;\n"
            "      create_full_put_path on;\n      gzip off;\n    }\n";
        s_nginx = vntest::NginxPeer::Start(o, &s_why);
        if (!s_nginx) return;
        s_text = Text(3 << 20);
        vntest::WriteTextFile(s_nginx->docroot() + "/t.txt", s_text);
    }
    void SetUp() override {
        if (!s_nginx) GTEST_SKIP() << "nginx: " << s_why;
    }
    static inline std::unique_ptr<vntest::NginxPeer> s_nginx;  // stopped at exit
    static inline std::string s_why;
    static inline std::string s_text;
};

TEST_F(NginxMethodsTest, GzipFromNginxIntoMemoryAndFile) {
    std::string dir = vntest::MakeTempDir("gz");
    for (bool toFile : {false, true}) {
        SCOPED_TRACE(toFile ? "file" : "memory");
        Client c;
        c->SetCompressed(1);
        c->SetNotifyMask(HTTPNOTIFY_PROGRESS);
        if (toFile)
            ASSERT_TRUE(c->Download(U(s_nginx->Url("/t.txt")), U(dir + "/t"), nullptr, 0));
        else
            ASSERT_TRUE(c->Download(U(s_nginx->Url("/t.txt")), nullptr));
        ASSERT_EQ(0u, c.sink.WaitCode());
        EXPECT_TRUE((toFile ? vntest::ReadTextFile(dir + "/t") : c.Buffer()) == s_text);
        unsigned long long wire = 0, decoded = 0;
        c->GetBodyCounts(wire, decoded);
        EXPECT_EQ(s_text.size(), decoded);
        EXPECT_LT(wire * 3, decoded);  // it came coded
        vn::strutf16 coding;
        EXPECT_TRUE(c->GetResponseHeader(U("Content-Encoding"), coding, 1));
    }
    vntest::RemoveTree(dir);
}

TEST_F(NginxMethodsTest, PutHeadDeleteOnDav) {
    std::string dir = vntest::MakeTempDir("dav");
    const std::string body = vntest::PatternBytes(700000, 3);
    ASSERT_TRUE(vntest::WriteTextFile(dir + "/up", body));
    const std::string url = s_nginx->Url("/dav/a/b.bin");
    const std::string onDisk = s_nginx->docroot() + "/dav/a/b.bin";
    struct Step {
        const char* method;
        char body;  // 'f': the file; 'm': memory; '-': none
        unsigned int code, status;
    } steps[] = {
        {"PUT", 'f', 0, 201}, {"GET", '-', 0, 200},    {"HEAD", '-', 0, 200},
        {"PUT", 'm', 0, 204}, {"PUT", '-', 0, 204},    {"DELETE", '-', 0, 204},
        {"GET", '-', 7, 404}, {"DELETE", '-', 7, 404}, {"PATCH", 'm', 2, 405},
    };
    Client c;
    for (const Step& s : steps) {
        SCOPED_TRACE(std::string(s.method) + " " + s.body);
        size_t n = c.sink.Completions() + 1;  // before the start: it may complete at once
        unsigned char ok =
            s.body == 'f'
                ? c->HttpRequestFile(U(url), s.method, U(dir + "/up"), U(""))
                : c->HttpRequest(U(url), s.method, "memory!", s.body == 'm' ? 7 : 0, U(""));
        ASSERT_TRUE(ok);
        EXPECT_EQ(s.code, c.sink.WaitCode(n));
        EXPECT_EQ(s.status, c->GetResponseStatus());
        std::string method = s.method;
        if (method == "GET" && s.code == 0) {
            EXPECT_TRUE(c.Buffer() == body);
        }
        if (method == "HEAD") {
            EXPECT_EQ("", c.Buffer());
            unsigned int len = 0;
            EXPECT_TRUE(c->GetResponseHeader(U("Content-Length"), len));
            EXPECT_EQ(body.size(), len);
        }
        if (method == "PUT" && s.body != 'f') {
            EXPECT_EQ(s.body == 'm' ? "memory!" : "", vntest::ReadTextFile(onDisk));
        } else if (method == "PUT") {
            EXPECT_TRUE(vntest::ReadTextFile(onDisk) == body);
        }
    }
    struct stat st {};
    EXPECT_NE(0, stat(onDisk.c_str(), &st));
    // Refused before anything starts: not a method token, and CONNECT.
    for (const char* bad : {"", "GE T", "GET\r\nX: y", "CONNECT"})
        EXPECT_FALSE(c->HttpRequest(U(url), bad, nullptr, 0, U(""))) << bad;
    EXPECT_FALSE(c->HttpRequest(U(url), nullptr, nullptr, 0, U("")));
    vntest::RemoveTree(dir);
}

TEST(HttpClientMethods, AnswersRedirectsAndBodies) {
    // A PATCH with its body; a PUT whose 303 is fetched with GET and no body; a 307 that
    // keeps the method and the body; a custom token into a file.
    Heads heads;
    std::vector<std::string> bodies;
    iotest::Waiter bw;
    ScriptedPeer peer(5, [&](int fd, int i) {
        std::string h = heads.Read(fd);
        size_t at = h.find("Content-Length: ");
        size_t len = at == std::string::npos ? 0 : std::stoul(h.substr(at + 16));
        std::string b = vntest::ReadExact(fd, len);
        bw.Update([&] { bodies.push_back(b); });
        const char* answers[] = {
            "HTTP/1.1 200 OK\r\nContent-Length: 7\r\nConnection: close\r\n\r\npatched",
            "HTTP/1.1 303 See Other\r\nLocation: /seen\r\nContent-Length: 0\r\nConnection: "
            "close\r\n\r\n",
            "HTTP/1.1 202 Accepted\r\nContent-Length: 4\r\nConnection: close\r\n\r\nseen",
            "HTTP/1.1 307 Again\r\nLocation: /again\r\nContent-Length: 0\r\nConnection: "
            "close\r\n\r\n",
            "HTTP/1.1 201 Created\r\nContent-Length: 2\r\nConnection: close\r\n\r\nok",
        };
        SendAll(fd, answers[i]);
        vntest::WaitPeerClose(fd, kWaitMs);
    });
    Client c;
    ASSERT_TRUE(c->HttpRequest(U(Url(peer, "/p")), "PATCH", "{\"a\":1}", 7, U("")));
    EXPECT_EQ(0u, c.sink.WaitCode(1));
    EXPECT_EQ("patched", c.Buffer());
    c->AddHeader(U("Content-Type"), U("text/plain"));
    c->AddHeader(U("X-Kept"), U("1"));
    ASSERT_TRUE(c->HttpRequest(U(Url(peer, "/put")), "PUT", "data", 4, U("")));
    EXPECT_EQ(0u, c.sink.WaitCode(2));
    EXPECT_EQ(202u, c->GetResponseStatus());
    EXPECT_EQ("seen", c.Buffer());
    std::string dir = vntest::MakeTempDir("m");
    ASSERT_TRUE(c->HttpRequest(U(Url(peer, "/x")), "X-THING", "zz", 2, U(dir + "/out")));
    EXPECT_EQ(0u, c.sink.WaitCode(3));
    EXPECT_EQ("ok", vntest::ReadTextFile(dir + "/out"));
    EXPECT_EQ(0u, heads.Get(0).find("PATCH /p HTTP/1.1\r\n"));
    EXPECT_EQ(0u, heads.Get(1).find("PUT /put HTTP/1.1\r\n"));
    EXPECT_EQ(0u, heads.Get(2).find("GET /seen HTTP/1.1\r\n"));
    EXPECT_EQ(std::string::npos, heads.Get(2).find("Content-Length"));
    // The fields that described the body went with it; the others stayed.
    EXPECT_NE(std::string::npos, heads.Get(1).find("Content-Type"));
    EXPECT_EQ(std::string::npos, heads.Get(2).find("Content-Type"));
    EXPECT_NE(std::string::npos, heads.Get(2).find("X-Kept"));
    EXPECT_EQ(0u, heads.Get(3).find("X-THING /x HTTP/1.1\r\n"));
    EXPECT_EQ(0u, heads.Get(4).find("X-THING /again HTTP/1.1\r\n"));
    bw.Read([&] {
        EXPECT_EQ((std::vector<std::string>{"{\"a\":1}", "data", "", "zz", "zz"}), bodies);
        return 0;
    });
    vntest::RemoveTree(dir);
}

TEST(HttpClientRateLimit, BothDirectionsKeepToTheRateWithoutSpinning) {
    // 1.5 MiB each way at 512 KiB/s: three seconds, less a sixteenth for the first bucket.
    const size_t kSize = 3 << 19;
    const unsigned int kRate = 1 << 19;
    const std::string data = vntest::PatternBytes(kSize, 9);
    ScriptedPeer down(1, [&](int fd, int) {
        ReadUntil(fd, "\r\n\r\n");
        SendAll(fd, Answer("", data));
        vntest::WaitPeerClose(fd, 20000);
    });
    ScriptedPeer up(1, [&](int fd, int) {
        ReadUntil(fd, "\r\n\r\n");
        std::string got = vntest::ReadExact(fd, kSize, 20000);
        SendAll(fd, got == data ? "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n"
                                : "HTTP/1.1 400 Bad\r\nContent-Length: 0\r\n\r\n");
        vntest::WaitPeerClose(fd, 20000);
    });
    Client d, u;
    d->SetRateLimit(kRate, 0);
    u->SetRateLimit(0, kRate);
    double cpu = CpuSeconds();
    auto t0 = std::chrono::steady_clock::now();
    ASSERT_TRUE(d->Download(U(Url(down)), nullptr));
    ASSERT_TRUE(u->HttpRequest(U(Url(up)), "PUT", data.data(), kSize, U("")));
    EXPECT_EQ(0u, d.sink.WaitCode(1, 20000));
    double tDown = Seconds(t0);
    EXPECT_EQ(0u, u.sink.WaitCode(1, 20000));
    double tUp = Seconds(t0);
    cpu = CpuSeconds() - cpu;
    EXPECT_TRUE(d.Buffer() == data);
    double ideal = (kSize - kRate / 16.0) / kRate;  // 2.94 s
    // Never faster than the rate allows; slower only by what a loaded machine adds.
    EXPECT_GT(tDown, ideal * 0.97);
    EXPECT_GT(tUp, ideal * 0.97);
    EXPECT_LT(tDown, ideal * 1.6);
    EXPECT_LT(tUp, ideal * 1.6);
    // Sleeping between refills, not polling: well under a core over those seconds.
    EXPECT_LT(cpu, tUp * 0.5) << cpu;
}
