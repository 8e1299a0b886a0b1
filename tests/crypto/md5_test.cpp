// MD5 against OpenSSL's digest: a message in pieces of every shape (with the context's life
// cycle), and every padding boundary and alignment in one call.
#include <gtest/gtest.h>

#include <openssl/evp.h>
#include <string.h>

#include <algorithm>
#include <random>
#include <vector>

#include "crypto/vnmd5.h"

namespace {

typedef std::vector<unsigned char> Bytes;

Bytes Reference(const void* data, size_t n) {
    unsigned char d[EVP_MAX_MD_SIZE];
    EXPECT_EQ(EVP_Digest(data, n, d, nullptr, EVP_md5(), nullptr), 1);
    return Bytes(d, d + 16);
}

}  // namespace

TEST(Md5, PiecesOfEveryShapeAndTheContextIsWiped) {
    const char text[] =
        "12345678901234567890123456789012345678901234567890123456789012345678901234567890";
    const size_t len = strlen(text);
    const std::vector<std::vector<size_t>> splits = {{1000}, {1}, {7}, {63}, {5, 64, 2}, {55, 9}};
    for (const auto& sizes : splits) {
        SCOPED_TRACE(testing::Message() << "pieces of " << sizes[0]);
        VN_MD5_CTX ctx;
        memset(&ctx, 0xA5, sizeof(ctx));  // Init clears the whole context
        MD5_Init(&ctx);
        for (size_t at = 0, k = 0, n; at < len; at += n) {
            n = std::min(sizes[k++ % sizes.size()], len - at);
            MD5_Update(&ctx, text + at, n);
        }
        unsigned char d[16];
        MD5_Final(d, &ctx);
        EXPECT_EQ(Bytes(d, d + 16), Reference(text, len));
        // A finished context keeps nothing of the message.
        const unsigned char* raw = reinterpret_cast<const unsigned char*>(&ctx);
        EXPECT_EQ(Bytes(raw, raw + sizeof(ctx)), Bytes(sizeof(ctx), 0));
    }
}

TEST(Md5, PaddingBoundariesAndAlignmentsMatchOpenSsl) {
    // 55 bytes leave room for the length in the same block, 56 do not; 64 fill a block.
    Bytes data(310);
    std::mt19937 rng(1);
    for (auto& b : data)
        b = static_cast<unsigned char>(rng());
    for (size_t off = 0; off < 8; ++off) {
        for (size_t n = 0; n <= 300; ++n) {
            unsigned char mine[16];
            Md5HashBuffer(mine, n ? data.data() + off : nullptr, n);  // null when empty
            ASSERT_EQ(Bytes(mine, mine + 16), Reference(data.data() + off, n)) << off << "/" << n;
        }
    }
}
