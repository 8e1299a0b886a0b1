// Number/text conversions, clocks and the random generator.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>
#include <sys/time.h>

#include <string>

#include "base/vnconvert.h"
#include "base/vntime.h"

TEST(Str2Int, SpacesSignsAndBases) {
    int v = 7;
    EXPECT_EQ(1, vn_str2int("  -42  ", &v));
    EXPECT_EQ(-42, v);
    EXPECT_EQ(1, vn_str2int("0x1F", &v));
    EXPECT_EQ(31, v);
    EXPECT_EQ(1, vn_str2int("0X1f", &v));
    EXPECT_EQ(31, v);
    EXPECT_EQ(1, vn_str2int("+17", &v));
    EXPECT_EQ(17, v);
    // Reading stops at the first other byte and keeps what it read.
    EXPECT_EQ(0, vn_str2int("12a", &v));
    EXPECT_EQ(12, v);
    EXPECT_EQ(0, vn_str2int("1 2", &v));
    EXPECT_EQ(1, v);
    // No digit is required, but the text must not be empty.
    EXPECT_EQ(1, vn_str2int("+", &v));
    EXPECT_EQ(0, v);
    EXPECT_EQ(1, vn_str2int(" ", &v));
    EXPECT_EQ(1, vn_str2int("0x", &v));
    EXPECT_EQ(0, v);
    v = 5;
    EXPECT_EQ(0, vn_str2int("", &v));
    EXPECT_EQ(0, v);
    EXPECT_EQ(0, vn_str2int(nullptr, &v));
    EXPECT_EQ(0, vn_str2int("--1", &v));
}

TEST(Str2Int, RangeLimits) {
    int v;
    EXPECT_EQ(1, vn_str2int("2147483647", &v));
    EXPECT_EQ(2147483647, v);
    EXPECT_EQ(0, vn_str2int("2147483648", &v));
    EXPECT_EQ(0, vn_str2int("-2147483648", &v));
    EXPECT_EQ(1, vn_str2int("-2147483647", &v));
    EXPECT_EQ(-2147483647, v);
    EXPECT_EQ(1, vn_str2int("0x7FFFFFFF", &v));
    EXPECT_EQ(0, vn_str2int("0x80000000", &v));
    EXPECT_EQ(0, vn_str2int("99999999999", &v));

    unsigned int u = 9;
    EXPECT_EQ(1, vn_str2uint32("4294967295", &u));
    EXPECT_EQ(4294967295u, u);
    EXPECT_EQ(0, vn_str2uint32("4294967296", &u));
    EXPECT_EQ(0, vn_str2uint32("-1", &u));
    EXPECT_EQ(0u, u);
    EXPECT_EQ(1, vn_str2uint32("0xFFFFFFFF", &u));
    EXPECT_EQ(0xFFFFFFFFu, u);
    EXPECT_EQ(0, vn_str2uint32("0x100000000", &u));

    long long ll;
    EXPECT_EQ(1, vn_str2int64("9223372036854775807", &ll));
    EXPECT_EQ(9223372036854775807LL, ll);
    EXPECT_EQ(0, vn_str2int64("9223372036854775808", &ll));
    EXPECT_EQ(0, vn_str2int64("-9223372036854775808", &ll));
    EXPECT_EQ(1, vn_str2int64("-9223372036854775807", &ll));
    EXPECT_EQ(-9223372036854775807LL, ll);

    unsigned long long ull;
    EXPECT_EQ(1, vn_str2uint64("18446744073709551615", &ull));
    EXPECT_EQ(18446744073709551615ULL, ull);
    EXPECT_EQ(0, vn_str2uint64("18446744073709551616", &ull));
    EXPECT_EQ(1, vn_str2uint64("0xFFFFFFFFFFFFFFFF", &ull));
    EXPECT_EQ(0, vn_str2uint64("0x10000000000000000", &ull));
}

TEST(NumberText, Uint64AndInt64) {
    char* text = nullptr;
    unsigned int len = 0;
    ASSERT_EQ(1, vn_uint642str(0, &text, &len));
    EXPECT_STREQ("0", text);
    EXPECT_EQ(1u, len);
    free(text);
    ASSERT_EQ(1, vn_uint642str(18446744073709551615ULL, &text, &len));
    EXPECT_STREQ("18446744073709551615", text);
    EXPECT_EQ(20u, len);
    free(text);
    ASSERT_EQ(1, vn_int642str(-1, &text, &len));
    EXPECT_STREQ("18446744073709551615", text);
    free(text);
    EXPECT_EQ(0, vn_int642str(1, nullptr, &len));
    EXPECT_EQ(0, vn_uint642str(1, &text, nullptr));
}

TEST(NumberText, IsAllDigitAndStrlen) {
    EXPECT_EQ(1, vn_isalldigit(""));
    EXPECT_EQ(1, vn_isalldigit("0123456789"));
    EXPECT_EQ(0, vn_isalldigit("12 "));
    EXPECT_EQ(0, vn_isalldigit(nullptr));
    EXPECT_EQ(0u, vn_strlen(nullptr));
    EXPECT_EQ(0u, vn_strlen(u""));
    EXPECT_EQ(5u, vn_strlen(u"h\u00e9llo"));
}

TEST(Clock, TimeTickAndOffset) {
    struct timeval tv;
    ASSERT_EQ(0, gettimeofday(&tv, nullptr));
    long long now = vn_time();
    EXPECT_LE(llabs(now - tv.tv_sec), 2);
    unsigned int t0 = vn_gettickcount();
    EXPECT_EQ(0, vn_msleep(20));
    unsigned int elapsed = vn_gettickcount() - t0;  // unsigned: correct across a wrap
    EXPECT_GE(elapsed, 20u);

    const char* old = getenv("TZ");
    std::string saved = old ? old : "";
    setenv("TZ", "CST-8", 1);
    tzset();
    EXPECT_EQ(480, vn_gettimeoffsetutc());
    setenv("TZ", "UTC0", 1);
    tzset();
    EXPECT_EQ(0, vn_gettimeoffsetutc());
    if (old) {
        setenv("TZ", saved.c_str(), 1);
    } else {
        unsetenv("TZ");
    }
    tzset();
}

TEST(Random, RangeAndRand16) {
    int seen_high = 0;
    for (int i = 0; i < 100000; ++i) {
        int r = vn_rand();
        ASSERT_GE(r, 0);
        ASSERT_LE(r, 32767);
        if (r > 30000) ++seen_high;
    }
    EXPECT_GT(seen_high, 0);
    unsigned char* b = vn_rand16();
    ASSERT_NE(nullptr, b);
    // Each 32-bit word is one vn_rand() value, so its two high bytes are zero.
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(0, b[i * 4 + 2]);
        EXPECT_EQ(0, b[i * 4 + 3]);
    }
    free(b);
}
