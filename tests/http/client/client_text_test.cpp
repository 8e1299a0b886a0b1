// The HTTP client's text steps: URL cracking, redirect resolution, the response header
// lookup, status lines, body headers, If-Modified-Since and the chunk decoder.
#include <gtest/gtest.h>

#include <string>

#include "http/client/vnhttpchunker_internal.h"
#include "http/client/vnhttpclientutil_internal.h"
#include "http/common/vndatawriter_internal.h"

using namespace vn::detail;

TEST(HttpClientText, CrackUrl) {
    struct Row {
        const char* url;
        bool ok;
        const char* host;
        int port;
        const char* path;
    } rows[] = {
        {"http://10.0.0.1/a/b?x=1", true, "10.0.0.1", 80, "/a/b?x=1"},
        {"http://10.0.0.1:8080", true, "10.0.0.1", 8080, "/"},
        {"HTTP://h:81?q=1", true, "h", 81, "/?q=1"},
        {"10.0.0.1/a", false, "", 0, ""},
        {"https://h/a", false, "", 0, ""},
        {"ftp://h/a", false, "", 0, ""},
        {"//h/a", false, "", 0, ""},
        {"http:///a", false, "", 0, ""},
        {"http://h:/a", false, "", 0, ""},
        {"http://h:0/a", false, "", 0, ""},
        {"http://h:65536/a", false, "", 0, ""},
        {"http://h:8x/a", false, "", 0, ""},
        {"http://h/a b", false, "", 0, ""},
        {"http://h/a\r\nX-Evil: 1", false, "", 0, ""},
    };
    for (const Row& r : rows) {
        vn::strutf8 host, path;
        unsigned short port = 0;
        EXPECT_EQ(r.ok, HttpCrackUrl(r.url, host, port, path)) << r.url;
        if (!r.ok) continue;
        EXPECT_STREQ(r.host, host.c_str()) << r.url;
        EXPECT_EQ(r.port, port) << r.url;
        EXPECT_STREQ(r.path, path.c_str()) << r.url;
    }
}

TEST(HttpClientText, ResolveRedirect) {
    struct Row {
        const char* cur;
        const char* loc;
        const char* out;  // null: refused
    } rows[] = {
        {"http://10.0.0.1:81/a/x", "/b", "http://10.0.0.1:81/b"},
        {"http://10.0.0.1:81/a/x", "c", "http://10.0.0.1:81/a/c"},
        {"http://10.0.0.1:81/a/x", "./c", "http://10.0.0.1:81/a/c"},
        {"http://10.0.0.1:81/a/x", "../c", "http://10.0.0.1:81/c"},
        {"http://10.0.0.1:81/a/x", "../../../c", "http://10.0.0.1:81/c"},
        {"http://10.0.0.1:81/a/x?old=1", "?q=2", "http://10.0.0.1:81/a/x?q=2"},
        {"http://10.0.0.1:81/a/x?old=/y", "c", "http://10.0.0.1:81/a/c"},
        {"http://h", "c", "http://h/c"},
        {"http://h/", "c", "http://h/c"},
        {"http://h?z", "/p?q", "http://h/p?q"},
        {"http://h/a", "http://other:8080/z", "http://other:8080/z"},
        {"http://h/a", "HTTP://other/z", "HTTP://other/z"},
        {"http://h/a", "https://other/z", nullptr},
        {"http://h/a", "ftp://other/z", nullptr},
        {"http://h/a", "", nullptr},
        {"http://h/a", "a b", nullptr},
    };
    for (const Row& r : rows) {
        vn::strutf8 out("unchanged");
        bool ok = HttpResolveRedirect(r.cur, r.loc, out);
        EXPECT_EQ(r.out != nullptr, ok) << r.cur << " + " << r.loc;
        EXPECT_STREQ(r.out != nullptr ? r.out : "unchanged", out.c_str())
            << r.cur << " + " << r.loc;
    }
}

