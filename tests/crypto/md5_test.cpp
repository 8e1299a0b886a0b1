// MD5: the RFC 1321 test suite, whole and in pieces, the padding boundaries and the
// context life cycle, cross-checked against OpenSSL's EVP digest.
#include <gtest/gtest.h>

#include <openssl/evp.h>
#include <stdio.h>
#include <string.h>

#include <random>
#include <string>
#include <vector>

#include "crypto/vnmd5.h"

namespace {

std::string to_hex(const unsigned char* d) {
    char s[33];
    for (int i = 0; i < 16; ++i)
        snprintf(s + 2 * i, 3, "%02x", d[i]);
    return std::string(s, 32);
}

std::string md5_oneshot(const void* data, size_t len) {
    unsigned char d[16];
    Md5HashBuffer(d, data, len);
    return to_hex(d);
}

std::string md5_pieces(const unsigned char* data, size_t len, const std::vector<size_t>& sizes) {
    VN_MD5_CTX ctx;
    MD5_Init(&ctx);
    size_t at = 0, k = 0;
    while (at < len) {
        size_t n = std::min(sizes[k++ % sizes.size()], len - at);
        MD5_Update(&ctx, data + at, n);
        at += n;
    }
    unsigned char d[16];
    MD5_Final(d, &ctx);
    return to_hex(d);
}

std::string openssl_md5(const void* data, size_t len) {
    unsigned char d[EVP_MAX_MD_SIZE];
    unsigned int n = 0;
    EXPECT_EQ(EVP_Digest(data, len, d, &n, EVP_md5(), nullptr), 1);
    EXPECT_EQ(n, 16u);
    return to_hex(d);
}

struct Vector {
    const char* text;
    const char* digest;
};

// RFC 1321, appendix A.5.
const Vector kRfc1321[] = {
    {"", "d41d8cd98f00b204e9800998ecf8427e"},
    {"a", "0cc175b9c0f1b6a831c399e269772661"},
    {"abc", "900150983cd24fb0d6963f7d28e17f72"},
    {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
    {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
    {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
     "d174ab98d277d9f5a5611c2c9f419d9f"},
    {"1234567890123456789012345678901234567890123456789012345678901234567890123456789"
     "0",
     "57edf4a22be3c955ac49da2e2107b67a"},
};

std::vector<unsigned char> random_bytes(size_t n, unsigned seed) {
    std::mt19937 rng(seed);
    std::vector<unsigned char> v(n);
    for (auto& b : v)
        b = static_cast<unsigned char>(rng());
    return v;
}

}  // namespace

TEST(Md5, Rfc1321SuiteWholeAndInPieces) {
    const std::vector<std::vector<size_t>> splits = {{1000}, {1}, {7}, {63}, {5, 64, 2}, {55, 9}};
    for (const Vector& v : kRfc1321) {
        const auto* p = reinterpret_cast<const unsigned char*>(v.text);
        for (const auto& sizes : splits) {
            EXPECT_EQ(md5_pieces(p, strlen(v.text), sizes), v.digest)
                << '"' << v.text << "\" in pieces of " << sizes[0];
        }
    }
}

TEST(Md5, PaddingBoundariesAndAlignmentsMatchOpenSsl) {
    // 55 bytes leave room for the length in the same block, 56 do not; 64 fill a block.
    auto data = random_bytes(310, 1);
    for (size_t off = 0; off < 8; ++off) {
        for (size_t n = 0; n <= 300; ++n) {
            ASSERT_EQ(md5_oneshot(data.data() + off, n), openssl_md5(data.data() + off, n))
                << off << "/" << n;
        }
    }
}

TEST(Md5, InitClearsTheWholeContextAndFinalWipesIt) {
    VN_MD5_CTX ctx;
    memset(&ctx, 0xA5, sizeof(ctx));
    MD5_Init(&ctx);
    MD5_Update(&ctx, "hello", 5);
    unsigned char d[16];
    MD5_Final(d, &ctx);
    const unsigned char* raw = reinterpret_cast<const unsigned char*>(&ctx);
    for (size_t i = 0; i < sizeof(ctx); ++i)
        ASSERT_EQ(raw[i], 0) << i;

    EXPECT_EQ(to_hex(d), "5d41402abc4b2a76b9719d911017c592");
    EXPECT_EQ(md5_oneshot(nullptr, 0), "d41d8cd98f00b204e9800998ecf8427e");
}
