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
    const std::string server = " \r\nServer: ZR/1.0.0 (Corvane) \r\n";
    EXPECT_EQ("HTTP/1.1 206 OK" + server +
                  "Content-Range: bytes 400-999/1000\r\nContent-Length: 600\r\n"
                  "Connection: keep-alive\r\n\r\n",
              S(CHttpInfoParser::MakeSvrResHead(206, 1000, 1, 0, 400)));
    // Sizes beyond 4 GiB are printed whole.
    EXPECT_EQ("HTTP/1.1 404 Error" + server +
                  "Content-Encoding: gzip\r\nContent-Length: 5000000000\r\n"
                  "Connection: close\r\n\r\n",
              S(CHttpInfoParser::MakeSvrResHead(404, 5000000000ull, 0, 1, 0)));
    EXPECT_EQ(0, S(CHttpInfoParser::MakeSvrResHead(200, 5, 1, 0, 0)).find("HTTP/1.1 200 OK \r\n"));
}

TEST(HttpInfoParser, QueryInfoRules) {
    // Head, name, value (null: not found).
    const char* cases[][3] = {
        {"GET / HTTP/1.1\r\ncontent-length: 12\r\n\r\n", "Content-Length", "12"},
        {"GET / HTTP/1.1\r\nContent-Length : 12\r\n\r\n", "content-length", "12"},
        {"GET / HTTP/1.1\r\nContent-Range: bytes 1-2/3\r\n\r\n", "Range", nullptr},
        {"Range: bytes=1-\r\n\r\n", "Range", nullptr},  // the first line never matches
        {"GET / HTTP/1.1\r\nA: 1\r\nA: 2\r\n\r\n", "A", "1"},
        {"GET / HTTP/1.1\r\nA:  \t x y \r\n\r\n", "A", "x y"},
        {"GET / HTTP/1.1\r\nA: 1; q", "A", "1"},  // last line without a line feed
        {"GET / HTTP/1.1\r\nA: 1", "A", nullptr},
        {"GET / HTTP/1.1\r\nA: 1\r\n\r\n", "", nullptr},
    };
    for (auto& c : cases) {
        vn::strutf8 value("untouched");
        EXPECT_EQ(c[2] ? 1 : 0, CHttpInfoParser::QueryInfo(c[0], c[1], value)) << c[0];
        EXPECT_EQ(c[2] ? c[2] : "untouched", S(value)) << c[0];
    }
    unsigned int n = 7;
    EXPECT_EQ(1, CHttpInfoParser::QueryInfo("X\r\nN: 42\r\n", "N", n));
    EXPECT_EQ(42u, n);
    EXPECT_EQ(0, CHttpInfoParser::QueryInfo("X\r\nN: 4x\r\n", "N", n));
    EXPECT_EQ(-1, vn::detail::HttpFindHeader(nullptr, 0, "N"));
}

TEST(HttpInfoParser, RequestHeadAndFirstPart) {
    const std::string plain = "GET / HTTP/1.1\r\nContent-Length: 10\r\n\r\n";
    const std::string multi = "POST / HTTP/1.1\r\nContent-Type: multipart/form-data; boundary";
    const std::string len = "\r\nContent-Length: 100\r\n\r\n";
    const std::string part = "--abc\r\nContent-Disposition: form-data; name=\"f\"\r\n\r\n";
    const unsigned full = static_cast<unsigned>((multi + "=abc" + len + part).size());
    struct Case {
        std::string bytes;
        unsigned char result;
        unsigned headLen, contentLen;
        const char* boundary;
    } cases[] = {
        {plain + "0123456789", 1, static_cast<unsigned>(plain.size()), 10, ""},
        // A body that happens to spell the words of a multipart head changes nothing.
        {plain + "multipart/form-data; boundary=zz\r\n--zz\r\nA: b\r\n\r\n", 1,
         static_cast<unsigned>(plain.size()), 10, ""},
        {plain.substr(0, 30), 0, 0, 0, ""},
        {"", 0, 0, 0, ""},
        {multi + "=abc" + len + part + "DATA", 1, full, 100 - static_cast<unsigned>(part.size()),
         "abc"},
        {multi + " = \"abc\"" + len + part, 1, full + 4, 100 - static_cast<unsigned>(part.size()),
         "abc"},
        {multi + "=abc" + len + part.substr(0, part.size() - 2), 0, 0, 0, "abc"},
        {multi + "=abc" + len + "--abd\r\n\r\n", 0, 0, 0, "abc"},
        {multi + "=\"\"" + len + part, 0, 0, 0, ""},
        {"POST / HTTP/1.1\r\nContent-Type: multipart/form-data\r\n\r\n", 0, 0, 0, ""},
        // A declared length shorter than the part head does not wrap around.
        {multi + "=abc\r\nContent-Length: 3\r\n\r\n" + part, 1, full - 2, 0, "abc"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.bytes);
        unsigned start = 0, headLen = 0;
        unsigned long long contentLen = 0;
        vn::strutf8 boundary;
        EXPECT_EQ(c.result, CHttpInfoParser::GetHttpHeadInfo(c.bytes.data(), c.bytes.size(), start,
                                                             headLen, contentLen, boundary));
        EXPECT_EQ(c.headLen, headLen);
        EXPECT_TRUE(!c.result || c.contentLen == contentLen);
        EXPECT_EQ(c.boundary, S(boundary));
    }
}

TEST(HttpInfoParser, RangeAndNames) {
    // The Range line (or none) and the start then (null: refused).
    const char* cases[][2] = {{"", "99"},
                              {"Range: bytes=50-\r\n", "50"},
                              {"Range: 50-\r\n", nullptr},
                              {"Range: bytes=50\r\n", nullptr},
                              {"Range: bytes=x-\r\n", nullptr}};
    for (auto& c : cases) {
        unsigned long long start = 99;
        std::string head = std::string("GET / HTTP/1.1\r\n") + c[0] + "\r\n";
        EXPECT_EQ(c[1] ? 1 : 0, CHttpInfoParser::GetRange(head.c_str(), start)) << c[0];
        EXPECT_TRUE(!c[1] || std::to_string(start) == c[1]) << c[0];
    }
    vn::strutf8 name;
    const std::string disp = "X\r\nContent-Disposition: form-data; name=\"f\"; filename=";
    EXPECT_EQ(1, CHttpInfoParser::GetDispositionFileName((disp + "\"a b\"\r\n").c_str(), name));
    EXPECT_EQ("a b", S(name));
    for (const std::string& bad : {disp + "\"open\r\n", disp + "none\r\n", std::string("X\r\n")})
        EXPECT_EQ(0, CHttpInfoParser::GetDispositionFileName(bad.c_str(), name)) << bad;
    const char16_t* names[][2] = {
        {u"a/b\\c.txt", u"c.txt"}, {u"c.txt", u"c.txt"}, {u"dir/", u""}, {u"", u"keep"}};
    for (auto& c : names) {
        vn::strutf16 out(u"keep");
        EXPECT_EQ(c[0][0] != 0, CHttpInfoParser::GetPureFileName(c[0], out));
        EXPECT_TRUE(out == vn::strutf16(c[1]));
    }
}

}  // namespace
