// The cookie store (IHttpCookieJar, see vnhttpcookiejar.h): CHttpCookieJar wraps one
// HttpCookieSet (vnhttpcookie_internal.h) in a mutex and reads and writes the Netscape
// cookie file. Every call is safe from any thread; the store is owned by its references.
//
// The file is read completely, into a set of its own, before anything is added, so a read
// error adds nothing; it is written beside its final name and renamed over it, so a reader
// sees the old file or the new one, never a part. No file I/O runs under the lock.
#include "http/client/vnhttpcookiejar.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <new>
#include <string>
#include <vector>

#include "base/vnlog.h"
#include "http/client/vnhttpcookie_internal.h"
#include "io/vnio.h"

namespace {
const char kTag[] = "Cookie";

// A line longer than this cannot come from a cookie the store keeps (name and value 4096,
// path 1024, host 255, seven fields): it is skipped without being held in memory.
const size_t kMaxFileLine = 8192;

const char kFileHeader[] =
    "# Netscape HTTP Cookie File\n"
    "# Written by the client's cookie store; curl reads it (--cookie) as it is.\n"
    "\n";

// Writes all of data to fd, retrying interrupted and partial writes.
bool WriteAll(int fd, const std::string& data) {
    size_t off = 0;
    while (off < data.size()) {
        ssize_t n = write(fd, data.data() + off, data.size() - off);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        off += static_cast<size_t>(n);
    }
    return true;
}

// Reads a cookie file line by line into set, applying the same checks as the store; lines
// that are neither comments, blank, expired nor kept are counted in *pSkipped. False on a
// read error.
bool ReadCookieFile(FILE* f, long long now, vn::detail::HttpCookieSet* pSet, unsigned* pSkipped) {
    std::string line;
    bool skipping = false;  // inside an over-long line, dropped up to its end
    auto take = [&]() {
        size_t n = line.size();
        if (n > 0 && line[n - 1] == '\r') --n;
        bool blank = line.find_first_not_of(" \t\r") == std::string::npos;
        bool comment = n > 0 && line[0] == '#' && line.compare(0, 10, "#HttpOnly_") != 0;
        if (skipping) {
            ++*pSkipped;
        } else if (!blank && !comment) {
            vn::detail::HttpCookie c;
            bool parsed = vn::detail::HttpCookieParseFileLine(line.data(), n, &c);
            if (!parsed || (!c.Expired(now) && vn::detail::HttpCookieCheck(&c) != nullptr)) {
                ++*pSkipped;
            } else if (!c.Expired(now)) {
                pSet->Put(std::move(c));
            }
        }
        line.clear();
        skipping = false;
    };
    std::vector<char> buf(65536);
    for (;;) {
        size_t got = fread(buf.data(), 1, buf.size(), f);
        for (size_t i = 0; i < got; ++i) {
            if (buf[i] == '\n') {
                take();
            } else if (!skipping) {
                line += buf[i];
                if (line.size() > kMaxFileLine) {
                    skipping = true;
                    line.clear();
                }
            }
        }
        if (got < buf.size()) break;
    }
    if (ferror(f)) return false;
    if (!line.empty() || skipping) take();  // a last line without line end
    return true;
}

}  // namespace

IHttpCookieJar::~IHttpCookieJar() = default;

IHttpCookieJar* vn_create_cookiejar() {
    // Owned by its references: the caller holds the first and releases it.
    return new (std::nothrow) vn::detail::CHttpCookieJar();
}

