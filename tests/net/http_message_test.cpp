// The HTTP message layer on its own: heads (request, response, field blocks), framing,
// lengths, parameters, ranges, chunked bodies and the first part of a form, each fed whole
// and split at every byte. The differential runs against h11 and python-multipart cover
// the generated streams; these tables pin the exact results callers rely on.
#include <gtest/gtest.h>

#include <string>

#include "net/vnhttpbody.h"
#include "net/vnhttphead.h"
#include "net/vnhttpmultipart.h"
#include "net/vnhttprange.h"

namespace {

TEST(HttpHead, RequestHeads) {
    struct Row {
        std::string in;
        int result;
        unsigned status;     // error status, or 0
        const char* target;  // on kComplete
    } rows[] = {
        {"GET /a?b HTTP/1.1\r\nHost: x\r\n\r\n", CHttpHead::kComplete, 0, "/a?b"},
        {"\r\n\nGET / HTTP/1.0\r\n\r\n", CHttpHead::kComplete, 0, "/"},  // empty lines first
        {"GET / HTTP/1.1\nHost: x\n\n", CHttpHead::kComplete, 0, "/"},
        {"GET / HTTP/1.1\r\nHost: x\r\n", CHttpHead::kNeedMore, 0, ""},
        {"GET / HTTP/1.1\r\nHost: x\r\n\r", CHttpHead::kNeedMore, 0, ""},
        {" GET / HTTP/1.1", CHttpHead::kMalformed, 400, ""},  // refused before the rest
        {"GET  / HTTP/1.1\r\nHost: x\r\n\r\n", CHttpHead::kMalformed, 400, ""},
        {"GET / HTTP/1.1 \r\nHost: x\r\n\r\n", CHttpHead::kMalformed, 400, ""},
        {"GET /\x80 HTTP/1.1\r\nHost: x\r\n\r\n", CHttpHead::kMalformed, 400, ""},
        {"GET / HTTP/3.0\r\n\r\n", CHttpHead::kMalformed, 505, ""},
        {"GET / HTTP/1.2\r\n\r\n", CHttpHead::kMalformed, 400, ""},  // taken as 1.1: Host
        {"GET / HTTP/1.1\r\nHost: x\r\nA: b\rc\r\n\r\n", CHttpHead::kMalformed, 400, ""},
        {"GET / HTTP/1.1\r\nHost: x\r\nA:\tb \t\r\n\r\n", CHttpHead::kComplete, 0, "/"},
        {"GET / HTTP/1.1\r\nHost: x\r\n: b\r\n\r\n", CHttpHead::kMalformed, 400, ""},
        {"GET / HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: gzip\r\n\r\n", CHttpHead::kMalformed, 501,
         ""},
        {"GET / HTTP/1.1\r\nHost: x\r\nX: " + std::string(3000, 'x') + "\r\n\r\n",
         CHttpHead::kTooLong, 431, ""},
        {"GET / HTTP/1.1\r\nHost: x\r\nX: " + std::string(3000, 'x'), CHttpHead::kTooLong, 431, ""},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.in.substr(0, 40));
        CHttpHead head;
        size_t used = 0;
        EXPECT_EQ(r.result, head.ParseRequest(r.in.data(), r.in.size(), 2048, &used));
        EXPECT_EQ(r.status, head.GetErrorStatus());
        if (r.result == CHttpHead::kComplete) {
            EXPECT_EQ(r.in.size(), used);
            EXPECT_STREQ(r.target, head.GetTarget().c_str());
            // The kept text has CRLF line ends only, from the request line on.
            std::string text(head.GetText().c_str(), head.GetText().length());
            EXPECT_EQ(0u, text.find(head.GetMethod().c_str()));
            EXPECT_EQ(text.size() - 4, text.find("\r\n\r\n"));
        }
    }
}

