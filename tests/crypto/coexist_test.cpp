// One translation unit that includes OpenSSL's <openssl/md5.h>, zlib's <zlib.h> and the
// library's headers together: every name must resolve, and each call must reach the
// implementation its argument types name (OpenSSL's MD5_* for MD5_CTX, ours for
// VN_MD5_CTX; zlib's crc32 beside our CRC32).
//
// OpenSSL 3 marks the low-level MD5 calls deprecated; this program uses them on purpose.
#define OPENSSL_SUPPRESS_DEPRECATED 1
#include <openssl/md5.h>
#include <zlib.h>

#include <gtest/gtest.h>

#include <string.h>

#include <type_traits>

#include "vnbase.h"
#include "crypto/vncrc32.h"
#include "crypto/vnmd5.h"

static_assert(!std::is_same<VN_MD5_CTX, MD5_CTX>::value, "context types must differ");

TEST(CryptoCoexist, Md5OverloadsResolveByContextType) {
    const char msg[] = "message digest";
    const size_t len = strlen(msg);

    MD5_CTX theirs;   // OpenSSL: int MD5_Init(MD5_CTX*), C linkage
    VN_MD5_CTX ours;  // vnbase: void MD5_Init(VN_MD5_CTX*), C++ linkage
    static_assert(std::is_same<decltype(MD5_Init(&theirs)), int>::value, "OpenSSL's MD5_Init");
    static_assert(std::is_same<decltype(MD5_Init(&ours)), void>::value, "our MD5_Init");

    ASSERT_EQ(MD5_Init(&theirs), 1);
    MD5_Init(&ours);
    ASSERT_EQ(MD5_Update(&theirs, msg, len), 1);
    MD5_Update(&ours, msg, len);
    unsigned char d1[MD5_DIGEST_LENGTH], d2[16], d3[16];
    ASSERT_EQ(MD5_Final(d1, &theirs), 1);
    MD5_Final(d2, &ours);
    EXPECT_EQ(memcmp(d1, d2, 16), 0);

    // OpenSSL's one-shot beside ours.
    MD5(reinterpret_cast<const unsigned char*>(msg), len, d1);
    Md5HashBuffer(d3, msg, len);
    EXPECT_EQ(memcmp(d1, d3, 16), 0);
    const unsigned char want[16] = {0xf9, 0x6b, 0x69, 0x7d, 0x7c, 0xb7, 0x93, 0x8d,
                                    0x52, 0x5a, 0x2f, 0x31, 0xaa, 0xf1, 0x61, 0xd0};
    EXPECT_EQ(memcmp(d3, want, 16), 0);
}

TEST(CryptoCoexist, Md5ContextsDoNotCrossOver) {
    // Feeding different data through each side at the same time: if either call reached
    // the other implementation, a context would be misread and a digest would be wrong.
    MD5_CTX theirs;
    VN_MD5_CTX ours;
    MD5_Init(&theirs);
    MD5_Init(&ours);
    MD5_Update(&theirs, "a", 1);
    MD5_Update(&ours, "abc", 3);
    unsigned char d1[16], d2[16];
    MD5_Final(d1, &theirs);
    MD5_Final(d2, &ours);
    const unsigned char md5_a[16] = {0x0c, 0xc1, 0x75, 0xb9, 0xc0, 0xf1, 0xb6, 0xa8,
                                     0x31, 0xc3, 0x99, 0xe2, 0x69, 0x77, 0x26, 0x61};
    const unsigned char md5_abc[16] = {0x90, 0x01, 0x50, 0x98, 0x3c, 0xd2, 0x4f, 0xb0,
                                       0xd6, 0x96, 0x3f, 0x7d, 0x28, 0xe1, 0x7f, 0x72};
    EXPECT_EQ(memcmp(d1, md5_a, 16), 0);
    EXPECT_EQ(memcmp(d2, md5_abc, 16), 0);
}

TEST(CryptoCoexist, Crc32BesideZlib) {
    const unsigned char digits[] = "123456789";
    EXPECT_EQ(crc32(0L, digits, 9), 0xCBF43926UL);
    EXPECT_EQ(CRC32(0, digits, 9), 0xCBF43926u);
    EXPECT_EQ(crc32(crc32(0L, digits, 4), digits + 4, 5),
              CRC32(CRC32(0, digits, 4), digits + 4, 5));
}
