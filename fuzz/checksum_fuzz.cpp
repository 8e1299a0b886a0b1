// CRC32 and MD5 over arbitrary data: feeding the input in pieces (sizes taken from the
// input itself) must give the same result as one call over the whole.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "crypto/vncrc32.h"
#include "crypto/vnmd5.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    // The first byte seeds the piece sizes; the rest is the message.
    unsigned seed = data[0];
    const uint8_t* msg = data + 1;
    const size_t len = size - 1;

    unsigned char whole[16], parts[16];
    Md5HashBuffer(whole, msg, len);
    const unsigned crc_whole = CRC32(0, msg, len);

    VN_MD5_CTX ctx;
    MD5_Init(&ctx);
    unsigned crc = 0;
    size_t at = 0;
    while (at < len) {
        seed = seed * 1103515245u + 12345u;
        size_t n = (seed >> 16) % 130;  // zero-length pieces included
        if (n > len - at) n = len - at;
        MD5_Update(&ctx, msg + at, n);
        crc = CRC32(crc, msg + at, n);
        at += n;
    }
    MD5_Final(parts, &ctx);
    if (memcmp(whole, parts, 16) != 0) abort();
    if (crc != crc_whole) abort();
    return 0;
}