TEST(HttpHead, FieldsFramingAndConnection) {
    const char* in =
        "HTTP/1.1 200\r\nContent-Length: 7, 7\r\ncontent-length:7\r\nConnection: Keep-Alive, "
        "Close\r\nX-Empty:\r\nSet-Cookie: a=1\r\nSet-Cookie: b=2\r\n\r\nbody";
    CHttpHead head;
    size_t used = 0;
    ASSERT_EQ(CHttpHead::kComplete, head.ParseResponse(in, strlen(in), 2048, &used));
    EXPECT_EQ(strlen(in) - 4, used);
    EXPECT_EQ(200u, head.GetStatus());
    EXPECT_TRUE(head.GetReason().empty());
    EXPECT_EQ(6u, head.GetFieldCount());
    EXPECT_EQ(2u, head.Count("set-cookie"));
    vn::strutf8 v("x");
    EXPECT_TRUE(head.Find("X-EMPTY", v) && v.empty());
    EXPECT_TRUE(head.HasToken("connection", "close"));
    EXPECT_FALSE(head.IsKeepAlive());
    unsigned long long len = 0;
    EXPECT_EQ(CHttpHead::kBodyLength, head.GetBodyKind(&len));
    EXPECT_EQ(7u, len);

    // What follows a response: none for 1xx, 204, 304, HEAD and a successful CONNECT;
    // chunked over a length; else the length, else until close.
    struct Row {
        const char* in;
        const char* method;
        int kind;
    } rows[] = {
        {"HTTP/1.1 100 Continue\r\n\r\n", "GET", CHttpHead::kBodyNone},
        {"HTTP/1.1 204 No Content\r\nContent-Length: 5\r\n\r\n", "GET", CHttpHead::kBodyNone},
        {"HTTP/1.1 304 Not Modified\r\n\r\n", "GET", CHttpHead::kBodyNone},
        {"HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\n", "HEAD", CHttpHead::kBodyNone},
        {"HTTP/1.1 200 OK\r\n\r\n", "CONNECT", CHttpHead::kBodyNone},
        {"HTTP/1.1 407 Auth\r\nContent-Length: 5\r\n\r\n", "CONNECT", CHttpHead::kBodyLength},
        {"HTTP/1.1 200 OK\r\nContent-Length: 5\r\nTransfer-Encoding: chunked\r\n\r\n", "GET",
         CHttpHead::kBodyChunked},
        {"HTTP/1.0 200 OK\r\n\r\n", "GET", CHttpHead::kBodyUntilClose},
    };
    for (const Row& r : rows) {
        CHttpHead h;
        ASSERT_EQ(CHttpHead::kComplete, h.ParseResponse(r.in, strlen(r.in), 2048, &used)) << r.in;
        EXPECT_EQ(r.kind, h.GetBodyKind(&len, r.method)) << r.in;
    }
    // A field block: a part head, trailers; it may be empty.
    EXPECT_EQ(CHttpHead::kComplete, head.ParseFields("\r\nrest", 6, 100, &used));
    EXPECT_EQ(2u, used);
    EXPECT_EQ(CHttpHead::kMalformed, head.ParseFields("A: b\r\n c\r\n\r\n", 12, 100, &used));
}

TEST(HttpHead, LengthsAndParameters) {
    struct Len {
        const char* in;
        bool ok;
        unsigned long long value;
    } lens[] = {
        {"0", true, 0},
        {"00012", true, 12},
        {" 5 , 5,5 ", true, 5},
        {"5, 05", false, 0},  // the same number written another way is another length
        {"9223372036854775807", true, 9223372036854775807ull},
        {"9223372036854775808", false, 0},
        {"5,", false, 0},
        {"5, 6", false, 0},
        {"+5", false, 0},
        {"", false, 0},
        {"1 2", false, 0},
    };
    for (const Len& l : lens) {
        unsigned long long v = 0;
        EXPECT_EQ(l.ok, CHttpHead::ParseContentLength(l.in, strlen(l.in), &v)) << l.in;
        if (l.ok) {
            EXPECT_EQ(l.value, v) << l.in;
        }
    }
    struct Param {
        const char* value;
        const char* name;
        const char* want;  // null: not found
    } params[] = {
        {"multipart/form-data; boundary=XyZ; charset=utf-8", "boundary", "XyZ"},
        {"multipart/form-data;charset=utf-8;BOUNDARY=\"a \\\"b\\\\\"", "boundary", "a \"b\\"},
        {"multipart/form-data; boundary=====x==", "boundary", "====x=="},
        {"form-data; name=\"f\"; filename=\"a;b.txt\"", "filename", "a;b.txt"},
        {"form-data; name=\"f\"", "filename", nullptr},
        {"form-data; filename=\"open", "filename", nullptr},
        {"text/plain", "charset", nullptr},
    };
    for (const Param& p : params) {
        vn::strutf8 v;
        bool found = CHttpHead::GetParameter(p.value, strlen(p.value), p.name, v);
        EXPECT_EQ(p.want != nullptr, found) << p.value;
        if (found) {
            EXPECT_STREQ(p.want, v.c_str()) << p.value;
        }
    }
}

