// Redirect resolution over arbitrary current URLs and Location values (split at the first
// line feed): a resolved target is always a crackable http URL, and cracking never reads
// outside the text.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "http/client/vnhttpclientutil_internal.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 8192) return 0;
    const char* p = reinterpret_cast<const char*>(data);
    const char* nl = static_cast<const char*>(memchr(p, '\n', size));
    size_t curLen = nl != nullptr ? static_cast<size_t>(nl - p) : size;
    vn::strutf8 cur, loc, out, host, path;
    if (curLen > 0) cur.assign(p, static_cast<unsigned>(curLen));
    if (nl != nullptr && size > curLen + 1)
        loc.assign(nl + 1, static_cast<unsigned>(size - curLen - 1));
    unsigned short port = 0;
    vn::detail::HttpCrackUrl(cur, host, port, path);
    if (vn::detail::HttpResolveRedirect(cur, loc, out)) {
        if (!vn::detail::HttpCrackUrl(out, host, port, path)) abort();
        if (host.empty() || port == 0 || path.empty() || path[0] != '/') abort();
    }
    return 0;
}
