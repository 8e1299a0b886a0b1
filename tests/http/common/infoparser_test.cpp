// CHttpInfoParser and the header key search under it: the exact answer heads peers
// receive, header lookup rules, request head and multipart analysis, ranges and names.
#include <gtest/gtest.h>

#include <string>

#include "http/common/vnhttpinfoparser.h"
#include "net/vnhttptext_internal.h"

namespace {

std::string S(const vn::strutf8& s) {
    return std::string(s.c_str(), s.length());
}

TEST(HttpInfoParser, AnswerHeadsAreExact) {
    EXPECT_EQ(
        "HTTP/1.1 200 OK \r\nServer: ZR/1.0.0 (Corvane) \r\nContent-Length: 5\r\n"
        "Connection: close\r\n\r\n",
        S(CHttpInfoParser::MakeSvrResHead(200, 5, 0, 0, 0)));
    EXPECT_EQ(
        "HTTP/1.1 206 OK \r\nServer: ZR/1.0.0 (Corvane) \r\nContent-Range: bytes 400-999/1000\r\n"
        "Content-Length: 600\r\nConnection: keep-alive\r\n\r\n",
        S(CHttpInfoParser::MakeSvrResHead(206, 1000, 1, 0, 400)));
    EXPECT_EQ(
        "HTTP/1.1 404 Error \r\nServer: ZR/1.0.0 (Corvane) \r\nContent-Encoding: gzip\r\n"
        "Content-Length: 9\r\nConnection: close\r\n\r\n",
        S(CHttpInfoParser::MakeSvrResHead(404, 9, 0, 1, 0)));
    // Sizes beyond 4 GiB are printed whole.
    EXPECT_NE(std::string::npos, S(CHttpInfoParser::MakeSvrResHead(200, 5000000000ull, 0, 0, 0))
                                     .find("Content-Length: 5000000000\r\n"));
}

TEST(HttpInfoParser, QueryInfoRules) {
    struct Case {
        const char* head;
        const char* name;
        bool found;
        const char* value;
    } cases[] = {
        {"GET / HTTP/1.1\r\ncontent-length: 12\r\n\r\n", "Content-Length", true, "12"},
        {"GET / HTTP/1.1\r\nContent-Length : 12\r\n\r\n", "content-length", true, "12"},
        {"GET / HTTP/1.1\r\nContent-Range: bytes 1-2/3\r\n\r\n", "Range", false, ""},
        {"Range: bytes=1-\r\n\r\n", "Range", false, ""},  // the first line never matches
        {"GET / HTTP/1.1\r\nA: 1\r\nA: 2\r\n\r\n", "A", true, "1"},
        {"GET / HTTP/1.1\r\nA:  \t x y \r\n\r\n", "A", true, "x y"},
        {"GET / HTTP/1.1\r\nA: 1; q", "A", true, "1"},  // last line without a line feed
        {"GET / HTTP/1.1\r\nA: 1", "A", false, ""},
        {"GET / HTTP/1.1\r\nA: 1\r\n\r\n", "", false, ""},
    };
    for (const Case& c : cases) {
        vn::strutf8 value("untouched");
        EXPECT_EQ(c.found ? 1 : 0, CHttpInfoParser::QueryInfo(c.head, c.name, value)) << c.head;
        EXPECT_EQ(c.found ? c.value : "untouched", S(value)) << c.head;
    }
    unsigned int n = 7;
    EXPECT_EQ(1, CHttpInfoParser::QueryInfo("X\r\nN: 42\r\n", "N", n));
    EXPECT_EQ(42u, n);
    EXPECT_EQ(0, CHttpInfoParser::QueryInfo("X\r\nN: 4x\r\n", "N", n));
    EXPECT_EQ(-1, vn::detail::HttpFindHeader(nullptr, 0, "N"));
}

TEST(HttpInfoParser, PlainRequestHead) {
    std::string req = "GET / HTTP/1.1\r\nContent-Length: 10\r\n\r\n";
    std::string bytes = req + "0123456789";
    unsigned start = 0, len = 0;
    unsigned long long clen = 0;
    vn::strutf8 boundary;
    EXPECT_EQ(0, CHttpInfoParser::GetHttpHeadInfo(bytes.data(), 20, start, len, clen, boundary));
    EXPECT_EQ(0, CHttpInfoParser::GetHttpHeadInfo(nullptr, 5, start, len, clen, boundary));
    ASSERT_EQ(1, CHttpInfoParser::GetHttpHeadInfo(bytes.data(), bytes.size(), start, len, clen,
                                                  boundary));
    EXPECT_EQ(0u, start);
    EXPECT_EQ(req.size(), len);
    EXPECT_EQ(10u, clen);
    // A body that happens to spell the words of a multipart head changes nothing.
    bytes = req + "multipart/form-data; boundary=zz\r\n--zz\r\nA: b\r\n\r\n";
    ASSERT_EQ(1, CHttpInfoParser::GetHttpHeadInfo(bytes.data(), bytes.size(), start, len, clen,
                                                  boundary));
    EXPECT_EQ(req.size(), len);
}

TEST(HttpInfoParser, MultipartRequestHead) {
    std::string head =
        "POST /up HTTP/1.1\r\nContent-Type: multipart/form-data; boundary=abc\r\n"
        "Content-Length: 100\r\n\r\n";
    std::string part =
        "--abc\r\nContent-Disposition: form-data; name=\"f\"; filename=\"x\"\r\n\r\n";
    std::string bytes = head + part + "DATA";
    unsigned start = 0, len = 0;
    unsigned long long clen = 0;
    vn::strutf8 boundary;
    ASSERT_EQ(1, CHttpInfoParser::GetHttpHeadInfo(bytes.data(), bytes.size(), start, len, clen,
                                                  boundary));
    EXPECT_EQ("abc", S(boundary));
    EXPECT_EQ(head.size() + part.size(), len);
    EXPECT_EQ(100u - part.size(), clen);
    // Quoted boundaries are unquoted; a part head still on its way is not complete.
    std::string quoted = head;
    quoted.replace(quoted.find("abc"), 3, "\"abc\"");
    bytes = quoted + part;
    ASSERT_EQ(1, CHttpInfoParser::GetHttpHeadInfo(bytes.data(), bytes.size(), start, len, clen,
                                                  boundary));
    EXPECT_EQ("abc", S(boundary));
    bytes = head + part.substr(0, part.size() - 2);
    EXPECT_EQ(0, CHttpInfoParser::GetHttpHeadInfo(bytes.data(), bytes.size(), start, len, clen,
                                                  boundary));
    // A declared length shorter than the part head does not wrap around.
    bytes =
        "POST / HTTP/1.1\r\nContent-Type: multipart/form-data; boundary=abc\r\n"
        "Content-Length: 3\r\n\r\n" +
        part;
    ASSERT_EQ(1, CHttpInfoParser::GetHttpHeadInfo(bytes.data(), bytes.size(), start, len, clen,
                                                  boundary));
    EXPECT_EQ(0u, clen);
}

TEST(HttpInfoParser, RangeAndNames) {
    unsigned long long start = 99;
    EXPECT_EQ(1, CHttpInfoParser::GetRange("GET / HTTP/1.1\r\n\r\n", start));
    EXPECT_EQ(99u, start);
    EXPECT_EQ(1, CHttpInfoParser::GetRange("GET / HTTP/1.1\r\nRange: bytes=500-\r\n\r\n", start));
    EXPECT_EQ(500u, start);
    EXPECT_EQ(0, CHttpInfoParser::GetRange("GET / HTTP/1.1\r\nRange: 500-\r\n\r\n", start));
    EXPECT_EQ(0, CHttpInfoParser::GetRange("GET / HTTP/1.1\r\nRange: bytes=x-\r\n\r\n", start));

    vn::strutf8 name;
    EXPECT_EQ(
        1, CHttpInfoParser::GetDispositionFileName(
               "X\r\nContent-Disposition: form-data; name=\"f\"; filename=\"a b.txt\"\r\n", name));
    EXPECT_EQ("a b.txt", S(name));
    EXPECT_EQ(0, CHttpInfoParser::GetDispositionFileName(
                     "X\r\nContent-Disposition: form-data; filename=\"open\r\n", name));

    struct Case {
        const char16_t* path;
        unsigned char ok;
        const char16_t* name;
    } cases[] = {{u"a/b\\c.txt", 1, u"c.txt"},
                 {u"c.txt", 1, u"c.txt"},
                 {u"dir/", 1, u""},
                 {u"", 0, u"keep"}};
    for (const Case& c : cases) {
        vn::strutf16 out(u"keep");
        EXPECT_EQ(c.ok, CHttpInfoParser::GetPureFileName(c.path, out));
        EXPECT_TRUE(out == vn::strutf16(c.name));
    }
}

}  // namespace
