// Encoding conversion: the UTF-16 encoder's own forms, the UTF-8 decoder's replacement of
// ill-formed input, round trips over every scalar value, and GBK through iconv with its
// '?' fallback.
#include "common/vnstream.h"

#include <gtest/gtest.h>
#include <stdint.h>

#include <string>

namespace {

std::string Str(const vn::strutf8& s) {
    return std::string(s.c_str(), s.length());
}

std::u16string U16(const vn::strutf16& s) {
    return std::u16string(s.c_str(), s.length());
}

std::u16string Decode(const std::string& bytes) {
    vn::strutf16 out;
    EXPECT_TRUE(vnutf82utf16(bytes.data(), (unsigned)bytes.size(), out));
    return U16(out);
}

std::string Encode(const std::u16string& units) {
    vn::strutf8 out;
    EXPECT_TRUE(vnutf162utf8(units.data(), (unsigned)units.size(), out));
    return Str(out);
}

// Reference UTF-8 for one code point, with the library's two-byte form for U+0000.
void AppendUtf8(uint32_t cp, std::string& out) {
    static const unsigned char kLead[] = {0, 0, 0xC0, 0xE0, 0xF0};
    const int n = cp == 0 ? 2 : cp < 0x80 ? 1 : cp < 0x800 ? 2 : cp < 0x10000 ? 3 : 4;
    out += (char)(n == 1 ? cp : kLead[n] | (cp >> (6 * (n - 1))));
    for (int k = n - 2; k >= 0; --k)
        out += (char)(0x80 | ((cp >> (6 * k)) & 0x3F));
}

void AppendUtf16(uint32_t cp, std::u16string& out) {
    if (cp >= 0x10000) {
        out += (char16_t)(0xD800 + ((cp - 0x10000) >> 10));
        cp = 0xDC00 + (cp & 0x3FF);
    }
    out += (char16_t)cp;
}

// ---------------------------------------------------------------------------------------
// UTF-16 -> UTF-8

TEST(Utf16ToUtf8, EncoderForms) {
    // Each scalar value's own form is checked by the round trip below.
    // Lone surrogates become three bytes each.
    EXPECT_EQ("x\xed\xa0\xbd", Encode(std::u16string{u'x', 0xD83D}));
    EXPECT_EQ("\xed\xb8\x80y", Encode(std::u16string{0xDE00, u'y'}));
    EXPECT_EQ("\xed\xa0\xbd\xed\xa0\xbd\xf0\x9f\x98\x80",
              Encode(std::u16string{0xD83D, 0xD83D, 0xD83D, 0xDE00}));
    // The count bounds the pair: a high surrogate at the end of the count stays alone.
    vn::strutf8 out;
    const char16_t pair[] = {0xD83D, 0xDE00, 0};
    EXPECT_TRUE(vnutf162utf8(pair, 1, out));
    EXPECT_EQ("\xed\xa0\xbd", Str(out));
    // Zero units inside ASCII runs (the four-unit fast path must see them).
    EXPECT_EQ(std::string("abc\xc0\x80"
                          "defgh\xc0\x80\xc0\x80"),
              Encode(std::u16string(u"abc\0defgh\0\0", 11)));
}

// ---------------------------------------------------------------------------------------
// UTF-8 -> UTF-16

TEST(Utf8ToUtf16, WellFormed) {
    // A raw zero byte and a long ASCII run (the fast path); every scalar value's own form
    // is checked by the round trip below.
    EXPECT_EQ(std::u16string(u"a\0b", 3), Decode(std::string("a\0b", 3)));
    std::string longascii(1000, 'q');
    EXPECT_EQ(std::u16string(1000, u'q'), Decode(longascii));
}

TEST(Utf8ToUtf16, IllFormedBecomesReplacement) {
    const char16_t R = 0xFFFD;
    // \x61 is 'a', written so that it stays apart from the byte before it.
    const struct {
        std::string in;
        std::u16string out;
    } cases[] = {
        {"\x80", {R}},
        {"\xbf\x61", {R, u'a'}},
        {"\xc3", {R}},            // truncated two-byte
        {"\xc3\x61", {R, u'a'}},  // bad trail byte
        {"\xe4\xb8", {R}},        // truncated three-byte: one subpart
        {"\xe4\xb8\x61", {R, u'a'}},
        {"\xf0\x9f\x98", {R}},  // truncated four-byte
        {"\xf0\x9f\x98\x61\x62\x63\x64\x65\x66\x67\x68",
         {R, u'a', u'b', u'c', u'd', u'e', u'f', u'g', u'h'}},
        {"\xc1\xbf", {R, R}},                // overlong two-byte
        {"\xc0\x81", {R, R}},                // overlong, not the U+0000 form
        {"\xe0\x80\x80", {R, R, R}},         // overlong three-byte
        {"\xed\xa0\x80", {R, R, R}},         // encoded surrogate
        {"\xf0\x80\x80\x80", {R, R, R, R}},  // overlong four-byte
        {"\xf4\x90\x80\x80", {R, R, R, R}},  // above U+10FFFF
        {"\xf5\x80", {R, R}},
        {"\x61\xfe\x62", {u'a', R, u'b'}},
        {"\xe4\xb8\xad\x80\xe6\x96\x87", {0x4E2D, R, 0x6587}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.out, Decode(c.in)) << "input bytes: " << ::testing::PrintToString(c.in);
}

// A null input or a zero count fails and leaves the output empty, in all four directions.
TEST(Conversions, FailuresLeaveEmptyOutput) {
    vn::strutf8 s("stale");
    EXPECT_FALSE(vnutf162utf8(u"abc", 0, s));
    EXPECT_EQ(0u, s.capacity());
    s = "stale";
    EXPECT_FALSE(vnutf162gbk(nullptr, 3, s));
    EXPECT_EQ(0u, s.capacity());
    s = "stale";
    EXPECT_FALSE(vnutf162gbk(u"abc", 0, s));
    EXPECT_EQ(0u, s.length());
    vn::strutf16 w(u"stale");
    EXPECT_FALSE(vnutf82utf16(nullptr, 3, w));
    EXPECT_EQ(0u, w.capacity());
    w = u"stale";
    EXPECT_FALSE(vngbk2utf16("abc", 0, w));
    EXPECT_EQ(0u, w.capacity());
}

// Every scalar value U+0000..U+10FFFF (surrogates excluded) in one string: the encoder
// matches the reference bytes and the decoder returns the original units.
TEST(Utf8Utf16, RoundTripEveryScalarValue) {
    std::u16string units;
    std::string expect;
    for (uint32_t cp = 0; cp <= 0x10FFFF; ++cp) {
        if (cp >= 0xD800 && cp <= 0xDFFF) continue;
        AppendUtf16(cp, units);
        AppendUtf8(cp, expect);
    }
    std::string bytes = Encode(units);
    ASSERT_EQ(expect.size(), bytes.size());
    ASSERT_TRUE(expect == bytes);
    std::u16string back = Decode(bytes);
    ASSERT_EQ(units.size(), back.size());
    ASSERT_TRUE(units == back);
    // One value at a time too, so that no neighbour hides a boundary mistake.
    for (uint32_t cp = 0; cp <= 0x10FFFF; cp += (cp < 0x1000 ? 1 : 97)) {
        if (cp >= 0xD800 && cp <= 0xDFFF) continue;
        std::u16string one;
        AppendUtf16(cp, one);
        ASSERT_EQ(one, Decode(Encode(one))) << "U+" << std::hex << cp;
    }
}

// ---------------------------------------------------------------------------------------
// GBK

// Common characters and their GBK bytes.
const char16_t kChinese[] = u"中文你好世界我们的是在有人这个上来到大国和";
const char kChineseGbk[] =
    "\xd6\xd0\xce\xc4\xc4\xe3\xba\xc3\xca\xc0\xbd\xe7\xce\xd2\xc3\xc7\xb5\xc4\xca\xc7\xd4\xda"
    "\xd3\xd0\xc8\xcb\xd5\xe2\xb8\xf6\xc9\xcf\xc0\xb4\xb5\xbd\xb4\xf3\xb9\xfa\xba\xcd";

TEST(Gbk, RoundTripCommonCharactersAmongAscii) {
    std::u16string mixed = u"id=42 " + std::u16string(kChinese) + u" end";
    vn::strutf8 gbk;
    ASSERT_TRUE(vnutf162gbk(mixed.data(), (unsigned)mixed.size(), gbk));
    EXPECT_EQ("id=42 " + std::string(kChineseGbk) + " end", Str(gbk));
    vn::strutf16 back;
    ASSERT_TRUE(vngbk2utf16(gbk.c_str(), gbk.length(), back));
    EXPECT_EQ(mixed, U16(back));
}

TEST(Gbk, PlainAsciiAndFallbackForTheRest) {
    vn::strutf16 out;
    vn::strutf8 g;
    ASSERT_TRUE(vnutf162gbk(u"plain", 5, g));
    EXPECT_EQ("plain", Str(g));
    // 0xFF is no GBK lead byte: the rest after "ab" goes through the fallback, each byte
    // >= 0x80 taking the next byte with it.
    ASSERT_TRUE(vngbk2utf16("ab\xff\xff\x7a\xd6\xd0", 7, out));
    EXPECT_EQ(u"ab?z?", U16(out));
    // A lead byte cut off at the end.
    ASSERT_TRUE(vngbk2utf16("ab\xd6", 3, out));
    EXPECT_EQ(u"ab?", U16(out));
    // U+1F600 has no GBK form.
    std::u16string noform = u"ab\u4e2d\U0001F600c";
    ASSERT_TRUE(vnutf162gbk(noform.data(), (unsigned)noform.size(), g));
    EXPECT_EQ("ab???c", Str(g));
}

}  // namespace
