// The HTTP client's text steps: URL cracking, redirect resolution and the chunk decoder.
#include <gtest/gtest.h>

#include <string>

#include "http/client/vnhttpchunker_internal.h"
#include "http/client/vnhttpclientutil_internal.h"
#include "http/common/vndatawriter_internal.h"

using namespace vn::detail;

TEST(HttpClientText, CrackUrl) {
    const char* rows[][2] = {{"http://10.0.0.1/a/b?x=1", "10.0.0.1:80 /a/b?x=1"},
                             {"http://10.0.0.1:8080", "10.0.0.1:8080 /"},
                             {"HTTP://h:81?q=1", "h:81 /?q=1"}};
    for (auto& r : rows) {
        vn::strutf8 host, path;
        unsigned short port = 0;
        ASSERT_TRUE(HttpCrackUrl(r[0], host, port, path)) << r[0];
        EXPECT_EQ(r[1], host.c_str() + (":" + std::to_string(port)) + " " + path.c_str());
    }
    for (const char* url : {"10.0.0.1/a", "https://h/a", "ftp://h/a", "//h/a", "http:///a",
                            "http://h:/a", "http://h:0/a", "http://h:65536/a", "http://h:8x/a",
                            "http://h/a b", "http://h/a\r\nX-Evil: 1"}) {
        vn::strutf8 host, path;
        unsigned short port = 0;
        EXPECT_FALSE(HttpCrackUrl(url, host, port, path)) << url;
    }
}

TEST(HttpClientText, ResolveRedirect) {
    const char* rows[][3] = {
        // current URL, Location, result (null: refused)
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
    for (auto& r : rows) {
        vn::strutf8 out("unchanged");
        EXPECT_EQ(r[2] != nullptr, HttpResolveRedirect(r[0], r[1], out)) << r[0] << " + " << r[1];
        EXPECT_STREQ(r[2] != nullptr ? r[2] : "unchanged", out.c_str()) << r[0] << " + " << r[1];
    }
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
