// The HTTP client's text steps: URL cracking and redirect resolution.
#include <gtest/gtest.h>

#include <string>

#include "http/client/vnhttpclientutil_internal.h"

using namespace vn::detail;

TEST(HttpClientText, CrackUrl) {
    const char* rows[][2] = {{"http://10.0.0.1/a/b?x=1", "10.0.0.1:80 /a/b?x=1"},
                             {"http://10.0.0.1:8080", "10.0.0.1:8080 /"},
                             {"HTTP://h:81?q=1", "h:81 /?q=1"},
                             {"http://h/a?q#frag", "h:80 /a?q"},
                             {"http://h#frag", "h:80 /"},
                             {"https://h/a", "h:443 /a tls"},
                             {"HTTPS://h:8443?q", "h:8443 /?q tls"}};
    for (auto& r : rows) {
        vn::strutf8 host, path;
        unsigned short port = 0;
        bool tls = false;
        ASSERT_TRUE(HttpCrackUrl(r[0], host, port, path, &tls)) << r[0];
        EXPECT_EQ(r[1], host.c_str() + (":" + std::to_string(port)) + " " + path.c_str() +
                            (tls ? " tls" : ""));
    }
    for (const char* url : {"10.0.0.1/a", "httpss://h/a", "https:/h/a", "ftp://h/a", "//h/a",
                            "http:///a", "http://h:/a", "http://h:0/a", "http://h:65536/a",
                            "http://h:8x/a", "http://h/a b", "http://h/a\r\nX-Evil: 1"}) {
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
        {"http://h:81/a", "//other:8080/z", "http://other:8080/z"},
        {"http://h/a#old", "b#new", "http://h/b#new"},
        {"http://h/a", "HTTP://other/z", "HTTP://other/z"},
        {"http://h/a", "https://other/z", "https://other/z"},
        {"https://h:8443/a", "//other/z", "https://other/z"},
        {"https://h:8443/a/b", "c", "https://h:8443/a/c"},
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
