// Fuzz target: the end of a multipart upload as the server channel detects it. A body of
// arbitrary data followed by the closing delimiter arrives in arbitrary pieces; the held
// back tail, the cut and the written bytes follow the channel's receive loop. The written
// bytes must always be a prefix of the body, and exactly the data when the data cannot be
// mistaken for a delimiter.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "http/server/vnhttpserverchannel_internal.h"

// Input: [boundary length 1..70][piece-size seed][boundary bytes][data].
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2 || size > (1u << 17)) return 0;
    size_t blen = data[0] % 70 + 1;
    unsigned seed = data[1];
    data += 2;
    size -= 2;
    if (blen > size) return 0;
    std::string boundary(reinterpret_cast<const char*>(data), blen);
    for (char& c : boundary) {
        if (c == '\0') c = 'b';  // the boundary comes from a head: text without zeros
    }
    std::string payload(reinterpret_cast<const char*>(data) + blen, size - blen);
    std::string body = payload + "\r\n--" + boundary + "--\r\n";
    const unsigned long long contentLen = body.size();
    // No delimiter start before the closing one, not even across the join.
    const bool plain = body.find("\r\n--" + boundary) == payload.size();

    vn::strutf8 b(boundary.c_str());
    std::string buffered, written;
    bool done = false;
    size_t at = 0;
    while (at < body.size() && !done) {
        seed = seed * 1103515245u + 12345u;
        size_t n = (seed >> 16) % 3000 + 1;
        if (n > body.size() - at) n = body.size() - at;
        buffered.append(body, at, n);
        at += n;
        bool found = false;
        unsigned cut = 0, keep = 0;
        CHttpServerChannel::FindMultipartEnd(buffered.data(),
                                             static_cast<unsigned>(buffered.size()), b, contentLen,
                                             written.size(), true, found, cut, keep);
        if (found) {
            if (cut > buffered.size()) abort();
            written.append(buffered, 0, buffered.size() - cut);
            done = true;
        } else if (buffered.size() > keep) {
            written.append(buffered, 0, buffered.size() - keep);
            buffered.erase(0, buffered.size() - keep);
        }
        if (written.size() > body.size() || body.compare(0, written.size(), written) != 0) abort();
    }
    if (plain && (!done || written != payload)) abort();
    return 0;
}
