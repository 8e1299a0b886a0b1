// MD5 (RFC 1321). The block function keeps the four chaining words in registers across
// all whole blocks of one call and arranges each step so that only the dependency on the
// previous step's result sits on the critical path.
#include "crypto/vnmd5.h"

#include <stdint.h>
#include <string.h>

namespace {

inline uint32_t rotl(uint32_t v, int s) {
    return (v << s) | (v >> (32 - s));
}

inline uint32_t load_le32(const unsigned char* p) {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    uint32_t v;
    memcpy(&v, p, 4);
    return v;
#else
    return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
#endif
}

inline void store_le32(unsigned char* p, uint32_t v) {
    p[0] = static_cast<unsigned char>(v);
    p[1] = static_cast<unsigned char>(v >> 8);
    p[2] = static_cast<unsigned char>(v >> 16);
    p[3] = static_cast<unsigned char>(v >> 24);
}

// The four round functions, written so that the term not involving b (the result of
// the step before) can be computed early:
//   F = (b & c) | (~b & d)  ==  d ^ (b & (c ^ d))
//   G = (b & d) | (c & ~d)  ==  (b & d) + (c & ~d)  (the two terms share no bit)
//   H = b ^ c ^ d
//   I = c ^ (b | ~d)
// The first argument is the register being updated, so it cannot be parenthesised.
// NOLINTBEGIN(bugprone-macro-parentheses)
#define VN_MD5_F(a, b, c, d, x, s, t)                 \
    do {                                              \
        a += (x) + (t) + ((d) ^ ((b) & ((c) ^ (d)))); \
        a = rotl(a, s) + (b);                         \
    } while (0)
#define VN_MD5_G(a, b, c, d, x, s, t)  \
    do {                               \
        a += (x) + (t) + ((c) & ~(d)); \
        a += (b) & (d);                \
        a = rotl(a, s) + (b);          \
    } while (0)
#define VN_MD5_H(a, b, c, d, x, s, t)       \
    do {                                    \
        a += (x) + (t) + ((b) ^ (c) ^ (d)); \
        a = rotl(a, s) + (b);               \
    } while (0)
#define VN_MD5_I(a, b, c, d, x, s, t)          \
    do {                                       \
        a += (x) + (t) + ((c) ^ ((b) | ~(d))); \
        a = rotl(a, s) + (b);                  \
    } while (0)

// NOLINTEND(bugprone-macro-parentheses)

// Processes nblocks whole 64-byte blocks at p.
void md5_blocks(uint32_t state[4], const unsigned char* p, size_t nblocks) {
    uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
    for (; nblocks > 0; --nblocks, p += 64) {
        uint32_t x[16];
        for (int i = 0; i < 16; ++i)
            x[i] = load_le32(p + 4 * i);
        const uint32_t aa = a, bb = b, cc = c, dd = d;

        VN_MD5_F(a, b, c, d, x[0], 7, 0xd76aa478);
        VN_MD5_F(d, a, b, c, x[1], 12, 0xe8c7b756);
        VN_MD5_F(c, d, a, b, x[2], 17, 0x242070db);
        VN_MD5_F(b, c, d, a, x[3], 22, 0xc1bdceee);
        VN_MD5_F(a, b, c, d, x[4], 7, 0xf57c0faf);
        VN_MD5_F(d, a, b, c, x[5], 12, 0x4787c62a);
        VN_MD5_F(c, d, a, b, x[6], 17, 0xa8304613);
        VN_MD5_F(b, c, d, a, x[7], 22, 0xfd469501);
        VN_MD5_F(a, b, c, d, x[8], 7, 0x698098d8);
        VN_MD5_F(d, a, b, c, x[9], 12, 0x8b44f7af);
        VN_MD5_F(c, d, a, b, x[10], 17, 0xffff5bb1);
        VN_MD5_F(b, c, d, a, x[11], 22, 0x895cd7be);
        VN_MD5_F(a, b, c, d, x[12], 7, 0x6b901122);
        VN_MD5_F(d, a, b, c, x[13], 12, 0xfd987193);
        VN_MD5_F(c, d, a, b, x[14], 17, 0xa679438e);
        VN_MD5_F(b, c, d, a, x[15], 22, 0x49b40821);

        VN_MD5_G(a, b, c, d, x[1], 5, 0xf61e2562);
        VN_MD5_G(d, a, b, c, x[6], 9, 0xc040b340);
        VN_MD5_G(c, d, a, b, x[11], 14, 0x265e5a51);
        VN_MD5_G(b, c, d, a, x[0], 20, 0xe9b6c7aa);
        VN_MD5_G(a, b, c, d, x[5], 5, 0xd62f105d);
        VN_MD5_G(d, a, b, c, x[10], 9, 0x02441453);
        VN_MD5_G(c, d, a, b, x[15], 14, 0xd8a1e681);
        VN_MD5_G(b, c, d, a, x[4], 20, 0xe7d3fbc8);
        VN_MD5_G(a, b, c, d, x[9], 5, 0x21e1cde6);
        VN_MD5_G(d, a, b, c, x[14], 9, 0xc33707d6);
        VN_MD5_G(c, d, a, b, x[3], 14, 0xf4d50d87);
        VN_MD5_G(b, c, d, a, x[8], 20, 0x455a14ed);
        VN_MD5_G(a, b, c, d, x[13], 5, 0xa9e3e905);
        VN_MD5_G(d, a, b, c, x[2], 9, 0xfcefa3f8);
        VN_MD5_G(c, d, a, b, x[7], 14, 0x676f02d9);
        VN_MD5_G(b, c, d, a, x[12], 20, 0x8d2a4c8a);

        VN_MD5_H(a, b, c, d, x[5], 4, 0xfffa3942);
        VN_MD5_H(d, a, b, c, x[8], 11, 0x8771f681);
        VN_MD5_H(c, d, a, b, x[11], 16, 0x6d9d6122);
        VN_MD5_H(b, c, d, a, x[14], 23, 0xfde5380c);
        VN_MD5_H(a, b, c, d, x[1], 4, 0xa4beea44);
        VN_MD5_H(d, a, b, c, x[4], 11, 0x4bdecfa9);
        VN_MD5_H(c, d, a, b, x[7], 16, 0xf6bb4b60);
        VN_MD5_H(b, c, d, a, x[10], 23, 0xbebfbc70);
        VN_MD5_H(a, b, c, d, x[13], 4, 0x289b7ec6);
        VN_MD5_H(d, a, b, c, x[0], 11, 0xeaa127fa);
        VN_MD5_H(c, d, a, b, x[3], 16, 0xd4ef3085);
        VN_MD5_H(b, c, d, a, x[6], 23, 0x04881d05);
        VN_MD5_H(a, b, c, d, x[9], 4, 0xd9d4d039);
        VN_MD5_H(d, a, b, c, x[12], 11, 0xe6db99e5);
        VN_MD5_H(c, d, a, b, x[15], 16, 0x1fa27cf8);
        VN_MD5_H(b, c, d, a, x[2], 23, 0xc4ac5665);

        VN_MD5_I(a, b, c, d, x[0], 6, 0xf4292244);
        VN_MD5_I(d, a, b, c, x[7], 10, 0x432aff97);
        VN_MD5_I(c, d, a, b, x[14], 15, 0xab9423a7);
        VN_MD5_I(b, c, d, a, x[5], 21, 0xfc93a039);
        VN_MD5_I(a, b, c, d, x[12], 6, 0x655b59c3);
        VN_MD5_I(d, a, b, c, x[3], 10, 0x8f0ccc92);
        VN_MD5_I(c, d, a, b, x[10], 15, 0xffeff47d);
        VN_MD5_I(b, c, d, a, x[1], 21, 0x85845dd1);
        VN_MD5_I(a, b, c, d, x[8], 6, 0x6fa87e4f);
        VN_MD5_I(d, a, b, c, x[15], 10, 0xfe2ce6e0);
        VN_MD5_I(c, d, a, b, x[6], 15, 0xa3014314);
        VN_MD5_I(b, c, d, a, x[13], 21, 0x4e0811a1);
        VN_MD5_I(a, b, c, d, x[4], 6, 0xf7537e82);
        VN_MD5_I(d, a, b, c, x[11], 10, 0xbd3af235);
        VN_MD5_I(c, d, a, b, x[2], 15, 0x2ad7d2bb);
        VN_MD5_I(b, c, d, a, x[9], 21, 0xeb86d391);

        a += aa;
        b += bb;
        c += cc;
        d += dd;
    }
    state[0] = a;
    state[1] = b;
    state[2] = c;
    state[3] = d;
}

#undef VN_MD5_F
#undef VN_MD5_G
#undef VN_MD5_H
#undef VN_MD5_I

}  // namespace

