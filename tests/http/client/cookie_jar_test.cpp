// The cookie store against RFC 6265 (a table of answers and later requests on a clock the
// test moves), its file round trip, its limits and its threads, and against curl as a real
// peer: a jar curl wrote from a loopback origin is read by the store, and a jar the store
// wrote is read by curl, each giving the same Cookie lines as the other side. Everything
// runs on the test's thread, except the loopback origin (its own thread, joined by its
// destructor) and the threads of the concurrency test.
#include <ctype.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "http/client/vnhttpcookie_internal.h"
#include "http/client/vnhttpcookiejar.h"
#include "support/external_peer.h"
#include "support/log_capture.h"
#include "support/proxy_peers.h"

namespace {

using vn::detail::CHttpCookieJar;

constexpr long long kT0 = 1700000000;  // Tue, 14 Nov 2023 22:13:20 GMT

// A store whose clock stands at `now` until the test moves it.
struct TestJar {
    TestJar() : jar(static_cast<CHttpCookieJar*>(vn_create_cookiejar())) {
        jar->SetClock([this] { return now.load(); });
    }
    ~TestJar() { jar->Release(); }
    TestJar(const TestJar&) = delete;
    TestJar& operator=(const TestJar&) = delete;

    std::string Get(const std::string& url) {
        vn::strutf8 s("stale");
        EXPECT_EQ(1, jar->GetCookie(url.c_str(), s)) << url;
        return std::string(s.c_str(), s.length());
    }
    // Feeds Set-Cookie values one per line; a line "@URL" names the URL of the values after
    // it. The results, one '1' or '0' per value.
    std::string Set(std::string url, const std::string& lines) {
        std::string results;
        for (size_t b = 0; b <= lines.size();) {
            size_t e = lines.find('\n', b);
            if (e == std::string::npos) e = lines.size();
            std::string line = lines.substr(b, e - b);
            b = e + 1;
            if (line.empty() && e == lines.size() && !results.empty()) break;  // final '\n'
            if (!line.empty() && line[0] == '@') {
                url = line.substr(1);
                continue;
            }
            results += jar->SetCookie(url.c_str(), line.c_str()) ? '1' : '0';
        }
        return results;
    }

