// vn::strutf16 and vn::stream: the shared policy on 16-bit units and bytes, and each
// type's own operations.
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

template <typename S>
void ExpectTerminated(const S& s) {
    if (s.capacity() == 0) {
        EXPECT_EQ(0u, s.length());
    } else {
        EXPECT_LT(s.length(), s.capacity());
    }
    EXPECT_EQ(0, s.c_str()[s.length()]);
}

// ---------------------------------------------------------------------------------------
// strutf16

TEST(StrUtf16, PolicyOnUnits) {
    // Capacities count units: the same steps as for bytes.
    const struct {
        const char16_t* text;
        unsigned cap;
    } steps[] = {{u"abc", 8}, {u"abcdefgh", 16}, {u"ab", 4}};
    vn::strutf16 s;
    for (const auto& st : steps) {
        s = st.text;
        EXPECT_EQ(st.cap, s.capacity());
        EXPECT_EQ(std::u16string(st.text), U16(s));
        ExpectTerminated(s);
    }
    s.append(u"cd");
    EXPECT_EQ(8u, s.capacity());
    s.clear();
    EXPECT_EQ(0u, s.capacity());
    ExpectTerminated(s);
}

TEST(StrUtf16, Comparisons) {
    vn::strutf16 a(u"abc"), ab(u"ab"), e;
    EXPECT_EQ(u"\u4e2d\u6587", U16(vn::strutf16(vn::strutf8("\xe4\xb8\xad\xe6\x96\x87"))));
    vn::strutf16 s(u"abcdefg");
    s = s.c_str() + 4;  // from inside itself
    s.append(s);
    EXPECT_EQ(u"efgefg", U16(s));
    EXPECT_TRUE(ab < a);
    EXPECT_FALSE(a < ab);
    EXPECT_TRUE(e < ab);
    EXPECT_FALSE(e < e);
    // Unit order, not byte order: U+00FF before U+0100.
    EXPECT_TRUE(vn::strutf16(u"\u00ff") < vn::strutf16(u"\u0100"));
    EXPECT_FALSE(vn::strutf16(u"\u0100") < vn::strutf16(u"\u00ff"));
    // Equality covers units past a zero unit.
    EXPECT_FALSE(vn::strutf16(u"a\0b", 3) == vn::strutf16(u"a\0c", 3));
}

TEST(StrUtf16, TrimRemovesOnlySpace) {
    vn::strutf16 s(u" \tx\r\n");
    s.trim();
    EXPECT_EQ(u"\tx\r\n", U16(s));
    s = u"  a  ";
    s.trimleft();
    EXPECT_EQ(u"a  ", U16(s));
    s.trimright();
    EXPECT_EQ(u"a", U16(s));
    s = u"   ";
    s.trim();
    EXPECT_EQ(0u, s.capacity());
}

TEST(StrUtf16, CaseMappingAsciiOnly) {
    vn::strutf16 s(u"Hello \u00c4\u00e4 \u0130 World");
    s.tolower();
    EXPECT_EQ(u"hello \u00c4\u00e4 \u0130 world", U16(s));
    s.toupper();
    EXPECT_EQ(u"HELLO \u00c4\u00e4 \u0130 WORLD", U16(s));
}

// ---------------------------------------------------------------------------------------
// stream

TEST(Stream, FormsEqualityAndBits) {
    vn::stream w(u"AB");
    EXPECT_EQ(4u, w.size());
    EXPECT_EQ(0, memcmp(w.c_str(), u"AB", 4));
    ExpectTerminated(w);
    vn::stream s;
    s = vn::strutf8("utf8");
    s.append(reinterpret_cast<const unsigned char*>("\0\1"), 2);
    EXPECT_EQ(std::string("utf8\0\1", 6), Bytes(s));
    EXPECT_FALSE(vn::stream("ab") == vn::stream("abc"));
    EXPECT_TRUE(vn::stream() == vn::stream(""));
    // Bit 0 is the high bit of the first byte; beyond the last byte reads as clear.
    const unsigned char two[] = {0x81, 0x40};
    vn::stream t(two, 2);
    const unsigned set[] = {0, 7, 9}, clear[] = {1, 6, 8, 15, 16, 0xFFFFFFFFu};
    for (unsigned b : set)
        EXPECT_TRUE(t.bits(b)) << b;
    for (unsigned b : clear)
        EXPECT_FALSE(t.bits(b)) << b;
    EXPECT_FALSE(vn::stream().bits(0));
}