void MD5_Init(VN_MD5_CTX* ctx) {
    memset(ctx, 0, sizeof(*ctx));
    ctx->state[0] = 0x67452301;
    ctx->state[1] = 0xefcdab89;
    ctx->state[2] = 0x98badcfe;
    ctx->state[3] = 0x10325476;
}

void MD5_Update(VN_MD5_CTX* ctx, const void* data, size_t len) {
    if (len == 0) return;
    const unsigned char* p = static_cast<const unsigned char*>(data);
    size_t used = static_cast<size_t>((ctx->count >> 3) & 63);
    ctx->count += static_cast<unsigned long long>(len) << 3;

    if (used) {
        size_t take = 64 - used;
        if (len < take) {
            memcpy(ctx->buffer + used, p, len);
            return;
        }
        memcpy(ctx->buffer + used, p, take);
        md5_blocks(ctx->state, ctx->buffer, 1);
        p += take;
        len -= take;
    }
    // Whole blocks straight from the caller's memory, without copying.
    if (len >= 64) {
        md5_blocks(ctx->state, p, len / 64);
        p += len & ~size_t(63);
        len &= 63;
    }
    if (len) memcpy(ctx->buffer, p, len);
}

void MD5_Final(unsigned char* digest, VN_MD5_CTX* ctx) {
    // Padding: one 0x80 byte, zeros up to 56 mod 64, then the bit count little-endian.
    const unsigned long long bits = ctx->count;
    size_t used = static_cast<size_t>((bits >> 3) & 63);
    ctx->buffer[used++] = 0x80;
    if (used > 56) {
        memset(ctx->buffer + used, 0, 64 - used);
        md5_blocks(ctx->state, ctx->buffer, 1);
        used = 0;
    }
    memset(ctx->buffer + used, 0, 56 - used);
    store_le32(ctx->buffer + 56, static_cast<uint32_t>(bits));
    store_le32(ctx->buffer + 60, static_cast<uint32_t>(bits >> 32));
    md5_blocks(ctx->state, ctx->buffer, 1);
    for (int i = 0; i < 4; ++i)
        store_le32(digest + 4 * i, ctx->state[i]);
    // A finished context holds nothing of the message any more.
    memset(ctx, 0, sizeof(*ctx));
}

void Md5HashBuffer(unsigned char* digest, const void* data, size_t len) {
    VN_MD5_CTX ctx;
    MD5_Init(&ctx);
    MD5_Update(&ctx, data, len);
    MD5_Final(digest, &ctx);
}