    std::atomic<long long> now{kT0};
    CHttpCookieJar* jar;  // the test's reference, released by the destructor
};

// ---------------------------------------------------------------- Set-Cookie to Cookie

struct SetCase {
    const char* setUrl;    // the answer's URL
    const char* cookies;   // its Set-Cookie values, one per line ("@URL" switches the URL)
    const char* results;   // SetCookie's result for each value
    int advance;           // seconds the clock moves before the request
    const char* url;       // the later request
    const char* expected;  // its Cookie line
};

const SetCase kSetCases[] = {
    // Host-only cookies stay with their host; domain cookies reach the domain's hosts.
    {"http://www.example.com/", "a=1", "1", 0, "http://www.example.com/", "a=1"},
    {"http://www.example.com/", "a=1", "1", 0, "http://sub.www.example.com/", ""},
    {"http://www.example.com/", "a=1", "1", 0, "http://example.com/", ""},
    {"http://WWW.Example.COM/", "a=1", "1", 0, "http://www.example.com/", "a=1"},
    {"http://www.example.com/", "a=1", "1", 0, "http://WWW.EXAMPLE.COM/", "a=1"},
    {"http://www.example.com/", "a=1; Domain=example.com", "1", 0, "http://example.com/", "a=1"},
    {"http://www.example.com/", "a=1; Domain=example.com", "1", 0, "http://a.b.example.com/",
     "a=1"},
    {"http://www.example.com/", "a=1; Domain=.EXAMPLE.com", "1", 0, "http://x.example.com/", "a=1"},
    {"http://www.example.com/", "a=1; Domain=example.com", "1", 0, "http://badexample.com/", ""},
    {"http://www.example.com/", "a=1; Domain=example.com", "1", 0, "http://example.com.evil.net/",
     ""},
    {"http://www.example.com/", "a=1; Domain=www.example.com", "1", 0, "http://x.www.example.com/",
     "a=1"},
    {"http://www.example.com/", "a=1; Domain=other.com", "0", 0, "http://other.com/", ""},
    {"http://www.example.com/", "a=1; Domain=sub.www.example.com", "0", 0,
     "http://sub.www.example.com/", ""},
    {"http://www.example.com/", "a=1; Domain=ample.com", "0", 0, "http://ample.com/", ""},
    {"http://www.example.com/", "a=1; Domain=", "1", 0, "http://x.www.example.com/", ""},
    {"http://www.example.com/", "a=1; Domain=.", "1", 0, "http://x.www.example.com/", ""},
    {"http://www.example.com/", "a=1; Domain=.", "1", 0, "http://www.example.com/", "a=1"},
    {"http://www.example.com/", "a=1; Domain=..example.com", "0", 0, "http://www.example.com/", ""},
    {"http://www.example.com/", "a=1; Domain=other.com; Domain=example.com", "1", 0,
     "http://example.com/", "a=1"},
    {"http://www.example.com/", "a=1; Domain=example.com; Domain=other.com", "0", 0,
     "http://example.com/", ""},
    {"http://www.example.com./", "a=1; Domain=example.com.", "1", 0, "http://x.example.com./",
     "a=1"},
    {"http://www.example.com./", "a=1; Domain=example.com.", "1", 0, "http://x.example.com/", ""},
    {"http://www.example.com./", "a=1; Domain=com.", "0", 0, "http://x.com./", ""},
    // A name in other bytes than ASCII keeps host-only cookies only.
    {"http://www.\xc3\xa9xample.com/", "a=1; Domain=\xc3\xa9xample.com", "0", 0,
     "http://x.\xc3\xa9xample.com/", ""},
    {"http://www.\xc3\xa9xample.com/", "a=1", "1", 0, "http://www.\xc3\xa9xample.com/", "a=1"},
    // Public suffixes: refused as a Domain unless the host is the suffix itself, which then
    // gets a host-only cookie.
    {"http://www.example.com/", "a=1; Domain=com", "0", 0, "http://other.com/", ""},
    {"http://www.example.com/", "a=1; Domain=.COM", "0", 0, "http://other.com/", ""},
    {"http://www.example.co.uk/", "a=1; Domain=co.uk", "0", 0, "http://other.co.uk/", ""},
    {"http://www.example.co.uk/", "a=1; Domain=example.co.uk", "1", 0, "http://example.co.uk/",
     "a=1"},
    {"http://user.github.io/", "a=1; Domain=github.io", "0", 0, "http://other.github.io/", ""},
    {"http://user.github.io/", "a=1", "1", 0, "http://other.github.io/", ""},
    {"http://github.io/", "a=1; Domain=github.io", "1", 0, "http://github.io/", "a=1"},
    {"http://github.io/", "a=1; Domain=github.io", "1", 0, "http://user.github.io/", ""},
    {"http://www.foo.bd/", "a=1; Domain=foo.bd", "0", 0, "http://x.foo.bd/", ""},  // "*.bd"
    {"http://a.b.example.zzz/", "a=1; Domain=example.zzz", "1", 0, "http://c.example.zzz/", "a=1"},
    // IP addresses: host-only, a Domain equal to the address at most.
    {"http://192.168.1.10/", "a=1", "1", 0, "http://192.168.1.10:8080/", "a=1"},
    {"http://192.168.1.10/", "a=1; Domain=192.168.1.10", "1", 0, "http://192.168.1.10/", "a=1"},
    {"http://192.168.1.10/", "a=1; Domain=168.1.10", "0", 0, "http://192.168.1.10/", ""},
    {"http://x.1.10/", "a=1; Domain=1.10", "0", 0, "http://y.1.10/", ""},
    {"http://x.0x0a/", "a=1; Domain=0x0a", "0", 0, "http://y.0x0a/", ""},
    {"http://[::1]:8080/", "a=1", "1", 0, "http://[::1]/", "a=1"},
    {"http://[::1]/", "a=1; Domain=::1", "1", 0, "http://[::1]/x", "a=1"},
    {"http://[::1]/", "a=1", "1", 0, "http://[::2]/", ""},
    // The URL: userinfo is no part of the host, ports do not count, other schemes refused.
    {"http://user:pw@www.example.com/", "a=1", "1", 0, "http://www.example.com/", "a=1"},
    {"http://www.example.com@evil.net/", "a=1", "1", 0, "http://www.example.com/", ""},
    {"http://evil.net/", "a=1", "1", 0, "http://www.example.com@evil.net/", "a=1"},
    {"http://www.example.com:8080/", "a=1", "1", 0, "https://www.example.com/", "a=1"},
    {"ftp://www.example.com/", "a=1", "0", 0, "http://www.example.com/", ""},
    {"www.example.com/", "a=1", "0", 0, "http://www.example.com/", ""},
    {"http:///", "a=1", "0", 0, "http://www.example.com/", ""},
    // Paths: the default path, path matching at '/' boundaries, the query left out.
    {"http://h.example/a/b/c", "a=1", "1", 0, "http://h.example/a/b", "a=1"},
    {"http://h.example/a/b/c", "a=1", "1", 0, "http://h.example/a/b/x/y", "a=1"},
    {"http://h.example/a/b/c", "a=1", "1", 0, "http://h.example/a/bc", ""},
    {"http://h.example/a/b/c", "a=1", "1", 0, "http://h.example/a", ""},
    {"http://h.example/a", "a=1", "1", 0, "http://h.example/", "a=1"},
    {"http://h.example", "a=1", "1", 0, "http://h.example/x", "a=1"},
    {"http://h.example/a/b?x=/c/d", "a=1", "1", 0, "http://h.example/a/z?q", "a=1"},
    {"http://h.example/a/b?x=/c/d", "a=1", "1", 0, "http://h.example/b", ""},
    {"http://h.example/", "a=1; Path=/a", "1", 0, "http://h.example/a", "a=1"},
    {"http://h.example/", "a=1; Path=/a", "1", 0, "http://h.example/a/b", "a=1"},
    {"http://h.example/", "a=1; Path=/a", "1", 0, "http://h.example/ab", ""},
    {"http://h.example/", "a=1; Path=/a", "1", 0, "http://h.example/", ""},
    {"http://h.example/", "a=1; Path=/a", "1", 0, "http://h.example/a?x/y", "a=1"},
    {"http://h.example/", "a=1; Path=/a/", "1", 0, "http://h.example/a/b", "a=1"},
    {"http://h.example/", "a=1; Path=/a/", "1", 0, "http://h.example/a", ""},
    {"http://h.example/", "a=1; Path=/A", "1", 0, "http://h.example/a", ""},
    {"http://h.example/x/y", "a=1; Path=noslash", "1", 0, "http://h.example/x/z", "a=1"},
    {"http://h.example/x/y", "a=1; Path=noslash", "1", 0, "http://h.example/z", ""},
    {"http://h.example/x/y", "a=1; Path=", "1", 0, "http://h.example/x", "a=1"},
    {"http://h.example/x/y", "a=1; Path=/; Path=/x/q", "1", 0, "http://h.example/x", ""},
    // Secure: only from and to https, and a plain-http answer leaves Secure cookies alone.
    {"http://h.example/", "a=1; Secure", "0", 0, "https://h.example/", ""},
    {"https://h.example/", "a=1; Secure", "1", 0, "http://h.example/", ""},
    {"https://h.example/", "a=1; Secure", "1", 0, "https://h.example/", "a=1"},
    {"https://h.example/", "a=1; secure=no", "1", 0, "http://h.example/", ""},
    {"https://h.example/", "a=1; Secure\n@http://h.example/\na=2", "10", 0, "https://h.example/",
     "a=1"},
    {"https://h.example/", "a=1; Secure\n@http://h.example/\na=; Max-Age=0", "10", 0,
     "https://h.example/", "a=1"},
    {"https://h.example/", "a=1; Secure\n@http://h.example/\na=2; Path=/x", "10", 0,
     "http://h.example/x", ""},
    {"https://h.example/", "a=1; Secure; Path=/x\n@http://h.example/\na=2", "11", 0,
     "https://h.example/x", "a=1; a=2"},
    {"https://www.h.example/", "a=1; Secure; Domain=h.example\n@http://www.h.example/\na=2", "10",
     0, "http://www.h.example/", ""},
    {"https://www.h.example/", "a=1; Secure\n@http://www.h.example/\na=2; Domain=h.example", "10",
     0, "http://h.example/", ""},
    {"https://h.example/", "a=1; Secure\n@http://h.example/\nb=2", "11", 0, "https://h.example/",
     "a=1; b=2"},
    {"https://h.example/", "a=1; Secure\na=2", "11", 0, "http://h.example/", "a=2"},
    // Expiry: Max-Age before Expires, zero or less expires at once, bad values ignored.
    {"http://h.example/", "a=1; Max-Age=100", "1", 99, "http://h.example/", "a=1"},
    {"http://h.example/", "a=1; Max-Age=100", "1", 100, "http://h.example/", ""},
    {"http://h.example/", "a=1; Max-Age=0", "1", 0, "http://h.example/", ""},
    {"http://h.example/", "a=1; Max-Age=-5", "1", 0, "http://h.example/", ""},
    {"http://h.example/", "a=1; Max-Age=abc", "1", 100000000, "http://h.example/", "a=1"},
    {"http://h.example/", "a=1; Max-Age=+5", "1", 10, "http://h.example/", "a=1"},
    {"http://h.example/", "a=1; Max-Age=5s", "1", 10, "http://h.example/", "a=1"},
    {"http://h.example/", "a=1; Max-Age=-", "1", 10, "http://h.example/", "a=1"},
    {"http://h.example/", "a=1; Max-Age=99999999999999999999999", "1", 1000000000,
     "http://h.example/", "a=1"},
    {"http://h.example/", "a=1; Max-Age=100; Expires=Tue, 14 Nov 2023 22:00:00 GMT", "1", 50,
     "http://h.example/", "a=1"},
    {"http://h.example/", "a=1; Expires=Wed, 15 Nov 2023 22:00:00 GMT; Max-Age=0", "1", 0,
     "http://h.example/", ""},
    {"http://h.example/", "a=1; Expires=Tue, 14 Nov 2023 22:00:00 GMT", "1", 0, "http://h.example/",
     ""},
    {"http://h.example/", "a=1; Expires=Tue, 14 Nov 2023 22:13:30 GMT", "1", 9, "http://h.example/",
     "a=1"},
    {"http://h.example/", "a=1; Expires=Tue, 14 Nov 2023 22:13:30 GMT", "1", 10,
     "http://h.example/", ""},
    {"http://h.example/", "a=1; Expires=Tuesday, 14-Nov-23 22:13:30 GMT", "1", 10,
     "http://h.example/", ""},
    {"http://h.example/", "a=1; Expires=Tue Nov 14 22:13:30 2023", "1", 9, "http://h.example/",
     "a=1"},
    {"http://h.example/", "a=1; Expires=garbage", "1", 100000000, "http://h.example/", "a=1"},
    {"http://h.example/", "a=1; Expires=Thu, 31 Nov 2023 22:13:30 GMT", "1", 100000000,
     "http://h.example/", "a=1"},
    // Replacement (name, domain, host-only flag and path) and deletion.
    {"http://h.example/", "a=1\na=2", "11", 0, "http://h.example/", "a=2"},
    {"http://h.example/", "a=1\nb=2\na=3", "111", 0, "http://h.example/", "a=3; b=2"},
    {"http://h.example/", "a=1\na=; Max-Age=0", "11", 0, "http://h.example/", ""},
    {"http://h.example/", "a=1\na=; Expires=Thu, 01 Jan 1970 00:00:00 GMT", "11", 0,
     "http://h.example/", ""},
    {"http://h.example/", "a=1; Path=/x\na=; Max-Age=0", "11", 0, "http://h.example/x", "a=1"},
    {"http://h.example/", "a=1\na=2; Domain=h.example", "11", 0, "http://h.example/", "a=1; a=2"},
    {"http://h.example/", "a=1\nA=2", "11", 0, "http://h.example/", "a=1; A=2"},
    // Order: longer paths first, then earlier created.
    {"http://h.example/", "a=1; Path=/\nb=2; Path=/x/y\nc=3; Path=/x", "111", 0,
     "http://h.example/x/y/z", "b=2; c=3; a=1"},
    {"http://h.example/", "z=1\na=2\nm=3", "111", 0, "http://h.example/", "z=1; a=2; m=3"},
    // Name prefixes.
    {"https://h.example/", "__Secure-a=1", "0", 0, "https://h.example/", ""},
    {"https://h.example/", "__SECURE-a=1", "0", 0, "https://h.example/", ""},
    {"https://h.example/", "__Secure-a=1; Secure", "1", 0, "https://h.example/", "__Secure-a=1"},
    {"http://h.example/", "__Secure-a=1; Secure", "0", 0, "https://h.example/", ""},
    {"https://h.example/", "__Host-a=1; Secure; Path=/", "1", 0, "https://h.example/",
     "__Host-a=1"},
    {"https://h.example/", "__Host-a=1; Secure", "0", 0, "https://h.example/", ""},
    {"https://h.example/", "__host-a=1; Secure", "0", 0, "https://h.example/", ""},
    {"https://h.example/", "__Host-a=1; Path=/", "0", 0, "https://h.example/", ""},
    {"https://h.example/x/", "__Host-a=1; Secure; Path=/x", "0", 0, "https://h.example/x/", ""},
    {"https://www.h.example/", "__Host-a=1; Secure; Path=/; Domain=h.example", "0", 0,
     "https://www.h.example/", ""},
    // Bytes of names and values; nameless cookies are refused.
    {"http://h.example/",
     "a=1\x01"
     "2",
     "0", 0, "http://h.example/", ""},
    {"http://h.example/", "a\x7f=1", "0", 0, "http://h.example/", ""},
    {"http://h.example/", "a=1\t2", "0", 0, "http://h.example/", ""},
    {"http://h.example/", "a\tb=1", "0", 0, "http://h.example/", ""},
    {"http://h.example/", "a=1\r", "0", 0, "http://h.example/", ""},
    {"http://h.example/", "a=1; Path=/\x01", "0", 0, "http://h.example/", ""},
    {"http://h.example/", "a=1; Foo=\x01", "0", 0, "http://h.example/", ""},
    {"http://h.example/", "a=1; Path=/x\ty", "0", 0, "http://h.example/x", ""},
    {"http://h.example/", " \ta = 1 \t; Path=/", "1", 0, "http://h.example/", "a=1"},
    {"http://h.example/", "a=b=c", "1", 0, "http://h.example/", "a=b=c"},
    {"http://h.example/", "a=\"x y\"", "1", 0, "http://h.example/", "a=\"x y\""},
    {"http://h.example/", "a=", "1", 0, "http://h.example/", "a="},
    {"http://h.example/", "a=\xe4\xb8\xad", "1", 0, "http://h.example/", "a=\xe4\xb8\xad"},
    {"http://h.example/", "abc", "0", 0, "http://h.example/", ""},
    {"http://h.example/", "=abc", "0", 0, "http://h.example/", ""},
    {"http://h.example/", " =abc", "0", 0, "http://h.example/", ""},
    {"http://h.example/", "", "0", 0, "http://h.example/", ""},
    {"http://h.example/", "; a=1", "0", 0, "http://h.example/", ""},
    // Attributes: names without case, spaces around, unknown ones ignored.
    {"http://h.example/", "a=1; SameSite=Strict; Foo=bar; HttpOnly; ;;", "1", 0,
     "http://h.example/", "a=1"},
    {"http://h.example/", "a=1; MAX-AGE=0", "1", 0, "http://h.example/", ""},
    {"http://h.example/", "a=1;Max-Age=0", "1", 0, "http://h.example/", ""},
    {"http://h.example/", "a=1 ; max-age = 0 ", "1", 0, "http://h.example/", ""},
    {"http://h.example/", "a=1; Max-Age", "1", 10, "http://h.example/", "a=1"},
};

TEST(HttpCookieJar, SetCookieThenCookieLine) {
    for (const SetCase& c : kSetCases) {
        SCOPED_TRACE(std::string(c.setUrl) + " | " + c.cookies + " -> " + c.url);
        TestJar t;
        EXPECT_EQ(c.results, t.Set(c.setUrl, c.cookies));
        t.now += c.advance;
        EXPECT_EQ(c.expected, t.Get(c.url));
    }
}

// RFC 6265 section 5.1.1 dates, in every form it reads.
TEST(HttpCookieJar, CookieDates) {
    struct DateCase {
        const char* text;
        bool ok;
        long long time;
    };
    const DateCase kDates[] = {
        {"Sun, 06 Nov 1994 08:49:37 GMT", true, 784111777},
        {"Sunday, 06-Nov-94 08:49:37 GMT", true, 784111777},
        {"Sun Nov  6 08:49:37 1994", true, 784111777},
        {"06 Nov 1994 08:49:37", true, 784111777},
        {"1994 Nov 06 08:49:37", true, 784111777},  // the year read after the day
        {"Sun, 06 Nov 1994 8:9:7 GMT", true, 784109347},
        {"sUN, 06 NOVEMBER 1994 08:49:37 gmt", true, 784111777},
        {"06 Nov 1994 08:49:37 +0100", true, 784111777},  // zones are not read: always UTC
        {"06 Nov 1994 08:49:37xyz", true, 784111777},
        {"Tue, 14 Nov 2023 22:13:20 GMT", true, 1700000000},
        {"Thu, 01 Jan 1970 00:00:00 GMT", true, 0},
        {"Wed, 31 Dec 1969 23:59:59 GMT", true, -1},
        {"Sat, 01 Jan 1601 00:00:00 GMT", true, -11644473600LL},
        {"Fri, 31 Dec 9999 23:59:59 GMT", true, 253402300799LL},
        {"1 Jan 69 00:00:00", true, 3124224000LL},
        {"1 Jan 70 00:00:00", true, 0},
        {"1 Jan 00 00:00:00", true, 946684800},
        {"29 Feb 2024 12:00:00", true, 1709208000},
        {"29 Feb 2000 00:00:00", true, 951782400},
        {"29 Feb 2023 12:00:00", false, 0},
        {"29 Feb 1900 12:00:00", false, 0},
        {"31 Apr 2023 00:00:00", false, 0},
        {"32 Jan 2023 00:00:00", false, 0},
        {"0 Jan 2023 00:00:00", false, 0},
        {"1 Jan 2023 24:00:00", false, 0},
        {"1 Jan 2023 23:60:00", false, 0},
        {"1 Jan 2023 23:59:60", false, 0},
        {"1 Jan 2023 00:00", false, 0},
        {"1 Jan 1600 00:00:00", false, 0},
        {"1 Jan 12345 00:00:00", false, 0},
        {"1 Jn 2023 00:00:00", false, 0},
        {"1 Jan 2023", false, 0},
        {"100 Jan 2023 00:00:00", false, 0},
        {"1 Jan 2023 000:00:00", false, 0},
        {"", false, 0},
    };
    for (const DateCase& d : kDates) {
        long long t = 12345;
        EXPECT_EQ(d.ok, vn::detail::HttpParseCookieDate(d.text, strlen(d.text), &t)) << d.text;
        if (d.ok) {
            EXPECT_EQ(d.time, t) << d.text;
        }
    }
}

TEST(HttpCookieJar, RefusesBadArguments) {
    TestJar t;
    vn::strutf8 s("stale");
    EXPECT_EQ(0, t.jar->GetCookie(nullptr, s));
    EXPECT_EQ(0u, s.length());
    EXPECT_EQ(0, t.jar->GetCookie("ftp://h.example/", s));
    EXPECT_EQ(0, t.jar->SetCookie(nullptr, "a=1"));
    EXPECT_EQ(0, t.jar->SetCookie("http://h.example/", nullptr));
    EXPECT_EQ(0, t.jar->SetCookie("http://h.example/", "a=1\nb=2"));
    EXPECT_EQ(0, t.jar->Load(nullptr));
    EXPECT_EQ(0, t.jar->Save(nullptr));
    EXPECT_EQ(0, t.jar->Save(""));
    EXPECT_EQ(0u, t.jar->GetCount());
}

// ---------------------------------------------------------------- limits

TEST(HttpCookieJar, SizeLimits) {
    TestJar t;
    // Name and value together at most 4096 bytes.
    std::string v4095(4095, 'v');
    EXPECT_EQ("1", t.Set("http://h.example/", "n=" + v4095));
    EXPECT_EQ("0", t.Set("http://h.example/", "n=" + v4095 + "v"));
    EXPECT_EQ("n=" + v4095, t.Get("http://h.example/"));
    // An attribute value over 1024 bytes is ignored (here the path falls back to the
    // default), one of 1024 is used.
    t.jar->Clear();
    std::string p1024 = "/" + std::string(1023, 'p');
    EXPECT_EQ("11",
              t.Set("http://h.example/d/x", "a=1; Path=" + p1024 + "\nb=2; Path=" + p1024 + "p"));
    EXPECT_EQ("a=1", t.Get("http://h.example" + p1024));
    EXPECT_EQ("b=2", t.Get("http://h.example/d/"));
    // A default path over 1024 bytes cannot be kept.
    EXPECT_EQ("0", t.Set("http://h.example" + p1024 + "pp/x", "c=3"));
}

TEST(HttpCookieJar, PerDomainLimitEvictsLeastRecentlyUsed) {
    TestJar t;
    std::string lines = "c0=x; Path=/keep";
    for (int i = 1; i < 50; ++i)
        lines += "\nc" + std::to_string(i) + "=x; Path=/other";
    EXPECT_EQ(std::string(50, '1'), t.Set("http://www.example.com/", lines));
    EXPECT_EQ(50u, t.jar->GetCount());
    EXPECT_EQ("c0=x", t.Get("http://www.example.com/keep"));  // c0 is used now, c1 is oldest
    EXPECT_EQ("1", t.Set("http://www.example.com/", "c50=x"));
    EXPECT_EQ(50u, t.jar->GetCount());
    std::string other = t.Get("http://www.example.com/other");
    EXPECT_EQ(std::string::npos, other.find("c1=")) << other;
    EXPECT_NE(std::string::npos, other.find("c2=")) << other;
    EXPECT_EQ("c0=x; c50=x", t.Get("http://www.example.com/keep"));
    // Subdomains count with their registrable domain: a site cannot take more by spreading
    // its cookies over hosts.
    EXPECT_EQ("1", t.Set("http://a.b.example.com/", "sub=x"));
    EXPECT_EQ(50u, t.jar->GetCount());
    EXPECT_EQ(std::string::npos, t.Get("http://www.example.com/other").find("c2="));
    // Another registrable domain is not touched.
    EXPECT_EQ("1", t.Set("http://www.example.org/", "o=x"));
    EXPECT_EQ(51u, t.jar->GetCount());
    // Expired cookies go first: nothing live is evicted for the new one.
    t.jar->Clear();
    lines = "old=x; Max-Age=10";
    for (int i = 1; i < 50; ++i)
        lines += "\nc" + std::to_string(i) + "=x";
    EXPECT_EQ(std::string(50, '1'), t.Set("http://www.example.com/", lines));
    t.now += 10;
    EXPECT_EQ("1", t.Set("http://www.example.com/", "new=x"));
    EXPECT_EQ(50u, t.jar->GetCount());
    std::string all = t.Get("http://www.example.com/");
    EXPECT_EQ(0u, all.find("c1=x; ")) << all;
    EXPECT_EQ(std::string::npos, all.find("old=")) << all;
}

TEST(HttpCookieJar, TotalLimitEvictsLeastRecentlyUsed) {
    TestJar t;
    for (int d = 0; d < 60; ++d) {
        std::string lines;
        for (int i = 0; i < 50; ++i)
            lines += "c" + std::to_string(i) + "=x\n";
        ASSERT_EQ(std::string(50, '1'), t.Set("http://d" + std::to_string(d) + ".example/", lines));
    }
    EXPECT_EQ(3000u, t.jar->GetCount());
    std::string d0 = t.Get("http://d0.example/");  // d0's cookies are the most recently used
    EXPECT_EQ(50, std::count(d0.begin(), d0.end(), '='));
    EXPECT_EQ("1", t.Set("http://new.example/", "n=x"));
    EXPECT_EQ(3000u, t.jar->GetCount());
    // The least recently used cookie overall was d1's first.
    EXPECT_EQ(0u, t.Get("http://d1.example/").find("c1=x")) << t.Get("http://d1.example/");
    EXPECT_EQ(0u, t.Get("http://d0.example/").find("c0=x"));
}

// ---------------------------------------------------------------- the file

class HttpCookieFile : public ::testing::Test {
protected:
    void SetUp() override { dir = vntest::MakeTempDir("cookiejar"); }
    void TearDown() override { vntest::RemoveTree(dir); }
    std::string dir;
};

// Cookies of every kind, set at kT0.
const char kVariety[] =
    "@http://www.example.com/a/b\n"
    "host=1\n"
    "dom=2; Domain=example.com; Path=/\n"
    "ho=3; HttpOnly; Max-Age=3600\n"
    "deep=4; Path=/a/b/c\n"
    "exp=5; Expires=Wed, 01 Jan 2048 00:00:00 GMT\n"
    "empty=\n"
    "@https://www.example.com/\n"
    "sec=6; Secure; Path=/\n"
    "__Host-h=7; Secure; Path=/; HttpOnly\n"
    "@http://github.io/\n"
    "suffix=8; Domain=github.io\n"
    "@http://[::1]:81/\n"
    "v6=9\n"
    "@http://10.0.0.1/x/\n"
    "ip=10; Domain=10.0.0.1\n";
const char* const kVarietyUrls[] = {
    "http://www.example.com/",  "https://www.example.com/a/b/c/d",
    "http://www.example.com/a", "http://x.example.com/a/b",
    "https://example.com/",     "http://github.io/",
    "http://x.github.io/",      "http://[::1]/",
    "http://10.0.0.1/x/y",      "https://www.example.com/a/b/c",
};

TEST_F(HttpCookieFile, SaveThenLoadGivesTheSameCookies) {
    TestJar a;
    ASSERT_EQ(std::string(11, '1'), a.Set("", kVariety));
    std::string file = dir + "/jar.txt";
    ASSERT_EQ(1, a.jar->Save(file.c_str()));
    struct stat st;
    ASSERT_EQ(0, stat(file.c_str(), &st));
    EXPECT_EQ(0600u, st.st_mode & 0777);
    EXPECT_EQ(std::vector<std::string>{"jar.txt"}, vntest::ListDir(dir));  // no temporary left
    std::string text = vntest::ReadTextFile(file);
    EXPECT_EQ(0u, text.find("# Netscape HTTP Cookie File\n")) << text;
    EXPECT_NE(std::string::npos, text.find("\n#HttpOnly_www.example.com\tFALSE\t/a\tFALSE\t" +
                                           std::to_string(kT0 + 3600) + "\tho\t3\n"))
        << text;
    EXPECT_NE(std::string::npos, text.find("\n.example.com\tTRUE\t/\tFALSE\t0\tdom\t2\n")) << text;
    EXPECT_NE(std::string::npos, text.find("\nwww.example.com\tFALSE\t/\tTRUE\t0\tsec\t6\n"));
    EXPECT_NE(std::string::npos, text.find("\ngithub.io\tFALSE\t/\tFALSE\t0\tsuffix\t8\n"));
    EXPECT_NE(std::string::npos, text.find("\nwww.example.com\tFALSE\t/a\tFALSE\t0\tempty\t\n"));

    TestJar b;
    b.now = kT0 + 60;
    a.now = kT0 + 60;
    ASSERT_EQ(1, b.jar->Load(file.c_str()));
    EXPECT_EQ(a.jar->GetCount(), b.jar->GetCount());
    for (const char* url : kVarietyUrls)
        EXPECT_EQ(a.Get(url), b.Get(url)) << url;
    EXPECT_EQ("dom=2", b.Get("http://x.example.com/a/b"));  // not a vacuous comparison
    // The loaded store writes the same file again.
    std::string again = dir + "/again.txt";
    ASSERT_EQ(1, b.jar->Save(again.c_str()));
    EXPECT_EQ(text, vntest::ReadTextFile(again));
    // Expired cookies are neither sent nor saved nor loaded.
    b.now = kT0 + 3600;
    ASSERT_EQ(1, b.jar->Save(again.c_str()));
    EXPECT_EQ(std::string::npos, vntest::ReadTextFile(again).find("\tho\t"));
    TestJar c;
    c.now = kT0 + 3600;
    ASSERT_EQ(1, c.jar->Load(file.c_str()));
    EXPECT_EQ(a.jar->GetCount() - 1, c.jar->GetCount());
}

TEST_F(HttpCookieFile, LoadSkipsWhatIsNotACookie) {
    std::string longLine = "www.example.com\tFALSE\t/\tFALSE\t0\tlong\t" + std::string(9000, 'x');
    std::string text =
        "# Netscape HTTP Cookie File\n"
        "\n"
        "   \n"
        "# a\tcomment\twith\tseven\tfields\tfor\tsure\n"
        ".example.com\tTRUE\t/\tFALSE\t0\tdom\t1\n"
        "www.example.com\tFALSE\t/\tFALSE\t0\thost\t2\r\n"
        "#HttpOnly_www.example.com\tFALSE\t/\tFALSE\t0\tho\t3\n"
        "www.example.com\tFALSE\t/p\tTRUE\t0\tsec\t4\n"
        "WWW.EXAMPLE.COM\tfalse\t/\tFALSE\t" +
        std::to_string(kT0 + 100) +
        "\tpers\t5\n"
        "www.example.com\tFALSE\t/\tFALSE\t" +
        std::to_string(kT0 - 1) +
        "\texp\t6\n"
        "www.example.com\tFALSE\t/\tFALSE\t-5\texp2\t6\n"
        "www.example.com\tFALSE\t/\tFALSE\t0\tempty\n"
        "www.example.com\tFALSE\t/\tFALSE\t0\trep\told\n"
        "www.example.com\tFALSE\t/\tFALSE\t0\trep\tnew\n"
        ".com\tTRUE\t/\tFALSE\t0\tpsl\t7\n"
        ".co.uk\tTRUE\t/\tFALSE\t0\tpsl\t7\n"
        "github.io\tFALSE\t/\tFALSE\t0\tsuffixhost\t8\n"
        "1.2.3.4\tTRUE\t/\tFALSE\t0\tip\t9\n"
        "dir.example.net\tFALSE\t/dir/\tFALSE\t0\tcurldir\t11\n"
        "www.example.com\tMAYBE\t/\tFALSE\t0\tbad\t1\n"
        "www.example.com\tFALSE\t/\tFALSE\tsoon\tbad\t2\n"
        "www.example.com\tFALSE\t/\tFALSE\t0\tbad\t3\textra\n"
        "www.example.com\tFALSE\tnoslash\tFALSE\t0\tbad\t4\n"
        "www.example.com\tFALSE\t/\tFALSE\t0\t\t5\n"
        "www.example.com FALSE / FALSE 0 bad 6\n"
        "www.example.com\tFALSE\t/\tFALSE\t0\t__Secure-bad\t7\n"
        "www.example.com\tFALSE\t/\tFALSE\t0\tbad\ta;b\n"
        "www.example.com\tFALSE\t/\tFALSE\t0\tbad=x\t8\n"
        "www.example.com\tFALSE\t/\tFALSE\t0\tbad\t\x01\n"
        "\tFALSE\t/\tFALSE\t0\tbad\t9\n"
        "www..example.com\tTRUE\t/\tFALSE\t0\tbad\t10\n" +
        longLine +
        "\n"
        "www.example.com\tFALSE\t/\tFALSE\t0\tlast\t10";  // no line end
    std::string file = dir + "/in.txt";
    ASSERT_TRUE(vntest::WriteTextFile(file, text));
    TestJar t;
    ASSERT_EQ(1, t.jar->Load(file.c_str()));
    // Comments, blank and expired lines are no fault; the other 15 are, in one log line.
    EXPECT_EQ(1u, vntest::LogCount("Load [" + file + "]: 15 lines skipped"));
    EXPECT_EQ("dom=1; host=2; ho=3; pers=5; empty=; rep=new; last=10",
              t.Get("http://www.example.com/"));
    EXPECT_EQ("sec=4; dom=1; host=2; ho=3; pers=5; empty=; rep=new; last=10",
              t.Get("https://www.example.com/p"));
    EXPECT_EQ("dom=1", t.Get("http://a.example.com/"));
    EXPECT_EQ("suffixhost=8", t.Get("http://github.io/"));
    EXPECT_EQ("", t.Get("http://x.github.io/"));
    EXPECT_EQ("ip=9", t.Get("http://1.2.3.4/"));
    EXPECT_EQ("", t.Get("http://x.co.uk/"));
    // curl writes the default path of "/dir/page" as "/dir/" and reads it as "/dir".
    EXPECT_EQ("curldir=11", t.Get("http://dir.example.net/dir"));
    EXPECT_EQ("", t.Get("http://dir.example.net/dirx"));
    EXPECT_EQ(11u, t.jar->GetCount());
    t.now += 100;
    EXPECT_EQ(10u, t.jar->GetCount());
    // Loading into a store that has cookies adds to them; the file's replace its namesakes.
    EXPECT_EQ("11", t.Set("http://www.example.com/", "rep=mine\nown=1"));
    ASSERT_EQ(1, t.jar->Load(file.c_str()));
    EXPECT_EQ("dom=1; host=2; ho=3; empty=; rep=new; last=10; own=1",
              t.Get("http://www.example.com/"));
}

TEST_F(HttpCookieFile, FailuresLeaveNothingBehind) {
    TestJar t;
    ASSERT_EQ("1", t.Set("http://h.example/", "a=1"));
    int descriptors = vntest::CountOpenDescriptors();
    EXPECT_EQ(0, t.jar->Load((dir + "/missing.txt").c_str()));
    EXPECT_EQ(0, t.jar->Load(dir.c_str()));  // a folder opens but cannot be read
    EXPECT_EQ(0, t.jar->Save((dir + "/no/such/folder/jar.txt").c_str()));
    // The target is a folder: written, but the rename fails; the temporary is removed.
    ASSERT_EQ(0, mkdir((dir + "/folder").c_str(), 0700));
    EXPECT_EQ(0, t.jar->Save((dir + "/folder").c_str()));
    EXPECT_EQ(std::vector<std::string>{"folder"}, vntest::ListDir(dir));
    EXPECT_EQ(descriptors, vntest::CountOpenDescriptors());
    // An existing file is replaced as a whole.
    std::string file = dir + "/jar.txt";
    ASSERT_TRUE(vntest::WriteTextFile(file, std::string(100000, '#') + "\n"));
    ASSERT_EQ(1, t.jar->Save(file.c_str()));
    std::string text = vntest::ReadTextFile(file);
    EXPECT_EQ(0u, text.find("# Netscape HTTP Cookie File\n"));
    EXPECT_LT(text.size(), 200u);
    EXPECT_EQ(1u, t.jar->GetCount());
}

// ---------------------------------------------------------------- threads

TEST(HttpCookieJar, CallsFromManyThreads) {
    IHttpCookieJar* jar = vn_create_cookiejar();
    ASSERT_NE(nullptr, jar);
    std::string dir = vntest::MakeTempDir("cookiethreads");
    std::vector<std::thread> threads;
    threads.reserve(4);
    std::atomic<int> bad{0};
    for (int n = 0; n < 4; ++n) {
        threads.emplace_back([jar, n, &bad, &dir] {
            std::string own = "http://t" + std::to_string(n) + ".example/";
            std::string file = dir + "/jar" + std::to_string(n);
            for (int i = 0; i < 200; ++i) {
                std::string v = std::to_string(i);
                if (!jar->SetCookie(own.c_str(), ("c=" + v).c_str())) ++bad;
                if (!jar->SetCookie("http://www.shared.example/", ("s=" + v).c_str())) ++bad;
                vn::strutf8 line;
                if (!jar->GetCookie(own.c_str(), line) || line != ("c=" + v).c_str()) ++bad;
                if (i % 50 == 0) {
                    // Saved while the others write; read back into a store of its own.
                    IHttpCookieJar* mine = vn_create_cookiejar();
                    if (!jar->Save(file.c_str()) || !mine->Load(file.c_str()) ||
                        mine->GetCount() == 0) {
                        ++bad;
                    }
                    mine->Release();
                }
            }
        });
    }
    for (std::thread& th : threads)
        th.join();
    EXPECT_EQ(0, bad.load());
    EXPECT_EQ(5u, jar->GetCount());
    jar->Release();
    vntest::RemoveTree(dir);
}

// ---------------------------------------------------------------- curl as the peer

// A loopback origin for curl: a request for a path in `answers` gets those Set-Cookie
// values, any other request gets the Cookie line it carried as its body. Serves on its own
// thread until destroyed, one connection at a time ("Connection: close").
class CookieOrigin {
public:
    explicit CookieOrigin(std::map<std::string, std::vector<std::string>> answers)
        : m_answers(std::move(answers)) {
        m_fd = vntest::BindLoopback(SOCK_STREAM, &m_port);
        if (m_fd < 0 || listen(m_fd, 16) != 0 || pipe2(m_wake, O_CLOEXEC) != 0) return;
        m_thread = std::thread([this] { Run(); });
    }
    ~CookieOrigin() {
        if (m_thread.joinable()) {
            char c = 0;
            EXPECT_EQ(1, write(m_wake[1], &c, 1));
            m_thread.join();
        }
        for (int fd : {m_fd, m_wake[0], m_wake[1]}) {
            if (fd >= 0) close(fd);
        }
    }
    CookieOrigin(const CookieOrigin&) = delete;
    CookieOrigin& operator=(const CookieOrigin&) = delete;
    bool ok() const { return m_thread.joinable(); }
    unsigned short port() const { return m_port; }

private:
    void Run() {
        for (;;) {
            pollfd p[2] = {{m_fd, POLLIN, 0}, {m_wake[0], POLLIN, 0}};
            // The bound is only a backstop: the destructor wakes the loop.
            if (poll(p, 2, 30000) <= 0 || p[1].revents != 0) return;
            int c = accept4(m_fd, nullptr, nullptr, SOCK_CLOEXEC);
            if (c < 0) continue;
            Serve(c);
            close(c);
        }
    }
    void Serve(int fd) {
        std::string head = vntest::ReadUntil(fd, "\r\n\r\n", 5000);
        size_t sp = head.find(' '), sp2 = head.find(' ', sp + 1);
        if (sp == std::string::npos || sp2 == std::string::npos) return;
        std::string target = head.substr(sp + 1, sp2 - sp - 1), body, extra;
        auto it = m_answers.find(target);
        if (it != m_answers.end()) {
            for (const std::string& v : it->second)
                extra += "Set-Cookie: " + v + "\r\n";
        } else {
            std::string lower = head;
            std::transform(lower.begin(), lower.end(), lower.begin(),
                           [](unsigned char ch) { return static_cast<char>(tolower(ch)); });
            size_t at = lower.find("\r\ncookie: ");
            if (at != std::string::npos) {
                body = head.substr(at + 10, head.find("\r\n", at + 2) - at - 10);
            }
        }
        vntest::SendAll(fd, "HTTP/1.1 200 OK\r\nConnection: close\r\nContent-Length: " +
                                std::to_string(body.size()) + "\r\n" + extra + "\r\n" + body);
    }