TEST(HttpRange, EvaluateAndContentRange) {
    struct Row {
        const char* in;
        unsigned long long total;
        int result;
        unsigned long long first, last;
    } rows[] = {
        {"bytes=0-", 10, CHttpRange::kPart, 0, 9},
        {"bytes=2-4", 10, CHttpRange::kPart, 2, 4},
        {"bytes=2-99", 10, CHttpRange::kPart, 2, 9},
        {"bytes=-3", 10, CHttpRange::kPart, 7, 9},
        {"bytes=-30", 10, CHttpRange::kPart, 0, 9},
        {"Bytes=1-1", 10, CHttpRange::kPart, 1, 1},
        {"bytes=10-", 10, CHttpRange::kUnsatisfiable, 0, 0},
        {"bytes=-0", 10, CHttpRange::kUnsatisfiable, 0, 0},
        {"bytes=0-", 0, CHttpRange::kUnsatisfiable, 0, 0},
        {"bytes=5-2", 10, CHttpRange::kWhole, 0, 0},
        {"bytes=0x5-", 10, CHttpRange::kWhole, 0, 0},
        {"bytes=1-2,4-5", 10, CHttpRange::kWhole, 0, 0},
        {"items=1-2", 10, CHttpRange::kWhole, 0, 0},
        {"bytes=", 10, CHttpRange::kWhole, 0, 0},
        {"bytes=-", 10, CHttpRange::kWhole, 0, 0},
    };
    for (const Row& r : rows) {
        unsigned long long first = 0, last = 0;
        EXPECT_EQ(r.result, CHttpRange::Evaluate(r.in, strlen(r.in), r.total, &first, &last))
            << r.in;
        if (r.result == CHttpRange::kPart) {
            EXPECT_EQ(r.first, first) << r.in;
            EXPECT_EQ(r.last, last) << r.in;
        }
    }
    unsigned long long a = 0, b = 0;
    long long total = 0;
    EXPECT_TRUE(CHttpRange::ParseContentRange("bytes 5-9/10", 12, &a, &b, &total));
    EXPECT_TRUE(a == 5 && b == 9 && total == 10);
    EXPECT_TRUE(CHttpRange::ParseContentRange("bytes 0-0/*", 11, &a, &b, &total));
    EXPECT_EQ(-1, total);
    for (const char* bad : {"bytes */10", "bytes 5-4/10", "bytes 5-10/10", "bytes 5-9/10x"})
        EXPECT_FALSE(CHttpRange::ParseContentRange(bad, strlen(bad), &a, &b, &total)) << bad;
}

// Feeds in split at one point (or not at all) and returns the data and the verdict.
std::string Decode(const std::string& in, int kind, unsigned long long len, size_t split,
                   size_t* pUsed) {
    CHttpBodyDecoder body;
    body.Start(kind, len);
    std::string out;
    std::string fed = in.substr(0, split);
    size_t taken = 0;
    for (int pass = 0; pass < 2; ++pass) {
        for (;;) {
            size_t used = 0, n = 0;
            const char* data = nullptr;
            int r = body.Step(fed.data() + taken, fed.size() - taken, &used, &data, &n);
            taken += used;
            if (r == CHttpBodyDecoder::kData) {
                out.append(data, n);
                continue;
            }
            if (r == CHttpBodyDecoder::kDone) {
                *pUsed = taken;
                return out + "|done";
            }
            if (r == CHttpBodyDecoder::kMalformed) return out + "|bad";
            break;
        }
        fed = in;
    }
    *pUsed = taken;
    return out + (body.End() == CHttpBodyDecoder::kDone ? "|closed" : "|cut");
}

