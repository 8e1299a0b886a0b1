// vn::strutf16 and vn::stream: the shared growth policy on 16-bit units and bytes, and each
// type's own forms, order, search, trimming and bits.
#include "common/vnstream.h"

#include <gtest/gtest.h>
#include <string.h>

#include <random>
#include <string>

namespace {

std::u16string U16(const vn::strutf16& s) {
    return std::u16string(s.c_str(), s.length());
}

std::string Bytes(const vn::stream& s) {
    return std::string(reinterpret_cast<const char*>(s.c_str()), s.size());
}

TEST(StrUtf16, PolicyFormsAndSourcesInsideTheBuffer) {
    // Capacities count units: the same steps as for bytes.
    const struct {
        const char16_t* text;
        unsigned cap;
    } steps[] = {{u"abc", 8}, {u"abcdefgh", 16}, {u"ab", 4}, {u"", 0}};
    vn::strutf16 s;
    for (const auto& st : steps) {
        s = st.text;
        EXPECT_EQ(st.cap, s.capacity());
        EXPECT_EQ(std::u16string(st.text), U16(s));
        EXPECT_EQ(0, s.c_str()[s.length()]);
    }
    EXPECT_EQ(u"h", U16(vn::strutf16("h\xc3\xa9", 1)));
    EXPECT_EQ(u"h\u00e9", U16(vn::strutf16("h\xc3\xa9", 0)));
    EXPECT_EQ(u"", U16(vn::strutf16(static_cast<const char16_t*>(nullptr))));
    EXPECT_EQ(u"", U16(vn::strutf16(static_cast<const char*>(nullptr))));
    EXPECT_EQ(u"\u4e2d\u6587", U16(vn::strutf16(vn::strutf8("\xe4\xb8\xad\xe6\x96\x87"))));
    s = "x\xc3\xa9";
    EXPECT_EQ(u"x\u00e9", U16(s));
    s = vn::strutf8();
    EXPECT_EQ(0u, s.capacity());
    s = static_cast<const char*>(nullptr);
    EXPECT_EQ(0u, s.length());
    vn::strutf16 t(u"copy");
    s = t;
    EXPECT_NE(s.c_str(), t.c_str());
    s.assign(u"abcdef", 3);
    s += u"de";
    s += vn::strutf16(u"f");
    s.append(u"ghi", 1);
    s = s.c_str() + 4;  // from inside itself
    s.append(s);
    EXPECT_EQ(u"efgefg", U16(s));
    EXPECT_EQ(s.data(), static_cast<char16_t*>(s));
    EXPECT_EQ(u'f', s.at(1));
}

TEST(StrUtf16, OrderTrimAndAsciiCase) {
    vn::strutf16 a(u"abc"), ab(u"ab"), e;
    EXPECT_TRUE(ab < a && !(a < ab) && e < ab && !(e < e));
    // Unit order, not byte order: U+00FF before U+0100; equality sees past a zero unit.
    EXPECT_TRUE(vn::strutf16(u"\u00ff") < vn::strutf16(u"\u0100"));
    EXPECT_FALSE(vn::strutf16(u"\u0100") < vn::strutf16(u"\u00ff"));
    EXPECT_FALSE(vn::strutf16(u"a\0b", 3) == vn::strutf16(u"a\0c", 3));
    vn::strutf16 s(u" \tx\r\n");
    s.trim();  // only spaces
    EXPECT_EQ(u"\tx\r\n", U16(s));
    s = u"  a  ";
    s.trimleft();
    s.trimright();
    EXPECT_EQ(u"a", U16(s));
    s = u"   ";
    s.trim();
    EXPECT_EQ(0u, s.capacity());
    s = u"Hello \u00c4\u00e4 \u0130 World";
    s.tolower();
    EXPECT_EQ(u"hello \u00c4\u00e4 \u0130 world", U16(s));
    s.toupper();
    EXPECT_EQ(u"HELLO \u00c4\u00e4 \u0130 WORLD", U16(s));
}

TEST(StrUtf16, FindMatchesStdString) {
    vn::strutf16 s(u"hello");
    EXPECT_EQ(-1, s.find(nullptr));
    EXPECT_EQ(3, s.find(u"", 3));
    // Text and pattern over "abc", every start up to past the end.
    std::mt19937 rng(7);
    for (int round = 0; round < 5000; ++round) {
        std::u16string text, pat;
        for (int i = rng() % 30; i > 0; --i)
            text += (char16_t)(u'a' + rng() % 3);
        for (int i = 1 + rng() % 3; i > 0; --i)
            pat += (char16_t)(u'a' + rng() % 3);
        unsigned start = rng() % (text.size() + 2);
        vn::strutf16 w(text.c_str(), (unsigned)text.size());
        size_t r = start + pat.size() <= text.size() ? text.find(pat, start) : text.npos;
        ASSERT_EQ(r == text.npos ? -1 : (int)r, w.find(pat.c_str(), start));
    }
}

TEST(Stream, FormsEqualityAndBits) {
    const unsigned char raw[] = {0x00, 0x01, 0xFF, 0x04};
    vn::stream a(raw, 3), s;
    EXPECT_EQ(8u, a.capacity());
    EXPECT_EQ(std::string("\x00\x01\xff", 3), Bytes(a));
    EXPECT_EQ("ab", Bytes(vn::stream("abc", 2)));
    EXPECT_EQ(std::string("A\0B\0", 4), Bytes(vn::stream(u"AB")));
    EXPECT_EQ(2u, vn::stream(u"ABC", 1).size());
    vn::stream c(a);
    EXPECT_TRUE(c == a && c.c_str() != a.c_str());
    EXPECT_EQ(0u, vn::stream(static_cast<const unsigned char*>(nullptr), 5).size());
    EXPECT_EQ(0u, vn::stream(raw, 0).capacity());
    EXPECT_FALSE(vn::stream("ab") == vn::stream("abc"));
    EXPECT_TRUE(vn::stream() == vn::stream(""));
    s = "hello";
    s = vn::strutf8("utf8");
    s = vn::strutf16(u"xy");
    EXPECT_EQ(std::string("x\0y\0", 4), Bytes(s));
    s = vn::strutf16();
    EXPECT_EQ(0u, s.capacity());
    s.assign(raw + 1, 3);
    s.append(raw, 2);
    s += vn::stream("z");
    EXPECT_EQ(std::string("\x01\xff\x04\x00\x01z", 6), Bytes(s));
    EXPECT_EQ(s.data(), static_cast<unsigned char*>(s));
    EXPECT_EQ(4, s.at(2));
    s.resize(2);
    EXPECT_EQ(4u, s.capacity());
    EXPECT_EQ(0, s[2]);
    s = static_cast<const char*>(nullptr);
    EXPECT_EQ(0u, s.capacity());
    // Bit 0 is the high bit of the first byte; beyond the last byte reads as clear.
    const unsigned char two[] = {0x81, 0x40};
    vn::stream t(two, 2);
    for (unsigned b : {0u, 7u, 9u})
        EXPECT_TRUE(t.bits(b)) << b;
    for (unsigned b : {1u, 6u, 8u, 15u, 16u, 0xFFFFFFFFu})
        EXPECT_FALSE(t.bits(b)) << b;
    EXPECT_FALSE(vn::stream().bits(0));
}

}  // namespace
