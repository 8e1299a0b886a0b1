// CRC-32: both engines against zlib (so the check value and continuation too) for every
// length and alignment around the 16-byte steps, and the null-data rule.
#include <gtest/gtest.h>

#include <stdint.h>
#include <zlib.h>

#include <random>
#include <vector>

#include "crypto/vncrc32.h"
#include "crypto/vncrc32_internal.h"

// CRC32 picks one engine per call; each is checked on its own so that the one this
// processor does not pick is covered too. All-zero and all-one data from all-zero and
// all-one states reach folding cases that random data does not.
TEST(Crc32, EnginesAgreeWithZlibOnEveryLengthAndAlignment) {
    std::vector<unsigned char> random(1200), zeros(1200, 0), ones(1200, 0xFF);
    std::mt19937 rng(5);
    for (auto& b : random)
        b = static_cast<unsigned char>(rng());
    const bool clmul = vn::detail::crc32_have_clmul();
    EXPECT_EQ(CRC32(5, nullptr, 10), 5u);  // no data: the state as it was
    for (const auto* data : {&random, &zeros, &ones}) {
        for (uint32_t crc : {0xA5A5A5A5u, 0u, ~0u, 0x7FFFFFFFu}) {
            for (size_t off = 0; off < 16; ++off) {
                for (size_t n = 0; off + n <= 1100; n += (n < 300 ? 1 : 37)) {
                    SCOPED_TRACE(testing::Message() << crc << " " << off << "/" << n);
                    const unsigned char* p = data->data() + off;
                    const uint32_t want = static_cast<uint32_t>(crc32_z(crc, p, n));
                    ASSERT_EQ(CRC32(crc, p, n), want);
                    ASSERT_EQ(~vn::detail::crc32_state_tables(~crc, p, n), want);
                    ASSERT_EQ(clmul ? ~vn::detail::crc32_state_clmul(~crc, p, n) : want, want);
                }
            }
        }
    }
}
