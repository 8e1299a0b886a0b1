// CRC-32: the check value, continuation, the null/empty rules, and agreement with zlib
// and with the plain one-table loop for every length and alignment around the 16-byte
// steps.
#include <gtest/gtest.h>

#include <stdint.h>
#include <stdio.h>
#include <zlib.h>

#include <random>
#include <vector>

#include "crypto/vncrc32.h"
#include "crypto/vncrc32_internal.h"

namespace {

// The textbook bitwise form, for comparison.
uint32_t crc_bitwise(uint32_t crc, const unsigned char* p, size_t n) {
    crc = ~crc;
    while (n--) {
        crc ^= *p++;
        for (int k = 0; k < 8; ++k)
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1)));
    }
    return ~crc;
}

uint32_t zlib_crc(uint32_t crc, const unsigned char* p, size_t n) {
    return static_cast<uint32_t>(crc32_z(crc, p, n));
}

std::vector<unsigned char> random_bytes(size_t n, unsigned seed) {
    std::mt19937 rng(seed);
    std::vector<unsigned char> v(n);
    for (auto& b : v)
        b = static_cast<unsigned char>(rng());
    return v;
}

}  // namespace

TEST(Crc32, CheckValueContinuationAndNull) {
    EXPECT_EQ(CRC32(0, "123456789", 9), 0xCBF43926u);
    EXPECT_EQ(CRC32(CRC32(0, "12345", 5), "6789", 4), 0xCBF43926u);
    EXPECT_EQ(CRC32(5, nullptr, 10), 5u);
    EXPECT_EQ(CRC32(0xDEADBEEF, "x", 0), 0xDEADBEEFu);
}

// CRC32 picks one engine per call; check each on its own against the bitwise form so that
// the one this processor does not pick by default is covered too, and the public entry
// against zlib, over every length and alignment around the 16-byte steps.
TEST(Crc32, EnginesAndZlibAgreeOnEveryLengthAndAlignment) {
    auto data = random_bytes(1200, 5);
    const bool clmul = vn::detail::crc32_have_clmul();
    if (!clmul) std::printf("note: no PCLMULQDQ here, only the table engine is checked\n");
    for (size_t off = 0; off < 16; ++off) {
        for (size_t n = 0; off + n <= 1100; n += (n < 300 ? 1 : 37)) {
            const unsigned char* p = data.data() + off;
            const uint32_t want = ~crc_bitwise(0xA5A5A5A5u, p, n);
            ASSERT_EQ(vn::detail::crc32_state_tables(~0xA5A5A5A5u, p, n), want) << off << "/" << n;
            if (clmul) {
                ASSERT_EQ(vn::detail::crc32_state_clmul(~0xA5A5A5A5u, p, n), want)
                    << off << "/" << n;
            }
            ASSERT_EQ(CRC32(0x12345678u, p, n), zlib_crc(0x12345678u, p, n)) << off << "/" << n;
        }
    }
}

TEST(Crc32, FoldingHandlesAllZeroAndAllOneStates) {
    if (!vn::detail::crc32_have_clmul()) GTEST_SKIP() << "no PCLMULQDQ on this processor";
    std::vector<unsigned char> zeros(4096, 0), ones(4096, 0xFF);
    for (uint32_t state : {0u, ~0u, 0x80000000u, 1u}) {
        for (const auto* buf : {&zeros, &ones}) {
            for (size_t n : {64u, 80u, 127u, 128u, 4096u}) {
                EXPECT_EQ(vn::detail::crc32_state_clmul(state, buf->data(), n),
                          vn::detail::crc32_state_tables(state, buf->data(), n));
            }
        }
    }
}
