// MD5: the RFC 1321 test suite whole and in pieces (with the context's life cycle), and
// every padding boundary and alignment against OpenSSL's digest.
#include <gtest/gtest.h>

#include <openssl/evp.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "crypto/vnmd5.h"

namespace {

std::string ToHex(const unsigned char* d) {
    char s[33];
    for (int i = 0; i < 16; ++i)
        snprintf(s + 2 * i, 3, "%02x", d[i]);
    return std::string(s, 32);
}

}  // namespace

TEST(Md5, Rfc1321SuiteWholeAndInPiecesWipesTheContext) {
    const struct {
        const char* text;
        const char* digest;
    } cases[] = {
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
    const std::vector<std::vector<size_t>> splits = {{1000}, {1}, {7}, {63}, {5, 64, 2}, {55, 9}};
    for (const auto& c : cases) {
        const size_t len = strlen(c.text);
        for (const auto& sizes : splits) {
            SCOPED_TRACE(testing::Message() << '"' << c.text << "\" in pieces of " << sizes[0]);
            VN_MD5_CTX ctx;
            memset(&ctx, 0xA5, sizeof(ctx));  // Init clears the whole context
            MD5_Init(&ctx);
            for (size_t at = 0, k = 0, n; at < len; at += n) {
                n = std::min(sizes[k++ % sizes.size()], len - at);
                MD5_Update(&ctx, c.text + at, n);
            }
            unsigned char d[16];
            MD5_Final(d, &ctx);
            EXPECT_EQ(ToHex(d), c.digest);
            // A finished context keeps nothing of the message.
            const unsigned char* raw = reinterpret_cast<const unsigned char*>(&ctx);
            EXPECT_EQ(std::vector<unsigned char>(raw, raw + sizeof(ctx)),
                      std::vector<unsigned char>(sizeof(ctx), 0));
        }
    }
}

TEST(Md5, PaddingBoundariesAndAlignmentsMatchOpenSsl) {
    // 55 bytes leave room for the length in the same block, 56 do not; 64 fill a block.
    std::vector<unsigned char> data(310);
    std::mt19937 rng(1);
    for (auto& b : data)
        b = static_cast<unsigned char>(rng());
    for (size_t off = 0; off < 8; ++off) {
        for (size_t n = 0; n <= 300; ++n) {
            unsigned char mine[16], want[EVP_MAX_MD_SIZE];
            Md5HashBuffer(mine, n ? data.data() + off : nullptr, n);  // null when empty
            ASSERT_EQ(EVP_Digest(data.data() + off, n, want, nullptr, EVP_md5(), nullptr), 1);
            ASSERT_EQ(ToHex(mine), ToHex(want)) << off << "/" << n;
        }
    }
}
