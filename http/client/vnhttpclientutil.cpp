// The HTTP client's stateless text steps (see vnhttpclientutil_internal.h).
#include "http/client/vnhttpclientutil_internal.h"

#include <stdio.h>
#include <string.h>
#include <strings.h>

#include <algorithm>
#include <string>
#include <vector>

#include "base/vnconvert.h"
#include "net/vnhttptext_internal.h"
#include "net/vnnet.h"

namespace vn {
namespace detail {

namespace {

// Index of the first byte after "scheme://host:port", or npos when there is no "//".
size_t AuthorityEnd(const std::string& url) {
    size_t s = url.find("//");
    if (s == std::string::npos) return s;
    size_t e = url.find_first_of("/?", s + 2);
    return e == std::string::npos ? url.size() : e;
}

bool StartsWithNoCase(const char* s, const char* prefix) {
    for (; *prefix != '\0'; ++s, ++prefix) {
        char a = *s, b = *prefix;
        if (a >= 'A' && a <= 'Z') a = static_cast<char>(a - 'A' + 'a');
        if (a != b) return false;
    }
    return true;
}

// "%15[^?&/:]://%c": a scheme of 1..15 bytes other than ? & / :, then "://" and a byte.
bool LooksAbsolute(const std::string& v) {
    size_t n = 0;
    while (n < v.size() && n < 16 && strchr("?&/:", v[n]) == nullptr)
        ++n;
    if (n == 0 || n > 15) return false;
    return v.compare(n, 3, "://") == 0 && v.size() > n + 3;
}

}  // namespace

bool HttpCrackUrl(const vn::strutf8& strUrl, vn::strutf8& strHost, unsigned short& wPort,
                  vn::strutf8& strPath, bool* pbTls) {
    std::string url(strUrl.c_str(), strUrl.length());
    for (unsigned char c : url)
        if (c <= 0x20 || c == 0x7F) return false;
    size_t s = url.find("//");
    if (s == std::string::npos) return false;
    // http and https only: anything else would go out as one of them, to its port.
    bool tls = s == 6 && StartsWithNoCase(url.c_str(), "https:");
    if (!tls && (s != 5 || !StartsWithNoCase(url.c_str(), "http:"))) return false;
    // A fragment is the client's own: it is never sent (RFC 9110 section 4.2.4).
    size_t hash = url.find('#');
    if (hash != std::string::npos) url.resize(hash);
    size_t hostStart = s + 2;
    size_t e = url.find_first_of("/?", hostStart);
    std::string hostPart = url.substr(hostStart, e == std::string::npos ? e : e - hostStart);
    std::string path = e == std::string::npos ? "/" : url.substr(e);
    if (path[0] == '?') path.insert(0, "/");
    if (hostPart.empty()) return false;
    std::string portText = tls ? "443" : "80";
    size_t portColon = std::string::npos;
    if (hostPart[0] == '[') {
        // An IPv6 address in brackets (RFC 3986 section 3.2.2); the host is the address.
        size_t close = hostPart.find(']');
        if (close == std::string::npos) return false;
        if (close + 1 < hostPart.size()) {
            if (hostPart[close + 1] != ':') return false;
            portColon = close + 1;
        }
        std::string addr = hostPart.substr(1, close - 1);
        if (vnnet_addrfamily(addr.c_str()) != 6) return false;
        if (portColon != std::string::npos) portText = hostPart.substr(portColon + 1);
        hostPart = addr;
    } else {
        portColon = hostPart.find(':');
        if (portColon != std::string::npos) {
            portText = hostPart.substr(portColon + 1);
            hostPart.resize(portColon);
        }
    }
    if (hostPart.empty() || portText.empty()) return false;
    for (char c : portText)
        if (c < '0' || c > '9') return false;
    unsigned int port = 0;
    if (!vn_str2uint32(portText.c_str(), &port) || port == 0 || port > 65535) return false;
    strHost.assign(hostPart.c_str(), static_cast<unsigned>(hostPart.size()));
    wPort = static_cast<unsigned short>(port);
    if (pbTls != nullptr) *pbTls = tls;
    strPath.assign(path.c_str(), static_cast<unsigned>(path.size()));
    return true;
}

bool HttpParseResolve(const char* pszEntry, std::string* pKey, std::vector<std::string>* pAddrs) {
    if (pszEntry == nullptr) return false;
    std::string entry(pszEntry), host;
    size_t at = 0;
    if (!entry.empty() && entry[0] == '[') {
        size_t close = entry.find(']');
        if (close == std::string::npos || close + 1 >= entry.size() || entry[close + 1] != ':') {
            return false;
        }
        host = entry.substr(1, close - 1);
        at = close + 2;
    } else {
        size_t colon = entry.find(':');
        if (colon == std::string::npos) return false;
        host = entry.substr(0, colon);
        at = colon + 1;
    }
    size_t colon = entry.find(':', at);
    if (host.empty() || colon == std::string::npos) return false;
    unsigned int port = 0;
    std::string portText = entry.substr(at, colon - at);
    if (portText.empty() || portText.size() > 5 ||
        portText.find_first_not_of("0123456789") != std::string::npos ||
        !vn_str2uint32(portText.c_str(), &port) || port == 0 || port > 65535) {
        return false;
    }
    std::vector<std::string> addrs;
    std::string rest = entry.substr(colon + 1) + ",";
    for (size_t from = 0, comma; (comma = rest.find(',', from)) != std::string::npos;
         from = comma + 1) {
        std::string a = rest.substr(from, comma - from);
        if (a.size() > 2 && a.front() == '[' && a.back() == ']') a = a.substr(1, a.size() - 2);
        if (vnnet_addrfamily(a.c_str()) == 0) return false;
        addrs.push_back(a);
    }
    std::transform(host.begin(), host.end(), host.begin(),
                   [](unsigned char c) { return static_cast<char>(tolower(c)); });
    *pKey = host + ":" + std::to_string(port);
    *pAddrs = std::move(addrs);
    return true;
}

bool HttpResolveRedirect(const vn::strutf8& strUrl, const vn::strutf8& strLocation,
                         vn::strutf8& strOut) {
    std::string cur(strUrl.c_str(), strUrl.length());
    std::string loc(strLocation.c_str(), strLocation.length());
    std::string out;
    if (loc.empty()) return false;
    // The fragment of the current URL means nothing to the next one (RFC 9110 10.2.2 keeps
    // it for the user agent's display only; this client never sends one).
    size_t hash = cur.find('#');
    if (hash != std::string::npos) cur.resize(hash);
    if (LooksAbsolute(loc)) {
        out = loc;
    } else if (loc.compare(0, 2, "//") == 0) {
        // Scheme-relative (RFC 3986 section 4.2): another authority, the same scheme.
        size_t colon = cur.find("://");
        if (colon == std::string::npos) return false;
        out = cur.substr(0, colon + 1) + loc;
    } else {
        size_t auth = AuthorityEnd(cur);
        if (auth == std::string::npos) return false;
        if (loc[0] == '/') {
            out = cur.substr(0, auth) + loc;
        } else {
            size_t q = cur.find('?', auth);
            std::string base = q == std::string::npos ? cur : cur.substr(0, q);
            std::string v = loc;
            if (v[0] != '?') {
                // Drop the last path segment, then one more for each leading "../".
                size_t slash = base.rfind('/');
                if (slash != std::string::npos && slash >= auth) base.resize(slash);
                if (v.compare(0, 2, "./") == 0) v.erase(0, 2);
                while (v.compare(0, 3, "../") == 0) {
                    v.erase(0, 3);
                    size_t up = base.rfind('/');
                    if (up != std::string::npos && up >= auth) base.resize(up);
                }
                out = base + "/" + v;
            } else {
                out = base + v;
            }
        }
    }
    vn::strutf8 result(out.c_str(), static_cast<unsigned>(out.size()));
    if (result.length() != out.size()) return false;  // no memory
    vn::strutf8 host, path;
    unsigned short port = 0;
    if (!HttpCrackUrl(result, host, port, path)) return false;
    strOut = result;
    return true;
}

vn::strutf8 HttpIfModifiedSinceLine(const SYSTEMTIME& st) {
    static const char* const kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                          "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    vn::strutf8 line;
    if (st.wMonth == 0 || st.wMonth > 12 || st.wDayOfWeek >= 7) return line;
    char day[8], year[8], time[32];
    snprintf(day, sizeof(day), "%02d", st.wDay);
    snprintf(year, sizeof(year), "%d", st.wYear);
    snprintf(time, sizeof(time), "%02d:%02d:%02d", st.wHour, st.wMinute, st.wSecond);
    line.format("If-Modified-Since: %s, %s %s %s %s GMT\r\n", kDays[st.wDayOfWeek], day,
                kMonths[st.wMonth - 1], year, time);
    return line;
}

bool HttpHasCrLf(const vn::strutf8& s) {
    for (unsigned i = 0; i < s.length(); ++i) {
        if (s[i] == '\r' || s[i] == '\n') return true;
    }
    return false;
}

namespace {
// The next line of lines from *pAt (CRLF or LF ended); false at the end.
bool NextLine(const vn::strutf8& lines, size_t* pAt, size_t* pFrom, size_t* pTo) {
    size_t n = lines.length();
    if (*pAt >= n) return false;
    const char* p = lines.c_str();
    const char* eol = static_cast<const char*>(memchr(p + *pAt, '\n', n - *pAt));
    *pFrom = *pAt;
    *pTo = eol == nullptr ? n : static_cast<size_t>(eol - p) + 1;
    *pAt = *pTo;
    return true;
}

bool LineNames(const char* line, size_t len, const char* pszName) {
    size_t n = strlen(pszName);
    return len > n && strncasecmp(line, pszName, n) == 0 && line[n] == ':';
}
}  // namespace

bool HttpHasHeaderLine(const vn::strutf8& lines, const char* pszName) {
    size_t at = 0, from = 0, to = 0;
    while (NextLine(lines, &at, &from, &to)) {
        if (LineNames(lines.c_str() + from, to - from, pszName)) return true;
    }
    return false;
}

vn::strutf8 HttpDropHeaderLines(const vn::strutf8& lines, const char* const* ppszNames) {
    vn::strutf8 out;
    size_t at = 0, from = 0, to = 0;
    while (NextLine(lines, &at, &from, &to)) {
        bool drop = false;
        for (const char* const* name = ppszNames; *name != nullptr && !drop; ++name)
            drop = LineNames(lines.c_str() + from, to - from, *name);
        if (!drop)
            out += lines.substr(static_cast<unsigned>(from), static_cast<unsigned>(to - from));
    }
    return out;
}

}  // namespace detail
}  // namespace vn