    std::map<std::string, std::vector<std::string>> m_answers;
    int m_fd = -1;
    int m_wake[2] = {-1, -1};
    unsigned short m_port = 0;
    std::thread m_thread;
};

// "a; b; c" as a sorted list: curl orders a Cookie line by path length, then by domain and
// name length, where the RFC has creation time after path length.
std::vector<std::string> Pairs(const std::string& line) {
    std::vector<std::string> out;
    for (size_t b = 0; b < line.size();) {
        size_t e = line.find("; ", b);
        if (e == std::string::npos) e = line.size();
        out.push_back(line.substr(b, e - b));
        b = e + 2;
    }
    std::sort(out.begin(), out.end());
    return out;
}

class HttpCookieCurl : public HttpCookieFile {
protected:
    void SetUp() override {
        if (!vntest::HaveProgram("/usr/bin/curl")) GTEST_SKIP() << "curl is not installed";
        HttpCookieFile::SetUp();
    }
    // curl's body (the origin's answer) for the URLs, all names resolving to the origin;
    // *status gets curl's exit status. Bounded by curl's --max-time and, should curl hang
    // before that applies, by timeout(1).
    std::string Curl(unsigned short port, const std::vector<std::string>& args, int* status) {
        std::string cmd = "timeout -s KILL 20 /usr/bin/curl -q -s -S --max-time 10 --noproxy '*'";
        for (const char* host :
             {"www.example.test", "sub.example.test", "example.test", "a.b.example.test",
              "other.test", "www.example.co.uk", "example.co.uk", "co.uk"}) {
            cmd += " --resolve " + std::string(host) + ":" + std::to_string(port) + ":127.0.0.1";
        }
        for (const std::string& a : args)
            cmd += " '" + a + "'";
        FILE* p = popen((cmd + " 2>&1").c_str(), "r");
        if (p == nullptr) {
            *status = -1;
            return "";
        }
        std::string out;
        char buf[4096];
        for (size_t n; (n = fread(buf, 1, sizeof(buf), p)) > 0;)
            out.append(buf, n);
        int st = pclose(p);
        *status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
        return out;
    }
    static std::string Url(unsigned short port, const char* host, const char* path) {
        return std::string("http://") + host + ":" + std::to_string(port) + path;
    }
};

// Each later request: our Cookie line and curl's must both be this (sorted).
struct InteropCheck {
    const char* host;
    const char* path;
    const char* expected;  // sorted pairs joined by "; "
};

TEST_F(HttpCookieCurl, LoadsWhatCurlWrote) {
    CookieOrigin origin({
        {"/set1",
         {"host1=a", "dom1=b; Domain=example.test", "pathc=c; Path=/app", "maxage=d; Max-Age=3600",
          "exp=e; Expires=Wed, 01 Jan 2048 00:00:00 GMT", "ho=f; HttpOnly",
          "past=g; Expires=Thu, 01 Jan 1970 00:00:01 GMT"}},
        {"/dir/set2",
         {"defpath=i", "dom2=j; Domain=.EXAMPLE.test", "wrong=k; Domain=other.test",
          "sec=l; Secure"}},
        {"/set3", {"psl=m; Domain=co.uk", "ok=n; Domain=example.co.uk"}},
        {"/set4", {"host1=replaced", "maxage=; Max-Age=0"}},
        {"/set5", {"ip=o", "ipdom=p; Domain=127.0.0.1"}},
    });
    ASSERT_TRUE(origin.ok());
    unsigned short port = origin.port();
    std::string jarFile = dir + "/curl.txt";
    int status = 0;
    std::string out =
        Curl(port,
             {"-c", jarFile, Url(port, "www.example.test", "/set1"),
              Url(port, "sub.example.test", "/dir/set2"), Url(port, "www.example.co.uk", "/set3"),
              Url(port, "www.example.test", "/set4"), Url(port, "127.0.0.1", "/set5")},
             &status);
    ASSERT_EQ(0, status) << out;
    IHttpCookieJar* jar = vn_create_cookiejar();
    ASSERT_EQ(1, jar->Load(jarFile.c_str())) << vntest::ReadTextFile(jarFile);
    const InteropCheck kChecks[] = {
        {"www.example.test", "/", "dom1=b; exp=e; ho=f; host1=replaced"},
        {"www.example.test", "/app/x", "dom1=b; exp=e; ho=f; host1=replaced; pathc=c"},
        {"example.test", "/", "dom1=b"},
        {"a.b.example.test", "/dir/x", "dom1=b; dom2=j"},
        {"sub.example.test", "/dir", "defpath=i; dom1=b; dom2=j"},
        {"sub.example.test", "/dirx", "dom1=b"},
        {"www.example.co.uk", "/", "ok=n"},
        {"other.test", "/", ""},
        {"co.uk", "/", ""},
        {"127.0.0.1", "/", "ip=o; ipdom=p"},
    };
    for (const InteropCheck& c : kChecks) {
        std::string url = Url(port, c.host, c.path);
        std::string sent = Curl(port, {"-b", jarFile, url}, &status);
        EXPECT_EQ(0, status) << sent;
        vn::strutf8 ours;
        EXPECT_EQ(1, jar->GetCookie(url.c_str(), ours));
        EXPECT_EQ(Pairs(c.expected), Pairs(sent)) << "curl, " << url;
        EXPECT_EQ(Pairs(c.expected), Pairs(ours.c_str())) << "ours, " << url;
    }
    jar->Release();
}

TEST_F(HttpCookieCurl, CurlReadsWhatWeWrote) {
    CookieOrigin origin({});
    ASSERT_TRUE(origin.ok());
    unsigned short port = origin.port();
    IHttpCookieJar* jar = vn_create_cookiejar();
    const struct {
        const char* url;
        const char* cookie;
    } kSets[] = {
        {"http://www.example.test/", "h=1"},
        {"http://www.example.test/", "d=2; Domain=example.test"},
        {"http://www.example.test/", "p=3; Path=/app"},
        {"http://www.example.test/", "ho=4; HttpOnly"},
        {"http://www.example.test/", "m=5; Max-Age=86400"},
        {"http://www.example.test/", "e=; Max-Age=86400"},
        {"https://www.example.test/", "s=6; Secure"},
        {"http://sub.example.test/a/b", "def=7"},
        {"http://127.0.0.1/", "ip=8"},
        {"http://www.example.co.uk/", "uk=9; Domain=example.co.uk"},
    };
    for (const auto& s : kSets)
        ASSERT_EQ(1, jar->SetCookie(s.url, s.cookie)) << s.cookie;
    std::string jarFile = dir + "/ours.txt";
    ASSERT_EQ(1, jar->Save(jarFile.c_str()));
    const InteropCheck kChecks[] = {
        {"www.example.test", "/", "d=2; e=; h=1; ho=4; m=5"},
        {"www.example.test", "/app/x", "d=2; e=; h=1; ho=4; m=5; p=3"},
        {"www.example.test", "/app", "d=2; e=; h=1; ho=4; m=5; p=3"},
        {"www.example.test", "/apple", "d=2; e=; h=1; ho=4; m=5"},
        {"example.test", "/", "d=2"},
        {"sub.example.test", "/a/z", "d=2; def=7"},
        {"sub.example.test", "/", "d=2"},
        {"127.0.0.1", "/", "ip=8"},
        {"example.co.uk", "/x", "uk=9"},
        {"other.test", "/", ""},
    };
    int status = 0;
    for (const InteropCheck& c : kChecks) {
        std::string url = Url(port, c.host, c.path);
        std::string sent = Curl(port, {"-b", jarFile, url}, &status);
        EXPECT_EQ(0, status) << sent;
        vn::strutf8 ours;
        EXPECT_EQ(1, jar->GetCookie(url.c_str(), ours));
        EXPECT_EQ(Pairs(c.expected), Pairs(sent)) << "curl, " << url;
        EXPECT_EQ(Pairs(c.expected), Pairs(ours.c_str())) << "ours, " << url;
    }
    jar->Release();
}

}  // namespace