namespace vn {
namespace detail {

long long CHttpCookieJar::Now() const {
    return m_clock ? m_clock() : static_cast<long long>(time(nullptr));
}

void CHttpCookieJar::SetClock(Clock clock) {
    std::lock_guard<std::mutex> guard(m_lock);
    m_clock = std::move(clock);
}

std::vector<HttpCookie> CHttpCookieJar::Cookies() {
    std::lock_guard<std::mutex> guard(m_lock);
    m_set.DropExpired(Now());
    return m_set.Sorted();
}

// Each call catches what the standard containers may throw (no memory): no exception may
// leave the library, and the set stays as it was (HttpCookieSet::Put makes room first).
unsigned char CHttpCookieJar::SetCookie(const char* pszUrl, const char* pszSetCookie) {
    try {
        HttpCookieRequest req;
        if (pszSetCookie == nullptr || !HttpCookieParseUrl(pszUrl, &req)) {
            syslog(VN_LOG_DEBUG, kTag, __LINE__, "SetCookie refused: no http or https URL");
            return 0;
        }
        HttpSetCookie sc;
        const char* why = HttpParseSetCookie(pszSetCookie, strlen(pszSetCookie), &sc);
        std::lock_guard<std::mutex> guard(m_lock);
        long long now = Now();
        HttpCookie c;
        if (why == nullptr) why = HttpCookieFromSetCookie(sc, req, now, &c);
        m_set.DropExpired(now);
        // Leave secure cookies alone (RFC 6265bis): a plain-http answer can neither replace
        // nor delete, nor shadow by a longer path, a cookie only https may set.
        if (why == nullptr && !req.secure && m_set.ShadowsSecure(c)) {
            why = "would overwrite a Secure cookie";
        }
        if (why != nullptr) {
            // Never the value: it is often a credential.
            syslog(VN_LOG_DEBUG, kTag, __LINE__, "SetCookie refused for [%s]: %s", req.host.c_str(),
                   why);
            return 0;
        }
        // An expired cookie deletes its namesake; with none there it is simply not kept.
        if (c.Expired(now)) {
            m_set.Remove(c);
            return 1;
        }
        m_set.Put(std::move(c));
        return 1;
    } catch (...) {
        return 0;
    }
}

unsigned char CHttpCookieJar::GetCookie(const char* pszUrl, vn::strutf8& strCookie) {
    try {
        strCookie = "";
        HttpCookieRequest req;
        if (!HttpCookieParseUrl(pszUrl, &req)) return 0;
        std::string line;
        {
            std::lock_guard<std::mutex> guard(m_lock);
            m_set.DropExpired(Now());
            line = m_set.CookieLine(req);
        }
        strCookie.assign(line.c_str(), static_cast<unsigned>(line.size()));
        return 1;
    } catch (...) {
        return 0;
    }
}

unsigned char CHttpCookieJar::Load(const char* pszFile) {
    try {
        FILE* f = vnio_fopen(pszFile, "rb");  // closed below, on every path
        if (f == nullptr) return 0;
        long long now;
        {
            std::lock_guard<std::mutex> guard(m_lock);
            now = Now();
        }
        HttpCookieSet staged;
        unsigned skipped = 0;
        bool ok = ReadCookieFile(f, now, &staged, &skipped);
        int err = errno;
        fclose(f);
        if (!ok) {
            syslog(VN_LOG_DEBUG, kTag, __LINE__, "Load [%s]: read error %d, nothing added", pszFile,
                   err);
            return 0;
        }
        // One line per file, not per refusal: a damaged file could hold millions.
        if (skipped != 0) {
            syslog(VN_LOG_DEBUG, kTag, __LINE__,
                   "Load [%s]: %u lines skipped (malformed or refused)", pszFile, skipped);
        }
        std::vector<HttpCookie> cookies = staged.Sorted();
        std::lock_guard<std::mutex> guard(m_lock);
        // One that expired meanwhile goes with the next access, as every call drops them.
        for (HttpCookie& c : cookies)
            m_set.Put(std::move(c));
        return 1;
    } catch (...) {
        return 0;
    }
}

unsigned char CHttpCookieJar::Save(const char* pszFile) {
    int fd = -1;
    std::string tmp;
    try {
        if (pszFile == nullptr || *pszFile == '\0') return 0;
        std::string text(kFileHeader);
        {
            std::lock_guard<std::mutex> guard(m_lock);
            m_set.DropExpired(Now());
            // Creation order, so that a store loading the file sends them in the same order.
            for (const HttpCookie& c : m_set.Sorted()) {
                text += HttpCookieFileLine(c);
                text += '\n';
            }
        }
        // A unique name beside the target (same file system, so the rename is atomic),
        // created 0600: the file holds credentials.
        tmp = std::string(pszFile) + ".XXXXXX";
        fd = mkostemp(&tmp[0], O_CLOEXEC);
        if (fd < 0) {
            syslog(VN_LOG_DEBUG, kTag, __LINE__, "Save: cannot create a file beside [%s]: %d",
                   pszFile, errno);
            return 0;
        }
        bool ok = fchmod(fd, 0600) == 0 && WriteAll(fd, text) && fsync(fd) == 0;
        int rc = close(fd);
        fd = -1;
        if (ok && rc == 0 && vnio_rename(tmp.c_str(), pszFile) == 0) return 1;
        syslog(VN_LOG_DEBUG, kTag, __LINE__, "Save: writing [%s] failed: %d", pszFile, errno);
        unlink(tmp.c_str());
        return 0;
    } catch (...) {
        if (fd >= 0) {
            close(fd);
            unlink(tmp.c_str());
        }
        return 0;
    }
}

void CHttpCookieJar::Clear() {
    std::lock_guard<std::mutex> guard(m_lock);
    m_set.clear();
}

unsigned int CHttpCookieJar::GetCount() {
    std::lock_guard<std::mutex> guard(m_lock);
    m_set.DropExpired(Now());
    return static_cast<unsigned int>(m_set.size());
}

}  // namespace detail
}  // namespace vn
