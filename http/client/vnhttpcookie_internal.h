// Internal header (not installed): the cookie store behind IHttpCookieJar and the text steps
// it is made of, kept apart so that tests and the fuzz target can call them: the request
// URL as cookies see it, Set-Cookie and cookie-date parsing, path matching, the Netscape
// cookie-file line, and one set of cookies with its limits.
//
// Thread safety: the free functions are stateless and callable from any thread; an
// HttpCookieSet belongs to one thread at a time (the store guards its own with a mutex);
// CHttpCookieJar is safe from any thread.
//   vn::detail::HttpCookieRequest req;
//   vn::detail::HttpCookieParseUrl("https://www.example.com/a/b?x", &req);  // host, "/a/b"
//   long long t;
//   vn::detail::HttpParseCookieDate("Sun, 06 Nov 1994 08:49:37 GMT", 29, &t);  // 784111777
#pragma once

#include <stddef.h>

#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "http/client/vnhttpcookiejar.h"

namespace vn {
namespace detail {

// Bounds from RFC 6265 section 6.1 (the least a store must keep) and its successor draft:
// longer cookies and attributes are refused or ignored rather than kept in part.
enum : size_t {
    kCookieMaxNameValue = 4096,  // name and value together
    kCookieMaxAttribute = 1024,  // one attribute value (and a stored path)
    kCookieMaxHost = 255,        // a DNS name
    kCookieMaxPerDomain = 50,    // per registrable domain (see HttpCookieSet)
    kCookieMaxTotal = 3000,
};
// The latest expiry kept: 9999-12-31 23:59:59 UTC, the last second a cookie date can
// name; a larger Max-Age or file value is cut to it.
constexpr long long kCookieMaxExpiry = 253402300799LL;

// A request URL as the cookie rules see it.
struct HttpCookieRequest {
    bool secure = false;  // https
    bool hostIsIp = false;
    std::string host;  // lower case, IPv6 without brackets, no port, no userinfo
    std::string path;  // starts with "/", query and fragment removed
};
// False for a URL the client would not request (HttpCrackUrl refuses it), a host longer
// than 255 bytes, or a null pszUrl.
bool HttpCookieParseUrl(const char* pszUrl, HttpCookieRequest* pReq);

// Whether a host text is an IP address: numeric text of either family, or a name whose
// last label is a number (such as "127.1" or "0x7f.1"), which resolvers read as IPv4.
bool HttpCookieHostIsIp(const std::string& host);

// RFC 6265 section 5.1.1 on n bytes: Unix seconds of the date (UTC) in *pTime. False when
// a part is missing or out of range, or the date does not exist (30 February).
bool HttpParseCookieDate(const char* p, size_t n, long long* pTime);

// One Set-Cookie value split by RFC 6265 section 5.2 (the last of each attribute counts).
struct HttpSetCookie {
    std::string name, value;
    bool hasMaxAge = false;
    long long maxAge = 0;  // seconds; <= 0 expires the cookie now
    bool hasExpires = false;
    long long expires = 0;  // Unix seconds
    bool hasDomain = false;
    std::string domain;  // leading dot removed, lower case; empty: host-only
    bool hasPath = false;
    std::string path;  // empty when the attribute gave no usable path (default-path)
    bool secure = false;
    bool httpOnly = false;
};
// Null when the value was taken, otherwise why it was refused (for the log).
const char* HttpParseSetCookie(const char* p, size_t n, HttpSetCookie* pOut);

// The default-path of section 5.1.4 for a request path.
std::string HttpCookieDefaultPath(const std::string& uriPath);
// Whether a request path path-matches a cookie path (section 5.1.4).
bool HttpCookiePathMatch(const std::string& reqPath, const std::string& cookiePath);
// Whether the text s domain-matches domain (section 5.1.3): the same, or a name ending in
// "." + domain (never for an IP address).
bool HttpCookieDomainMatch(const std::string& s, bool sIsIp, const std::string& domain);

// One stored cookie.
struct HttpCookie {
    std::string name, value;
    std::string domain;  // no leading dot, lower case
    std::string path;
    bool hostOnly = true;
    bool secure = false;
    bool httpOnly = false;
    bool persistent = false;
    long long expiry = 0;            // Unix seconds, when persistent
    unsigned long long created = 0;  // creation order (the set's serial)
    unsigned long long used = 0;     // order of the last use, for eviction
    std::string group;               // registrable domain, for the per-domain limit
    bool Expired(long long now) const { return persistent && expiry <= now; }
};

// A cookie made from a parsed Set-Cookie for a request by section 5.3 (expiry, domain,
// public suffix, path, Secure, name prefixes). Null when taken, else why it was refused.
const char* HttpCookieFromSetCookie(const HttpSetCookie& sc, const HttpCookieRequest& req,
                                    long long now, HttpCookie* pOut);
// The checks every cookie passes before it is kept, whatever its source (a Set-Cookie or a
// file line): name and value bytes and size, domain and path text, the public suffix rule
// for a domain cookie and the "__Secure-" / "__Host-" prefixes. Null when it may be kept.
// A domain cookie for an IP address is made host-only.
const char* HttpCookieCheck(HttpCookie* pCookie);

// One line of a Netscape cookie file, without line end. A cookie read back from it by
// HttpCookieParseFileLine has the same fields (creation and use orders aside), except that
// a path ending in '/' loses that '/', as curl reads the file.
std::string HttpCookieFileLine(const HttpCookie& c);
// Parses one line (its CR LF or LF already removed): false for a comment, a blank line or a
// malformed one. Only the format is checked here; HttpCookieCheck does the rest.
bool HttpCookieParseFileLine(const char* p, size_t n, HttpCookie* pOut);

// A set of cookies and its limits. Not thread-safe.
class HttpCookieSet {
public:
    // Drops every cookie expired at now.
    void DropExpired(long long now);
    // Whether section 5.3's "leave secure cookies alone" rule refuses c from a plain-http
    // answer: a stored Secure cookie of the same name, in a domain either side matches,
    // whose path c's path falls under.
    bool ShadowsSecure(const HttpCookie& c) const;
    // Removes the cookie of c's name, domain, host-only flag and path; true when there was
    // one.
    bool Remove(const HttpCookie& c);
    // Keeps c (not expired), replacing the cookie of the same name, domain, host-only flag
    // and path (whose creation order it takes over), then evicts the least recently used
    // cookies over the per-domain and total limits (c itself is the most recent).
    void Put(HttpCookie c);
    // The Cookie line for a request: longer paths first, then earlier created; the cookies
    // sent count as used now.
    std::string CookieLine(const HttpCookieRequest& req);
    // Every cookie in creation order.
    std::vector<HttpCookie> Sorted() const;
    size_t size() const { return m_cookies.size(); }
    void clear() { m_cookies.clear(); }

private:
    void EvictOldest(const std::string* pGroup);

    std::vector<HttpCookie> m_cookies;
    unsigned long long m_nSerial = 0;  // last creation or use order given out
};

// The store. One mutex guards the set and the clock; file I/O runs outside it.
class CHttpCookieJar final : public IHttpCookieJar {
public:
    // Seconds since 1970 (UTC).
    using Clock = std::function<long long()>;

    unsigned char SetCookie(const char* pszUrl, const char* pszSetCookie) override;
    unsigned char GetCookie(const char* pszUrl, vn::strutf8& strCookie) override;
    unsigned char Load(const char* pszFile) override;
    unsigned char Save(const char* pszFile) override;
    void Clear() override;
    unsigned int GetCount() override;

    // Replaces the clock (tests); an empty one restores the system clock.
    void SetClock(Clock clock);
    // A copy of every unexpired cookie in creation order (tests and the fuzz target).
    std::vector<HttpCookie> Cookies();

private:
    ~CHttpCookieJar() override = default;
    long long Now() const;  // m_lock held

    mutable std::mutex m_lock;
    HttpCookieSet m_set;  // guarded by m_lock
    Clock m_clock;        // guarded by m_lock; empty: time()
};

}  // namespace detail
}  // namespace vn