TEST(HttpClientText, HeaderLookupAndStatus) {
    const char head[] =
        "HTTP/1.1 206 Partial Content\r\ncontent-length : 12\r\nContent-Range: bytes "
        "400-999/1000\r\nX-Empty:   \r\nX-Sp:  a b  \r\n\r\n";
    vn::strutf8 v;
    EXPECT_TRUE(HttpGetHeaderValue(head, sizeof(head) - 1, "Content-Length", v, true));
    EXPECT_STREQ("12", v.c_str());
    EXPECT_FALSE(HttpGetHeaderValue(head, sizeof(head) - 1, "Range", v, true));
    EXPECT_FALSE(HttpGetHeaderValue(head, sizeof(head) - 1, "X-Empty", v, true));
    EXPECT_TRUE(HttpGetHeaderValue(head, sizeof(head) - 1, "X-Sp", v, false));
    EXPECT_STREQ("  a b  ", v.c_str());
    EXPECT_FALSE(HttpGetHeaderValue("HTTP/1.1 200 OK\r\nA: b", 22, "A", v, true));

    HttpResponseHeadInfo info;
    HttpReadBodyHeaders(head, info);
    EXPECT_TRUE(info.bHasLength);
    EXPECT_EQ(12u, info.uLength);
    EXPECT_TRUE(info.bHasRange);
    EXPECT_EQ(400u, info.uRangeStart);
    EXPECT_EQ(1000u, info.uRangeTotal);
    HttpReadBodyHeaders(
        "HTTP/1.1 200 OK\r\nTransfer-Encoding: Chunked\r\nTrailers: X\r\n"
        "Content-Length: 5\r\n\r\n",
        info);
    EXPECT_TRUE(info.bChunked);
    EXPECT_TRUE(info.bTrailer);
    EXPECT_FALSE(info.bHasLength);

    struct Row {
        const char* head;
        int result;
        unsigned int status;
    } rows[] = {
        {"HTTP/1.1 200 OK\r\n\r\n", 1, 200}, {"http/1.0 404 Not Found\r\n\r\n", 1, 404},
        {"HTTP/1.1 abc OK\r\n\r\n", 1, 0},   {"HTTP/1.1 200\r\n\r\n", -1, 0},
        {"ICY 200 OK\r\n\r\n", 0, 0},        {"\r\n\r\n", 0, 0},
    };
    for (const Row& r : rows) {
        unsigned int status = 99;
        EXPECT_EQ(r.result, HttpAnalyseStatusLine(r.head, status)) << r.head;
        EXPECT_EQ(r.status, status) << r.head;
    }
}

TEST(HttpClientText, IfModifiedSince) {
    SYSTEMTIME st = {2010, 3, 2, 2, 10, 5, 9, 0};
    EXPECT_STREQ("If-Modified-Since: Tue, 02 Mar 2010 10:05:09 GMT\r\n",
                 HttpIfModifiedSinceLine(st).c_str());
    st.wMonth = 13;
    EXPECT_TRUE(HttpIfModifiedSinceLine(st).empty());
    st.wMonth = 3;
    st.wDayOfWeek = 7;
    EXPECT_TRUE(HttpIfModifiedSinceLine(st).empty());
}

namespace {

// Feeds text to a fresh decoder in pieces of `step` bytes; the result, the data written
// and the bytes left over after the end.
struct Decoded {
    int result;
    std::string data;
    unsigned int unused;
};
Decoded Decode(const std::string& text, bool trailer, size_t step) {
    HttpResponseDataWriter w(1);
    Chunker c(1);
    Decoded d{Chunker::kMore, "", 0};
    for (size_t i = 0; i < text.size() && d.result == Chunker::kMore; i += step) {
        size_t n = std::min(step, text.size() - i);
        d.result = c.Feed(text.data() + i, static_cast<unsigned int>(n), &w, trailer);
        d.unused = c.GetUnusedCount();
    }
    if (w.GetBuffer() != nullptr) d.data.assign(w.GetBuffer(), w.GetBufferLen());
    return d;
}

}  // namespace

TEST(HttpClientText, ChunkerTable) {
    struct Row {
        std::string text;
        bool trailer;
        int result;
        std::string data;
    } rows[] = {
        {"3\r\nabc\r\nA\r\n0123456789\r\n0\r\n\r\n", false, Chunker::kComplete, "abc0123456789"},
        {"3;ext=1\r\nabc\r\n0\r\nX-T: 1\r\n\r\n", true, Chunker::kComplete, "abc"},
        {"3\r\nabc\r\n0\r\n\r\n", true, Chunker::kComplete, "abc"},
        {"3\r\nabc\r\n0\r\nX: y\r\n", true, Chunker::kMore, "abc"},
        {"0000000000000003\r\nabc\r\n0\r\n\r\n", false, Chunker::kComplete, "abc"},
        {"00000000000000003\r\nabc\r\n", false, Chunker::kError, ""},
        {"100000000\r\nabc", false, Chunker::kError, ""},
        {"FFFFFFFF\r\nabc", false, Chunker::kMore, "abc"},
        {"\r\nabc", false, Chunker::kError, ""},
        {"zz\r\n", false, Chunker::kError, ""},
        {"0\r\n" + std::string(3000, 'x'), true, Chunker::kError, ""},
    };
    for (const Row& r : rows) {
        for (size_t step : {size_t(1), size_t(2), size_t(7), r.text.size()}) {
            Decoded d = Decode(r.text, r.trailer, step);
            EXPECT_EQ(r.result, d.result) << r.text << " step " << step;
            EXPECT_EQ(r.data, d.data) << r.text << " step " << step;
        }
    }
    // The bytes after the end are reported, so the caller knows whether the connection
    // ended exactly with the body.
    EXPECT_EQ(4u, Decode("1\r\na\r\n0\r\n\r\n", false, 100).unused);
    EXPECT_EQ(3u, Decode("1\r\na\r\n0\r\n\r\nxyz", true, 100).unused);
}
