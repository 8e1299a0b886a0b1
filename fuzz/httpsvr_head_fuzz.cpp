// Fuzz target: the server channel's head phase. Arbitrary bytes arrive in arbitrary
// pieces into a buffer that, like the channel's, never holds more than 2048 bytes before a
// head is complete; every complete head is taken off the front and the rest starts the
// next round (the bytes behind a head are the start of its body, or the next request).
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "http/server/vnhttpserverchannel_internal.h"

// Input: one byte of piece sizes per piece, interleaved with the bytes: each piece is
// [n][n bytes] (n taken modulo 64, 0 meaning 1).
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > (1u << 16)) return 0;
    const unsigned kMax = CHttpServerChannel::kMaxHeadLen;
    char buf[CHttpServerChannel::kMaxHeadLen + 1];
    unsigned len = 0;
    size_t at = 0;
    while (at < size) {
        size_t n = data[at++] % 64;
        if (n == 0) n = 1;
        if (n > size - at) n = size - at;
        // The channel reads at most up to the head limit.
        if (n > kMax - len) n = kMax - len;
        memcpy(buf + len, data + at, n);
        at += n;
        len += static_cast<unsigned>(n);
        buf[len] = '\0';
        unsigned used = 0;
        unsigned long long contentLen = 0, range = 0;
        vn::strutf8 head, boundary;
        int r = CHttpServerChannel::ParseHead(buf, len, used, head, contentLen, boundary, range);
        if (r < 0) {
            if (len < kMax) abort();  // refused before the limit
            len = 0;                  // the channel closes: a new connection starts empty
            continue;
        }
        if (r == 0) {
            if (len >= kMax) abort();  // the limit must end the head phase
            continue;
        }
        if (used == 0 || used > len || head.length() > used) abort();
        if (memcmp(buf + used - head.length(), head.c_str(), head.length()) != 0) abort();
        len -= used;
        memmove(buf, buf + used, len);
    }
    return 0;
}