TEST(StrUtf16, ConstructionAndAssignment) {
    EXPECT_EQ(u"h\u00e9", U16(vn::strutf16("h\xc3\xa9")));
    EXPECT_EQ(u"h", U16(vn::strutf16("h\xc3\xa9", 1)));
    EXPECT_EQ(u"ab", U16(vn::strutf16(u"abc", 2)));
    EXPECT_EQ(u"", U16(vn::strutf16(static_cast<const char16_t*>(nullptr))));
    EXPECT_EQ(u"", U16(vn::strutf16(static_cast<const char*>(nullptr))));
    EXPECT_EQ(u"\u4e2d\u6587", U16(vn::strutf16(vn::strutf8("\xe4\xb8\xad\xe6\x96\x87"))));
    vn::strutf16 s;
    s = "x\xc3\xa9";
    EXPECT_EQ(u"x\u00e9", U16(s));
    s = vn::strutf8("yz");
    EXPECT_EQ(u"yz", U16(s));
    s = vn::strutf8();
    EXPECT_EQ(0u, s.capacity());
    s = static_cast<const char*>(nullptr);
    EXPECT_EQ(0u, s.length());
    vn::strutf16 t(u"copy");
    s = t;
    EXPECT_EQ(u"copy", U16(s));
    EXPECT_NE(s.c_str(), t.c_str());
    s.assign(u"abcdef", 3);
    EXPECT_EQ(u"abc", U16(s));
    s += u"de";
    s += vn::strutf16(u"f");
    s.append(u"ghi", 1);
    EXPECT_EQ(u"abcdefg", U16(s));
    s = s.c_str() + 4;  // from inside itself
    EXPECT_EQ(u"efg", U16(s));
    s.append(s);
    EXPECT_EQ(u"efgefg", U16(s));
    char16_t* p = s;
    EXPECT_EQ(p, s.data());
    EXPECT_EQ(u'f', s.at(1));
    EXPECT_EQ(u'g', s[2]);
}

TEST(StrUtf16, Find) {
    vn::strutf16 s(u"hello world, hello");
    EXPECT_EQ(13, s.find(u"hello", 13));
    EXPECT_EQ(-1, s.find(nullptr));
    EXPECT_EQ(-1, s.find(u"HELLO"));
    EXPECT_EQ(3, s.find(u"", 3));
    // The random rounds: text and pattern over "abc", every start up to past the end.
    std::mt19937 rng(7);
    for (int round = 0; round < 5000; ++round) {
        std::u16string text, pat;
        for (int i = rng() % 30; i > 0; --i)
            text += (char16_t)(u'a' + rng() % 3);
        for (int i = 1 + rng() % 3; i > 0; --i)
            pat += (char16_t)(u'a' + rng() % 3);
        unsigned start = rng() % (text.size() + 2);
        vn::strutf16 w(text.c_str(), (unsigned)text.size());
        int expect = -1;
        if (start + pat.size() <= text.size()) {
            size_t r = text.find(pat, start);
            expect = r == std::u16string::npos ? -1 : (int)r;
        }
        ASSERT_EQ(expect, w.find(pat.c_str(), start));
    }
}

TEST(Stream, ConstructionForms) {
    const unsigned char raw[] = {0x00, 0x01, 0xFF};
    vn::stream a(raw, 3);
    EXPECT_EQ(3u, a.size());
    EXPECT_EQ(8u, a.capacity());
    EXPECT_EQ(std::string("\x00\x01\xff", 3), Bytes(a));
    ExpectTerminated(a);
    EXPECT_EQ("abc", Bytes(vn::stream("abc")));
    EXPECT_EQ("ab", Bytes(vn::stream("abc", 2)));
    vn::stream w(u"AB");
    EXPECT_EQ(4u, w.size());
    EXPECT_EQ(0, memcmp(w.c_str(), u"AB", 4));
    vn::stream w1(u"ABC", 1);
    EXPECT_EQ(2u, w1.size());
    vn::stream c(a);
    EXPECT_TRUE(c == a);
    EXPECT_NE(c.c_str(), a.c_str());
    EXPECT_EQ(0u, vn::stream(static_cast<const unsigned char*>(nullptr), 5).size());
    EXPECT_EQ(0u, vn::stream(raw, 0).capacity());
}

TEST(Stream, AssignmentForms) {
    vn::stream s;
    s = "hello";
    EXPECT_EQ("hello", Bytes(s));
    s = vn::strutf8("utf8");
    EXPECT_EQ("utf8", Bytes(s));
    s = vn::strutf16(u"xy");
    EXPECT_EQ(4u, s.size());
    EXPECT_EQ(0, memcmp(s.c_str(), u"xy", 4));
    s = vn::strutf16();
    EXPECT_EQ(0u, s.capacity());
    const unsigned char raw[] = {1, 2, 3, 4};
    s.assign(raw, 4);
    s.append(raw, 2);
    s += vn::stream("z");
    EXPECT_EQ(std::string("\x01\x02\x03\x04\x01\x02z", 7), Bytes(s));
    EXPECT_EQ(8u, s.capacity());
    unsigned char* p = s;
    EXPECT_EQ(p, s.data());
    EXPECT_EQ(3, s.at(2));
    EXPECT_EQ('z', s[6]);
    s.resize(2);
    EXPECT_EQ(4u, s.capacity());
    ExpectTerminated(s);
    s = static_cast<const char*>(nullptr);
    EXPECT_EQ(0u, s.capacity());
}

}  // namespace
