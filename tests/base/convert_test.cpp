// Number/text conversions, clocks and the random generator.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>

#include "base/vnconvert.h"
#include "base/vntime.h"

TEST(Convert, TextToNumbersAndBack) {
    // Reading stops at the first other byte and keeps what it read; no digit is required,
    // but the text must not be empty. vn_str2int reads the same within its range.
    struct Row {
        const char* text;
        int ok;
        long long value;  // what vn_str2int64 stores
    } rows[] = {
        {"  -42  ", 1, -42},
        {"0x1F", 1, 31},
        {"0X1f", 1, 31},
        {"+17", 1, 17},
        {"12a", 0, 12},
        {"1 2", 0, 1},
        {"+", 1, 0},
        {" ", 1, 0},
        {"0x", 1, 0},
        {"", 0, 0},
        {"--1", 0, 0},
        {"9223372036854775807", 1, 9223372036854775807LL},
        {"9223372036854775808", 0, 0},
        {"-9223372036854775807", 1, -9223372036854775807LL},
    };
    int i;
    for (const Row& r : rows) {
        long long v = 99;
        EXPECT_EQ(r.ok, vn_str2int64(r.text, &v)) << r.text;
        EXPECT_TRUE((!r.ok && r.value == 0) || r.value == v) << r.text;
        if (r.value > 0x7FFFFFFF || r.value < -0x7FFFFFFF) continue;
        i = 99;
        EXPECT_EQ(r.ok, vn_str2int(r.text, &i)) << r.text;
        EXPECT_TRUE((!r.ok && r.value == 0) || r.value == i) << r.text;
    }
    // The bounds of the narrower readers: one result digit per text.
    unsigned int u = 0;
    unsigned long long ull;
    std::string results;
    for (const char* t : {"2147483647", "2147483648", "-2147483648", "0x80000000", "99999999999"})
        results += std::to_string(vn_str2int(t, &i));
    for (const char* t : {"4294967296", "-1", "0xFFFFFFFF"})
        results += std::to_string(vn_str2uint32(t, &u));
    for (const char* t : {"18446744073709551615", "18446744073709551616", "0x10000000000000000"})
        results += std::to_string(vn_str2uint64(t, &ull));
    EXPECT_EQ("100000011000", results + std::to_string(vn_str2int(nullptr, &i)));
    EXPECT_EQ(0xFFFFFFFFu, u);

    char* text = nullptr;
    unsigned int len = 0;
    ASSERT_EQ(1, vn_uint642str(18446744073709551615ULL, &text, &len));
    EXPECT_EQ(20u, len);
    free(text);
    ASSERT_EQ(1, vn_int642str(-1, &text, &len));
    EXPECT_STREQ("18446744073709551615", text);
    free(text);
    EXPECT_EQ(0, vn_int642str(1, nullptr, &len) + vn_uint642str(1, &text, nullptr));
    EXPECT_EQ(1, vn_isalldigit("0123456789"));
    EXPECT_EQ(0, vn_isalldigit("12 ") + vn_isalldigit(nullptr));
    EXPECT_EQ(5u, vn_strlen(u"h\u00e9llo"));
    EXPECT_EQ(0u, vn_strlen(nullptr));
}

TEST(Clock, TickOffsetAndRandom) {
    unsigned int t0 = vn_gettickcount();
    EXPECT_EQ(0, vn_msleep(20));
    EXPECT_GE(vn_gettickcount() - t0, 20u);
    const char* old = getenv("TZ");
    std::string saved = old ? old : "";
    setenv("TZ", "CST-8", 1);
    tzset();
    EXPECT_EQ(480, vn_gettimeoffsetutc());
    old ? setenv("TZ", saved.c_str(), 1) : unsetenv("TZ");
    tzset();
    for (int i = 0; i < 10000; ++i) {
        int r = vn_rand();
        ASSERT_TRUE(r >= 0 && r <= 32767) << r;
    }
    unsigned char* b = vn_rand16();
    ASSERT_NE(nullptr, b);
    for (int i = 0; i < 4; ++i)  // each word is one vn_rand() value
        EXPECT_EQ(0, b[i * 4 + 2] | b[i * 4 + 3]);
    free(b);
}
