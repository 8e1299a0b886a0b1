// The cookie store over arbitrary answers: the first line is the request URL, every further
// line a Set-Cookie value and, read otherwise, a cookie-file line and a cookie date. Checks
// that no Cookie line can carry a control byte (it would end or split the header), that
// every kept cookie survives its file line (but for a trailing '/' of its path, which curl's
// reading drops), that a file line taken once reads the same when written again, and that
// the limits hold. One thread; each input gets a store of its own.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <map>
#include <string>

#include "http/client/vnhttpcookie_internal.h"

namespace {

using vn::detail::HttpCookie;

// Whether `read` is what the file line of `original` reads back as: the same, except that a
// path ending in '/' loses it (as curl reads its files).
bool SameCookie(const HttpCookie& original, const HttpCookie& read) {
    const HttpCookie& a = original;
    const HttpCookie& b = read;
    return a.name == b.name && a.value == b.value && a.domain == b.domain &&
           a.hostOnly == b.hostOnly && a.secure == b.secure && a.httpOnly == b.httpOnly &&
           a.persistent == b.persistent && (!a.persistent || a.expiry == b.expiry) &&
           (a.path == b.path || a.path == b.path + "/");
}

void CheckLine(const vn::strutf8& line) {
    for (unsigned i = 0; i < line.length(); ++i) {
        unsigned char c = static_cast<unsigned char>(line[i]);
        if (c < 0x20 || c == 0x7F) abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 16384) return 0;
    const long long kNow = 1700000000;
    std::string text(reinterpret_cast<const char*>(data), size);
    size_t nl = text.find('\n');
    std::string url = text.substr(0, nl);
    vn::detail::HttpCookieRequest req;
    if (!vn::detail::HttpCookieParseUrl(url.c_str(), &req)) url = "https://www.example.com/a/b";

    IHttpCookieJar* base = vn_create_cookiejar();
    auto* jar = static_cast<vn::detail::CHttpCookieJar*>(base);  // what vn_create_cookiejar makes
    jar->SetClock([] { return kNow; });
    vn::strutf8 line;
    for (size_t b = nl == std::string::npos ? text.size() : nl + 1; b < text.size();) {
        size_t e = text.find('\n', b);
        if (e == std::string::npos) e = text.size();
        std::string v = text.substr(b, e - b);
        b = e + 1;
        jar->SetCookie(url.c_str(), v.c_str());

        long long t = 0;
        if (vn::detail::HttpParseCookieDate(v.data(), v.size(), &t) &&
            (t < -11644473600LL || t > vn::detail::kCookieMaxExpiry)) {
            abort();
        }
        HttpCookie c;
        if (vn::detail::HttpCookieParseFileLine(v.data(), v.size(), &c) &&
            vn::detail::HttpCookieCheck(&c) == nullptr) {
            std::string again = vn::detail::HttpCookieFileLine(c);
            HttpCookie d;
            if (!vn::detail::HttpCookieParseFileLine(again.data(), again.size(), &d) ||
                vn::detail::HttpCookieCheck(&d) != nullptr || !SameCookie(c, d) ||
                (d.path == c.path && vn::detail::HttpCookieFileLine(d) != again)) {
                abort();
            }
        }
    }
    jar->GetCookie(url.c_str(), line);
    CheckLine(line);
    std::map<std::string, size_t> groups;
    std::vector<HttpCookie> kept = jar->Cookies();
    if (kept.size() > vn::detail::kCookieMaxTotal) abort();
    for (const HttpCookie& c : kept) {
        if (++groups[c.group] > vn::detail::kCookieMaxPerDomain) abort();
        std::string fileLine = vn::detail::HttpCookieFileLine(c);
        HttpCookie d;
        if (!vn::detail::HttpCookieParseFileLine(fileLine.data(), fileLine.size(), &d) ||
            vn::detail::HttpCookieCheck(&d) != nullptr || !SameCookie(c, d)) {
            abort();
        }
        // Each kept cookie reaches its own host and path, and only over https when Secure.
        std::string back =
            std::string(c.secure ? "https://" : "http://") +
            (c.domain.find(':') != std::string::npos ? "[" + c.domain + "]" : c.domain) + c.path;
        if (c.path.find_first_of("?#") == std::string::npos && jar->GetCookie(back.c_str(), line)) {
            CheckLine(line);
            if (strstr(line.c_str(), (c.name + "=" + c.value).c_str()) == nullptr) abort();
        }
    }
    base->Release();
    return 0;
}
