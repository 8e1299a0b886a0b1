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
    vn::strutf8 s;
    vn::strutf16 w;
    const auto stale = [&] {
        s = "stale";
        w = u"stale";
    };
    stale();
    EXPECT_EQ(0, vnutf162utf8(u"abc", 0, s) + vnutf82utf16(nullptr, 3, w));  // both run
    EXPECT_EQ(0u, s.capacity() + w.capacity());
    stale();
    EXPECT_EQ(0, vnutf162gbk(nullptr, 3, s) + vngbk2utf16("abc", 0, w));
    EXPECT_EQ(0u, s.capacity() + w.capacity());
    stale();
    EXPECT_FALSE(vnutf162gbk(u"abc", 0, s));
    EXPECT_EQ(0u, s.length());
}

// Every scalar value U+0000..U+10FFFF (surrogates excluded) in one string comes back
// unchanged. The decoder refuses overlong and out-of-range forms (above), so an encoder
// slip at a length boundary shows here as a replacement character.
TEST(Utf8Utf16, RoundTripEveryScalarValue) {
    std::u16string units;
    for (uint32_t cp = 0; cp <= 0x10FFFF; ++cp)
        if (cp < 0xD800 || cp > 0xDFFF) AppendUtf16(cp, units);
    const std::string bytes = Encode(units);
    EXPECT_EQ(4u * 0x100000 + 3 * (0x10000 - 0x800 - 0x800) + 2 * (0x800 - 0x80) + 0x80 + 1,
              bytes.size());              // U+0000 takes two bytes
    ASSERT_TRUE(units == Decode(bytes));  // no gtest diff of a 2 MB string
}

// ---------------------------------------------------------------------------------------
// GBK

// Common characters among ASCII both ways; then the '?' fallback for what has no form.
TEST(Gbk, RoundTripAndFallback) {
    const std::u16string mixed = u"id=42 中文你好世界 end";
    vn::strutf8 g;
    ASSERT_TRUE(vnutf162gbk(mixed.data(), (unsigned)mixed.size(), g));
    EXPECT_EQ("id=42 \xd6\xd0\xce\xc4\xc4\xe3\xba\xc3\xca\xc0\xbd\xe7 end", Str(g));
    vn::strutf16 out;
    ASSERT_TRUE(vngbk2utf16(g.c_str(), g.length(), out));
    EXPECT_EQ(mixed, U16(out));
    ASSERT_TRUE(vnutf162gbk(u"plain", 5, g));
    EXPECT_EQ("plain", Str(g));
    // 0xFF is no GBK lead byte: the rest after "ab" goes through the fallback, each byte
    // >= 0x80 taking the next byte with it.
    ASSERT_TRUE(vngbk2utf16("ab\xff\xff\x7a\xd6\xd0", 7, out));
    EXPECT_EQ(u"ab?z?", U16(out));
    ASSERT_TRUE(vngbk2utf16("ab\xd6", 3, out));  // a lead byte cut off at the end
    EXPECT_EQ(u"ab?", U16(out));
    const std::u16string noform = u"ab\u4e2d\U0001F600c";  // U+1F600 has no GBK form
    ASSERT_TRUE(vnutf162gbk(noform.data(), (unsigned)noform.size(), g));
    EXPECT_EQ("ab???c", Str(g));
}

}  // namespace