TEST(HttpBodyDecoder, EverySplitGivesTheSameBody) {
    const std::string chunked =
        "3;ext=1\r\nabc\r\n0A \r\n0123456789\r\n0\r\nT: v\r\nU: w\r\n\r\nNEXT";
    struct Row {
        std::string in;
        int kind;
        unsigned long long len;
        const char* want;
        size_t used;  // consumed when done
    } rows[] = {
        {chunked, CHttpHead::kBodyChunked, 0, "abc0123456789|done", chunked.size() - 4},
        {"hello world", CHttpHead::kBodyLength, 5, "hello|done", 5},
        {"hel", CHttpHead::kBodyLength, 5, "hel|cut", 3},
        {"tail", CHttpHead::kBodyUntilClose, 0, "tail|closed", 4},
        {"", CHttpHead::kBodyNone, 0, "|done", 0},
        {"5\r\nhel", CHttpHead::kBodyChunked, 0, "hel|cut", 6},
        {"5\nhello\r\n0\r\n\r\n", CHttpHead::kBodyChunked, 0, "|bad", 0},
        {"-5\r\n", CHttpHead::kBodyChunked, 0, "|bad", 0},
        {"10000000000000000\r\n", CHttpHead::kBodyChunked, 0, "|bad", 0},
        {"0000000000000000000001\r\n", CHttpHead::kBodyChunked, 0, "|bad", 0},
        {"1;a\x01\r\nx\r\n0\r\n\r\n", CHttpHead::kBodyChunked, 0, "|bad", 0},
        {"0\r\nT:\r\n v\r\n\r\n", CHttpHead::kBodyChunked, 0, "|bad", 0},
    };
    for (const Row& r : rows) {
        for (size_t split = 0; split <= r.in.size(); ++split) {
            size_t used = 0;
            EXPECT_EQ(r.want, Decode(r.in, r.kind, r.len, split, &used)) << r.in << " @" << split;
            if (std::string(r.want).find("|done") != std::string::npos) {
                EXPECT_EQ(r.used, used) << r.in << " @" << split;
            }
        }
    }
    // The trailers of a complete body; a run given back is handed out again.
    CHttpBodyDecoder body;
    body.Start(CHttpHead::kBodyChunked);
    size_t used = 0, n = 0;
    const char* data = nullptr;
    ASSERT_EQ(CHttpBodyDecoder::kData, body.Step(chunked.data(), chunked.size(), &used, &data, &n));
    EXPECT_EQ("abc", std::string(data, n));
    body.Unread(2);
    size_t again = 0;
    ASSERT_EQ(CHttpBodyDecoder::kData,
              body.Step(chunked.data() + used - 2, chunked.size(), &again, &data, &n));
    EXPECT_EQ("bc", std::string(data, n));
    while (body.Step("", 0, &again, &data, &n) == CHttpBodyDecoder::kData) {
    }
}

TEST(HttpMultipart, BoundariesAndTheFirstPartAtEverySplit) {
    struct B {
        const char* type;
        int result;
    } bounds[] = {
        {"multipart/form-data; boundary=abc", 1},
        {"Multipart/Form-Data ; boundary=\"a b\"", 1},
        {"multipart/form-data; charset=utf-8", -1},
        {"multipart/form-data; boundary=", -1},
        {"multipart/form-data; boundary=\"ends in space \"", -1},
        {"multipart/mixed; boundary=abc", 0},
        {"text/plain", 0},
    };
    for (const B& b : bounds) {
        std::string in =
            std::string("POST / HTTP/1.1\r\nHost: x\r\nContent-Type: ") + b.type + "\r\n\r\n";
        CHttpHead head;
        size_t used = 0;
        ASSERT_EQ(CHttpHead::kComplete, head.ParseRequest(in.data(), in.size(), 2048, &used));
        vn::strutf8 boundary;
        EXPECT_EQ(b.result, CHttpMultipartReader::GetBoundary(head, boundary)) << b.type;
    }
    const std::string content = "x\r\n--bnd-not\r\n--bn\r\n-";
    const std::string form =
        "preamble\r\n--bnd \r\nContent-Disposition: form-data; name=\"f\"\r\n\r\n" + content +
        "\r\n--bnd\r\nX: y\r\n\r\nz\r\n--bnd--\r\n";
    for (size_t split = 0; split <= form.size(); ++split) {
        CHttpMultipartReader reader;
        reader.Start("bnd", 2048);
        std::string out, pending;
        int last = CHttpMultipartReader::kNeedMore;
        for (const std::string& piece : {form.substr(0, split), form.substr(split)}) {
            pending += piece;
            for (;;) {
                size_t used = 0, n = 0;
                const char* data = nullptr;
                last = reader.Step(pending.data(), pending.size(), &used, &data, &n);
                if (last == CHttpMultipartReader::kData) out.append(data, n);
                pending.erase(0, used);
                if (last != CHttpMultipartReader::kData && last != CHttpMultipartReader::kHead)
                    break;
            }
        }
        EXPECT_EQ(CHttpMultipartReader::kDone, last) << split;
        EXPECT_EQ(content, out) << split;
        EXPECT_STREQ("form-data; name=\"f\"",
                     [&] {
                         vn::strutf8 v;
                         reader.GetPartHead().Find("content-disposition", v);
                         return std::string(v.c_str());
                     }()
                         .c_str());
    }
}

}  // namespace
