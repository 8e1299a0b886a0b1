// The text steps of the cookie store (see vnhttpcookie_internal.h): the request URL, RFC 6265
// section 5 parsing and matching, the Netscape file line and the cookie set with its
// limits. Stateless functions, callable from any thread; an HttpCookieSet belongs to whoever
// holds its store's lock.
#include "http/client/vnhttpcookie_internal.h"

#include <libpsl.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <limits>

#include "http/client/vnhttpclientutil_internal.h"
#include "net/vnnet.h"

namespace vn {
namespace detail {

namespace {

char Lower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// ASCII only, whatever the process's locale (strncasecmp follows it).
bool SameNoCase(const char* a, const char* b, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        if (Lower(a[i]) != Lower(b[i])) return false;
    }
    return true;
}

bool EqualNoCase(const std::string& a, const char* b) {
    size_t n = strlen(b);
    return a.size() == n && SameNoCase(a.data(), b, n);
}

bool StartsNoCase(const std::string& s, const char* prefix) {
    size_t n = strlen(prefix);
    return s.size() >= n && SameNoCase(s.data(), prefix, n);
}

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

bool IsWsp(char c) {
    return c == ' ' || c == '\t';
}

// The control bytes a header value may not carry into a cookie (TAB is whitespace there).
bool IsCtlButTab(unsigned char c) {
    return (c < 0x20 && c != '\t') || c == 0x7F;
}

std::string TrimWsp(const char* p, size_t n) {
    size_t b = 0, e = n;
    while (b < e && IsWsp(p[b]))
        ++b;
    while (e > b && IsWsp(p[e - 1]))
        --e;
    return std::string(p + b, e - b);
}

// Name and value as the Cookie line and the file carry them: no control byte at all (a TAB
// would split a file line into other fields), no ';' (it would end the pair early), no '='
// in the name (the peer would split the pair elsewhere), no edge whitespace (Set-Cookie
// trims it, so a file line with it was not written by a cookie engine).
const char* CheckNameValue(const std::string& name, const std::string& value) {
    if (name.empty()) return "no name";
    if (name.size() + value.size() > kCookieMaxNameValue) return "name and value too long";
    for (unsigned char c : name) {
        if (c < 0x20 || c == 0x7F || c == ';' || c == '=') return "bad byte in the name";
    }
    for (unsigned char c : value) {
        if (c < 0x20 || c == 0x7F || c == ';') return "bad byte in the value";
    }
    if (IsWsp(name.front()) || IsWsp(name.back())) return "space around the name";
    if (!value.empty() && (IsWsp(value.front()) || IsWsp(value.back()))) {
        return "space around the value";
    }
    return nullptr;
}

// The list is loaded once and kept for the life of the process: lookups may come from any
// thread until exit, so it is never freed (it stays reachable through this static). A
// context is read-only once loaded, so concurrent lookups need no lock.
const psl_ctx_t* PublicSuffixList() {
    static const psl_ctx_t* const s_list = []() -> const psl_ctx_t* {
        psl_ctx_t* latest = psl_latest(nullptr);
        if (latest != nullptr) return latest;
        return psl_builtin();
    }();
    return s_list;
}

// Without any list every Domain attribute counts as a public suffix: only host-only cookies
// are kept then, never one that could reach hosts it should not. A top-level label the list
// does not name (".corp", ".lan", ".test") is a public suffix too (the list's "*" rule), as
// for curl: a cookie for all of an internal top-level domain is refused like one for ".com".
bool IsPublicSuffix(const std::string& domain) {
    const psl_ctx_t* psl = PublicSuffixList();
    if (psl == nullptr) return true;
    return psl_is_public_suffix2(psl, domain.c_str(), PSL_TYPE_ANY) != 0;
}

// The registrable domain (one label above the public suffix) that groups a cookie for the
// per-domain limit. Grouping by it rather than by the cookie's own domain keeps a site from
// taking the whole store through any number of its subdomains.
std::string GroupOf(const std::string& domain, bool ip) {
    if (ip) return domain;
    const psl_ctx_t* psl = PublicSuffixList();
    const char* reg = psl != nullptr ? psl_registrable_domain(psl, domain.c_str()) : nullptr;
    return reg != nullptr ? std::string(reg) : domain;
}

// Cookie-date delimiters (section 5.1.1).
bool IsDateDelimiter(unsigned char c) {
    return c == 0x09 || (c >= 0x20 && c <= 0x2F) || (c >= 0x3B && c <= 0x40) ||
           (c >= 0x5B && c <= 0x60) || (c >= 0x7B && c <= 0x7E);
}

// minDigits..maxDigits digits at the start of the token, then its end or a non-digit.
bool LeadingNumber(const std::string& t, size_t minDigits, size_t maxDigits, int* pValue) {
    size_t k = 0;
    int v = 0;
    while (k < t.size() && IsDigit(t[k])) {
        if (k == maxDigits) return false;
        v = v * 10 + (t[k] - '0');
        ++k;
    }
    if (k < minDigits) return false;
    *pValue = v;
    return true;
}

// hms-time: 1*2DIGIT ":" 1*2DIGIT ":" 1*2DIGIT, then the token's end or a non-digit.
bool TimeToken(const std::string& t, int* h, int* m, int* s) {
    int* parts[3] = {h, m, s};
    size_t at = 0;
    for (int i = 0; i < 3; ++i) {
        size_t k = 0;
        int v = 0;
        while (at + k < t.size() && IsDigit(t[at + k]) && k < 2) {
            v = v * 10 + (t[at + k] - '0');
            ++k;
        }
        if (k == 0) return false;
        at += k;
        *parts[i] = v;
        if (i < 2) {
            if (at >= t.size() || t[at] != ':') return false;
            ++at;
        }
    }
    return at == t.size() || !IsDigit(t[at]);
}

int MonthToken(const std::string& t) {
    static const char* const kMonths[] = {"jan", "feb", "mar", "apr", "may", "jun",
                                          "jul", "aug", "sep", "oct", "nov", "dec"};
    if (t.size() < 3) return 0;
    for (int i = 0; i < 12; ++i) {
        if (Lower(t[0]) == kMonths[i][0] && Lower(t[1]) == kMonths[i][1] &&
            Lower(t[2]) == kMonths[i][2]) {
            return i + 1;
        }
    }
    return 0;
}

bool IsLeap(int y) {
    return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
}

// Days from 1970-01-01 to y-m-d in the proleptic Gregorian calendar (H. Hinnant's
// days_from_civil), so no time zone or locale of the process takes part.
long long DaysFromCivil(long long y, unsigned m, unsigned d) {
    y -= m <= 2;
    const long long era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<long long>(doe) - 719468;
}

// A decimal number with an optional '-', saturating at the bounds of long long; false for
// anything else (no digit, a '+', a trailing byte).
bool ParseInteger(const std::string& s, long long* pValue) {
    size_t i = 0;
    bool negative = false;
    if (i < s.size() && s[i] == '-') {
        negative = true;
        ++i;
    }
    if (i == s.size()) return false;
    const long long kMax = std::numeric_limits<long long>::max();
    long long v = 0;
    for (; i < s.size(); ++i) {
        if (!IsDigit(s[i])) return false;
        int d = s[i] - '0';
        v = v > (kMax - d) / 10 ? kMax : v * 10 + d;
    }
    *pValue = negative ? -v : v;
    return true;
}

bool SameIdentity(const HttpCookie& a, const HttpCookie& b) {
    return a.name == b.name && a.domain == b.domain && a.hostOnly == b.hostOnly && a.path == b.path;
}

}  // namespace

// ---------------------------------------------------------------- the request URL

bool HttpCookieHostIsIp(const std::string& host) {
    if (host.empty()) return false;
    if (vnnet_addrfamily(host.c_str()) != 0) return true;
    // The last label (before a final dot) decides, as in the URL standard's IPv4 test: a
    // resolver takes "192.168.1" or "0x7f.1" for an address, so such a host must not get
    // domain cookies that would reach other addresses.
    size_t end = host.size();
    if (host[end - 1] == '.') --end;
    size_t begin = host.rfind('.', end == 0 ? 0 : end - 1);
    begin = begin == std::string::npos || begin >= end ? 0 : begin + 1;
    std::string label = host.substr(begin, end - begin);
    if (label.empty()) return false;
    if (label.size() > 2 && label[0] == '0' && (label[1] == 'x' || label[1] == 'X')) {
        return label.find_first_not_of("0123456789abcdefABCDEF", 2) == std::string::npos;
    }
    if (label.size() == 2 && label[0] == '0' && (label[1] == 'x' || label[1] == 'X')) return true;
    return label.find_first_not_of("0123456789") == std::string::npos;
}

bool HttpCookieParseUrl(const char* pszUrl, HttpCookieRequest* pReq) {
    if (pszUrl == nullptr) return false;
    std::string url(pszUrl);
    // Userinfo is no part of the host: "http://user:pw@host/" (the last '@' before the path
    // ends it, as a browser reads it), so the cookies go with the host connected to.
    size_t s = url.find("//");
    if (s != std::string::npos) {
        size_t e = url.find_first_of("/?#", s + 2);
        if (e == std::string::npos) e = url.size();
        size_t at = url.rfind('@', e - 1);
        if (at != std::string::npos && at >= s + 2) url.erase(s + 2, at - (s + 2) + 1);
    }
    vn::strutf8 strUrl(url.c_str(), static_cast<unsigned>(url.size())), host, path;
    unsigned short port = 0;
    bool tls = false;
    if (url.empty() || !HttpCrackUrl(strUrl, host, port, path, &tls)) return false;
    HttpCookieRequest req;
    req.secure = tls;
    req.host.assign(host.c_str(), host.length());
    if (req.host.empty() || req.host.size() > kCookieMaxHost) return false;
    for (char& c : req.host)
        c = Lower(c);
    req.hostIsIp = HttpCookieHostIsIp(req.host);
    req.path.assign(path.c_str(), path.length());
    size_t q = req.path.find('?');
    if (q != std::string::npos) req.path.resize(q);
    if (req.path.empty() || req.path[0] != '/') req.path.insert(0, "/");
    *pReq = std::move(req);
    return true;
}

// ---------------------------------------------------------------- parsing

bool HttpParseCookieDate(const char* p, size_t n, long long* pTime) {
    bool foundTime = false, foundDay = false, foundMonth = false, foundYear = false;
    int hour = 0, minute = 0, second = 0, day = 0, month = 0, year = 0;
    size_t i = 0;
    while (i < n) {
        while (i < n && IsDateDelimiter(static_cast<unsigned char>(p[i])))
            ++i;
        size_t b = i;
        while (i < n && !IsDateDelimiter(static_cast<unsigned char>(p[i])))
            ++i;
        if (i == b) break;
        std::string token(p + b, i - b);
        int m = 0;
        if (!foundTime && TimeToken(token, &hour, &minute, &second)) {
            foundTime = true;
        } else if (!foundDay && LeadingNumber(token, 1, 2, &day)) {
            foundDay = true;
        } else if (!foundMonth && (m = MonthToken(token)) != 0) {
            month = m;
            foundMonth = true;
        } else if (!foundYear && LeadingNumber(token, 2, 4, &year)) {
            foundYear = true;
        }
    }
    if (!foundTime || !foundDay || !foundMonth || !foundYear) return false;
    if (year >= 70 && year <= 99) year += 1900;
    if (year >= 0 && year <= 69) year += 2000;
    if (day < 1 || day > 31 || year < 1601 || hour > 23 || minute > 59 || second > 59) {
        return false;
    }
    static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    int last = kDays[month - 1] + (month == 2 && IsLeap(year) ? 1 : 0);
    if (day > last) return false;
    long long days = DaysFromCivil(year, static_cast<unsigned>(month), static_cast<unsigned>(day));
    *pTime = days * 86400 + hour * 3600 + minute * 60 + second;
    return true;
}

const char* HttpParseSetCookie(const char* p, size_t n, HttpSetCookie* pOut) {
    // Control bytes anywhere refuse the whole value, as browsers do (RFC 6265bis): they
    // could only come from a broken or hostile peer, and none may reach a file line.
    for (size_t i = 0; i < n; ++i) {
        if (IsCtlButTab(static_cast<unsigned char>(p[i]))) return "control byte";
    }
    HttpSetCookie sc;
    size_t semi = std::find(p, p + n, ';') - p;
    const char* eq = std::find(p, p + semi, '=');
    // A pair without '=' (or with an empty name) is refused, as RFC 6265 section 5.2 and
    // curl do. Browsers now keep it as a nameless cookie, but a bare value on the Cookie
    // line is read as a name by some servers and as a value by others, and curl's cookie
    // file has no way to carry it.
    if (eq == p + semi) return "no '=' in the pair";
    sc.name = TrimWsp(p, static_cast<size_t>(eq - p));
    sc.value = TrimWsp(eq + 1, static_cast<size_t>(p + semi - eq - 1));
    if (sc.name.empty()) return "empty name";
    if (sc.name.size() + sc.value.size() > kCookieMaxNameValue) return "name and value too long";

    for (size_t at = semi; at < n;) {
        size_t b = at + 1;
        size_t e = static_cast<size_t>(std::find(p + b, p + n, ';') - p);
        at = e;
        const char* aeq = std::find(p + b, p + e, '=');
        std::string name = TrimWsp(p + b, static_cast<size_t>(aeq - (p + b)));
        std::string value =
            aeq == p + e ? std::string() : TrimWsp(aeq + 1, static_cast<size_t>(p + e - aeq - 1));
        // Longer attribute values are ignored, not cut (RFC 6265bis): a cut Path or Domain
        // would be another one.
        if (value.size() > kCookieMaxAttribute) continue;
        if (EqualNoCase(name, "expires")) {
            long long t = 0;
            if (HttpParseCookieDate(value.data(), value.size(), &t)) {
                sc.hasExpires = true;
                sc.expires = std::min(t, kCookieMaxExpiry);
            }
        } else if (EqualNoCase(name, "max-age")) {
            long long v = 0;
            if (ParseInteger(value, &v)) {
                sc.hasMaxAge = true;
                sc.maxAge = v;
            }
        } else if (EqualNoCase(name, "domain")) {
            // An empty value is ignored (section 5.2.3); "." alone leaves an empty domain,
            // which makes the cookie host-only.
            if (value.empty()) continue;
            if (value[0] == '.') value.erase(0, 1);
            for (char& c : value)
                c = Lower(c);
            sc.hasDomain = true;
            sc.domain = value;
        } else if (EqualNoCase(name, "path")) {
            sc.hasPath = true;
            sc.path = !value.empty() && value[0] == '/' ? value : std::string();
        } else if (EqualNoCase(name, "secure")) {
            sc.secure = true;
        } else if (EqualNoCase(name, "httponly")) {
            sc.httpOnly = true;
        }
        // SameSite and unknown attributes: no meaning for a client without sites.
    }
    *pOut = std::move(sc);
    return nullptr;
}

// ---------------------------------------------------------------- matching

std::string HttpCookieDefaultPath(const std::string& uriPath) {
    if (uriPath.empty() || uriPath[0] != '/') return "/";
    size_t last = uriPath.rfind('/');
    if (last == 0) return "/";
    return uriPath.substr(0, last);
}

bool HttpCookiePathMatch(const std::string& reqPath, const std::string& cookiePath) {
    if (reqPath == cookiePath) return true;
    if (cookiePath.empty() || reqPath.size() < cookiePath.size() ||
        reqPath.compare(0, cookiePath.size(), cookiePath) != 0) {
        return false;
    }
    return cookiePath.back() == '/' || reqPath[cookiePath.size()] == '/';
}

bool HttpCookieDomainMatch(const std::string& s, bool sIsIp, const std::string& domain) {
    if (s == domain) return true;
    if (sIsIp || domain.empty() || s.size() <= domain.size()) return false;
    return s.compare(s.size() - domain.size(), domain.size(), domain) == 0 &&
           s[s.size() - domain.size() - 1] == '.';
}

// ---------------------------------------------------------------- storage rules

const char* HttpCookieFromSetCookie(const HttpSetCookie& sc, const HttpCookieRequest& req,
                                    long long now, HttpCookie* pOut) {
    HttpCookie c;
    c.name = sc.name;
    c.value = sc.value;
    // Max-Age wins over Expires; a Max-Age of zero or less expires the cookie at once.
    if (sc.hasMaxAge) {
        c.persistent = true;
        if (sc.maxAge <= 0) {
            c.expiry = std::numeric_limits<long long>::min();
        } else {
            c.expiry = sc.maxAge > kCookieMaxExpiry - now ? kCookieMaxExpiry : now + sc.maxAge;
        }
    } else if (sc.hasExpires) {
        c.persistent = true;
        c.expiry = sc.expires;
    }
    std::string domain = sc.hasDomain ? sc.domain : std::string();
    if (!domain.empty()) {
        if (req.hostIsIp) {
            // An address names one host: a Domain equal to it keeps the cookie there.
            if (domain != req.host) return "Domain on an IP address host";
            domain.clear();
        } else if (IsPublicSuffix(domain)) {
            // Section 5.3 step 5: a public suffix is accepted only as the host itself.
            if (domain != req.host) return "Domain is a public suffix";
            domain.clear();
        } else if (!HttpCookieDomainMatch(req.host, false, domain)) {
            return "Domain does not match the host";
        }
    }
    if (domain.empty()) {
        c.hostOnly = true;
        c.domain = req.host;
    } else {
        c.hostOnly = false;
        c.domain = domain;
    }
    c.path = sc.hasPath && !sc.path.empty() ? sc.path : HttpCookieDefaultPath(req.path);
    c.secure = sc.secure;
    c.httpOnly = sc.httpOnly;
    // A plain-http answer must not set what only https may carry (RFC 6265bis).
    if (c.secure && !req.secure) return "Secure over http";
    // "__Host-" also demands an explicit Path=/ (RFC 6265bis), so that no path can shadow
    // the cookie on its host; HttpCookieCheck sees only the result.
    if (StartsNoCase(c.name, "__Host-") && (!sc.hasPath || sc.path != "/")) {
        return "__Host- prefix without Path=/";
    }
    const char* why = HttpCookieCheck(&c);
    if (why != nullptr) return why;
    *pOut = std::move(c);
    return nullptr;
}

const char* HttpCookieCheck(HttpCookie* pCookie) {
    HttpCookie& c = *pCookie;
    const char* why = CheckNameValue(c.name, c.value);
    if (why != nullptr) return why;
    if (c.domain.empty() || c.domain.size() > kCookieMaxHost) return "bad domain";
    // Host-name bytes only (':' for IPv6, raw UTF-8 for international names): anything else
    // cannot be a host a request goes to, and some would break the file line ('#' in front
    // makes it a comment).
    for (unsigned char ch : c.domain) {
        bool ok = (ch >= 'a' && ch <= 'z') || (ch >= '0' && ch <= '9') || ch == '.' || ch == '-' ||
                  ch == '_' || ch == ':' || ch >= 0x80;
        if (!ok) return "bad domain";
    }
    if (c.domain[0] == '.' || c.domain.find("..") != std::string::npos) return "empty label";
    if (c.path.empty() || c.path[0] != '/' || c.path.size() > kCookieMaxAttribute) {
        return "bad path";
    }
    for (unsigned char ch : c.path) {
        if (ch < 0x20 || ch == 0x7F || ch == ';') return "bad byte in the path";
    }
    if (!c.hostOnly) {
        if (HttpCookieHostIsIp(c.domain)) {
            c.hostOnly = true;
        } else {
            // Names are compared byte for byte after ASCII lower-casing, and the suffix list
            // holds international names in lower case: a domain with other bytes could
            // escape the list, so it may only be host-only (as the raw host).
            for (unsigned char ch : c.domain) {
                if (ch >= 0x80) return "non-ASCII Domain";
            }
            if (IsPublicSuffix(c.domain)) return "Domain is a public suffix";
        }
    }
    // Name prefixes (RFC 6265bis), matched without case as browsers now do.
    if (StartsNoCase(c.name, "__Secure-") && !c.secure) return "__Secure- prefix without Secure";
    if (StartsNoCase(c.name, "__Host-") && (!c.secure || !c.hostOnly || c.path != "/")) {
        return "__Host- prefix rules";
    }
    c.group = GroupOf(c.domain, HttpCookieHostIsIp(c.domain));
    return nullptr;
}

// ---------------------------------------------------------------- the file line

std::string HttpCookieFileLine(const HttpCookie& c) {
    std::string line;
    line.reserve(c.domain.size() + c.path.size() + c.name.size() + c.value.size() + 48);
    if (c.httpOnly) line += "#HttpOnly_";
    if (!c.hostOnly) line += '.';
    line += c.domain;
    line += c.hostOnly ? "\tFALSE\t" : "\tTRUE\t";
    line += c.path;
    line += c.secure ? "\tTRUE\t" : "\tFALSE\t";
    line += std::to_string(c.persistent ? c.expiry : 0);
    line += '\t';
    line += c.name;
    line += '\t';
    line += c.value;
    return line;
}

bool HttpCookieParseFileLine(const char* p, size_t n, HttpCookie* pOut) {
    HttpCookie c;
    static const char kHttpOnly[] = "#HttpOnly_";
    const size_t kHttpOnlyLen = sizeof(kHttpOnly) - 1;
    if (n >= kHttpOnlyLen && memcmp(p, kHttpOnly, kHttpOnlyLen) == 0) {
        c.httpOnly = true;
        p += kHttpOnlyLen;
        n -= kHttpOnlyLen;
    } else if (n > 0 && p[0] == '#') {
        return false;
    }
    std::vector<std::string> fields;
    for (size_t b = 0;;) {
        size_t e = static_cast<size_t>(std::find(p + b, p + n, '\t') - p);
        fields.emplace_back(p + b, e - b);
        if (e == n || fields.size() > 7) break;
        b = e + 1;
    }
    // curl writes a cookie with an empty value as seven fields, the last empty, and reads
    // six as that too.
    if (fields.size() == 6) fields.emplace_back();
    if (fields.size() != 7) return false;
    std::string& domain = fields[0];
    if (!domain.empty() && domain[0] == '.') domain.erase(0, 1);
    for (char& ch : domain)
        ch = Lower(ch);
    if (domain.empty()) return false;
    c.domain = domain;
    if (EqualNoCase(fields[1], "TRUE")) {
        c.hostOnly = false;
    } else if (EqualNoCase(fields[1], "FALSE")) {
        c.hostOnly = true;
    } else {
        return false;
    }
    c.path = fields[2];
    // A trailing '/' is not part of the path here, as curl reads its files: curl writes the
    // default path of "/dir/page" as "/dir/" but means "/dir" (which RFC 6265 makes it),
    // and matches every path so. Read otherwise, curl's cookies would not reach "/dir".
    if (c.path.size() > 1 && c.path.back() == '/') c.path.pop_back();
    if (EqualNoCase(fields[3], "TRUE")) {
        c.secure = true;
    } else if (!EqualNoCase(fields[3], "FALSE")) {
        return false;
    }
    long long expiry = 0;
    if (!ParseInteger(fields[4], &expiry)) return false;
    // 0 is a session cookie; a negative time is long past (dropped by the caller).
    c.persistent = expiry != 0;
    c.expiry = std::min(expiry, kCookieMaxExpiry);
    c.name = fields[5];
    c.value = fields[6];
    *pOut = std::move(c);
    return true;
}

// ---------------------------------------------------------------- the set

void HttpCookieSet::DropExpired(long long now) {
    m_cookies.erase(std::remove_if(m_cookies.begin(), m_cookies.end(),
                                   [now](const HttpCookie& c) { return c.Expired(now); }),
                    m_cookies.end());
}

bool HttpCookieSet::ShadowsSecure(const HttpCookie& c) const {
    for (const HttpCookie& old : m_cookies) {
        if (!old.secure || old.name != c.name) continue;
        bool domains = HttpCookieDomainMatch(old.domain, false, c.domain) ||
                       HttpCookieDomainMatch(c.domain, false, old.domain);
        if (domains && HttpCookiePathMatch(c.path, old.path)) return true;
    }
    return false;
}

bool HttpCookieSet::Remove(const HttpCookie& c) {
    for (size_t i = 0; i < m_cookies.size(); ++i) {
        if (SameIdentity(m_cookies[i], c)) {
            m_cookies.erase(m_cookies.begin() + static_cast<std::ptrdiff_t>(i));
            return true;
        }
    }
    return false;
}

void HttpCookieSet::EvictOldest(const std::string* pGroup) {
    size_t victim = m_cookies.size();
    for (size_t i = 0; i < m_cookies.size(); ++i) {
        if (pGroup != nullptr && m_cookies[i].group != *pGroup) continue;
        if (victim == m_cookies.size() || m_cookies[i].used < m_cookies[victim].used) victim = i;
    }
    if (victim < m_cookies.size()) {
        m_cookies.erase(m_cookies.begin() + static_cast<std::ptrdiff_t>(victim));
    }
}

void HttpCookieSet::Put(HttpCookie c) {
    // Room first (doubling, so growth stays amortised): the only step that can fail comes
    // before anything is removed, and the moves below cannot throw.
    if (m_cookies.size() == m_cookies.capacity()) {
        m_cookies.reserve(std::max<size_t>(16, m_cookies.capacity() * 2));
    }
    c.created = ++m_nSerial;
    for (size_t i = 0; i < m_cookies.size(); ++i) {
        if (SameIdentity(m_cookies[i], c)) {
            // Section 5.3 step 11: the new cookie takes the old one's creation time, so a
            // value refreshed by every answer keeps its place on the Cookie line.
            c.created = m_cookies[i].created;
            m_cookies.erase(m_cookies.begin() + static_cast<std::ptrdiff_t>(i));
            break;
        }
    }
    c.used = ++m_nSerial;
    size_t inGroup = 0;
    for (const HttpCookie& old : m_cookies) {
        if (old.group == c.group) ++inGroup;
    }
    for (; inGroup >= kCookieMaxPerDomain; --inGroup)
        EvictOldest(&c.group);
    while (m_cookies.size() >= kCookieMaxTotal)
        EvictOldest(nullptr);
    m_cookies.push_back(std::move(c));
}

std::string HttpCookieSet::CookieLine(const HttpCookieRequest& req) {
    std::vector<HttpCookie*> sent;
    for (HttpCookie& c : m_cookies) {
        bool domain = c.hostOnly ? req.host == c.domain
                                 : HttpCookieDomainMatch(req.host, req.hostIsIp, c.domain);
        if (domain && HttpCookiePathMatch(req.path, c.path) && (!c.secure || req.secure)) {
            sent.push_back(&c);
        }
    }
    std::sort(sent.begin(), sent.end(), [](const HttpCookie* a, const HttpCookie* b) {
        if (a->path.size() != b->path.size()) return a->path.size() > b->path.size();
        return a->created < b->created;
    });
    std::string line;
    for (HttpCookie* c : sent) {
        if (!line.empty()) line += "; ";
        line += c->name;
        line += '=';
        line += c->value;
        c->used = ++m_nSerial;
    }
    return line;
}

std::vector<HttpCookie> HttpCookieSet::Sorted() const {
    std::vector<HttpCookie> all(m_cookies);
    std::sort(all.begin(), all.end(),
              [](const HttpCookie& a, const HttpCookie& b) { return a.created < b.created; });
    return all;
}

}  // namespace detail
}  // namespace vn
