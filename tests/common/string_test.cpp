// vn::strutf8, vn::strutf16 and vn::stream: the shared growth policy field by field, every
// operation's edge cases, and randomised differential checks against std::string.
#include "common/vnstream.h"

#include <gtest/gtest.h>
#include <string.h>

#include <algorithm>
#include <random>
#include <string>

namespace {

// Invariants every value keeps: no buffer exactly when capacity is 0 (and then length 0),
// capacity a power of two above the length, a zero unit at index length.
void ExpectWellFormed(const vn::strutf8& s) {
    if (s.capacity() == 0) {
        EXPECT_EQ(0u, s.length());
        ASSERT_NE(nullptr, s.c_str());
        EXPECT_EQ('\0', s.c_str()[0]);
        return;
    }
    EXPECT_EQ(0u, s.capacity() & (s.capacity() - 1)) << "capacity " << s.capacity();
    EXPECT_LT(s.length(), s.capacity());
    EXPECT_EQ('\0', s.c_str()[s.length()]);
}

void ExpectState(const vn::strutf8& s, unsigned cap, const std::string& text) {
    EXPECT_EQ(cap, s.capacity());
    EXPECT_EQ(text.size(), s.length());
    EXPECT_EQ(text, std::string(s.c_str(), s.length()));
    ExpectWellFormed(s);
}

std::string Str(const vn::strutf8& s) {
    return std::string(s.c_str(), s.length());
}

std::u16string U16(const vn::strutf16& s) {
    return std::u16string(s.c_str(), s.length());
}

// ---------------------------------------------------------------------------------------
// Growth and shrink policy

TEST(BufferPolicy, EachStepLeavesTheCapacityItMust) {
    // A full buffer grows to the power of two above the length, one used below a quarter
    // shrinks by halves, reserve never shrinks, and length 0 frees the buffer.
    vn::strutf8 s("abcdefgh");
    ExpectState(s, 16, "abcdefgh");
    s = "ab";
    ExpectState(s, 4, "ab");
    s.reserve(1000);
    s.reserve(10);
    ExpectState(s, 1024, "ab");
    s = "";
    ExpectState(s, 0, "");
    s.reserve(5);  // a buffer, terminated
    ExpectState(s, 8, "");
    s.assign("xyz", 0);  // 0 means strlen
    ExpectState(s, 8, "xyz");
    s.assign(nullptr, 3);
    ExpectState(s, 0, "");
    s = "abc";
    s.replace(1, 2, nullptr);
    ExpectState(s, 4, "a");
    s.resize(0);
    ExpectState(s, 0, "");
}

TEST(BufferPolicy, SourcesInsideTheBufferAreSafe) {
    vn::strutf8 s("abcdefghijklmnop");
    s = s.c_str() + 10;  // "klmnop", shrinks while reading itself
    ExpectState(s, 8, "klmnop");
    s.append(s);
    EXPECT_EQ("klmnopklmnop", Str(s));
    s.append(s.c_str(), 4);
    EXPECT_EQ("klmnopklmnopklmn", Str(s));
    s.replace(0, 1, s.c_str() + 1);
    EXPECT_EQ("lmnopklmnopklmnlmnopklmnopklmn", Str(s));
    s.format("%s|%s", s.c_str(), s.c_str());
    EXPECT_EQ("lmnopklmnopklmnlmnopklmnopklmn|lmnopklmnopklmnlmnopklmnopklmn", Str(s));
    std::string big(3000, 'q');
    s = big.c_str();
    s.format("%s%s", s.c_str(), "!");  // long path, larger than the stack attempt
    EXPECT_EQ(big + "!", Str(s));
    ExpectWellFormed(s);
}

TEST(BufferPolicyDeathTest, SizeLimitAbortsInEveryBuild) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    vn::strutf8 s("a");
    EXPECT_DEATH(s.resize(0x7FFFFFFFu), "size limit exceeded");
    vn::strutf16 w(u"a");
    EXPECT_DEATH(w.resize(0x3FFFFFFFu), "size limit exceeded");
}

// ---------------------------------------------------------------------------------------
// Construction, comparison, access

TEST(StrUtf8, ConstructionAppendAndAccess) {
    ExpectState(vn::strutf8("hello", 3), 8, "hel");
    ExpectState(vn::strutf8(u"h\u00e9", 0), 8, "h\xc3\xa9");
    ExpectState(vn::strutf8(u"h\u00e9llo", 2), 8, "h\xc3\xa9");
    vn::strutf16 w(u"\u4e2d");
    ExpectState(vn::strutf8(w), 8, "\xe4\xb8\xad");
    vn::strutf8 s;
    s = w;
    EXPECT_EQ("\xe4\xb8\xad", Str(s));
    s = vn::strutf16();
    ExpectState(s, 0, "");
    s = "ab";
    s += "cd";
    s += vn::strutf8("ef");
    s.append("ghij", 2);
    vn::strutf8 src("0123456789");
    s.append(src, 8, 2);
    s.append(src, 8, 3);  // beyond the source: nothing
    s.append(src, 11, 0);
    s.append(nullptr);
    EXPECT_EQ("abcdefgh89!?", Str(s + "!" + vn::strutf8("?")));
    // Copies are deep; self-assignment keeps the value.
    vn::strutf8 c(s);
    c[0] = 'j';
    const vn::strutf8& self = c;
    c = self;
    EXPECT_TRUE(Str(c) == "jbcdefgh89" && s[0] == 'a');
}

TEST(StrUtf8, Comparisons) {
    vn::strutf8 a("abc"), b("abd"), e, r;
    EXPECT_TRUE(a == "abc" && !(a == "ab") && e == static_cast<const char*>(nullptr));
    EXPECT_TRUE(a != b && a < b && !(b < a) && e < a && !(e < e));
    r.reserve(4);  // a reserved empty string has a buffer and sorts after one without
    EXPECT_TRUE(e < r && !(r < e));
    // Equality sees bytes past a zero byte; strcmp-based order does not.
    vn::strutf8 z1("a\0b", 3), z2("a\0c", 3);
    EXPECT_TRUE(!(z1 == z2) && z1 == "a");
    EXPECT_TRUE(a.compare("abd") < 0 && a.compare(nullptr) > 0 && e.compare(nullptr) == 0);
    vn::strutf8 h("hello world");
    const struct {
        unsigned pos, n;
        const char* other;
        int sign;
    } cases[] = {{6, 5, "world", 0}, {0, 4, "hello", -1}, {0, 5, nullptr, 1},
                 {7, 5, "orld", -1}, {~0u, 2, "he", -1},  {11, 0, nullptr, 0}};
    for (const auto& c : cases) {
        int got = h.compare(c.pos, c.n, vn::strutf8(c.other));
        EXPECT_EQ(c.sign, (got > 0) - (got < 0)) << c.pos << " " << c.n;
    }
    EXPECT_TRUE(h.equals("hello world") && !h.equals("hello") && !e.equals(""));
    EXPECT_TRUE(h.startswith("hello world") && !h.startswith("hello world!"));
    EXPECT_FALSE(h.startswith("") || h.startswith(nullptr));
    EXPECT_TRUE(h.endswith("world") && !h.endswith("worl"));
    EXPECT_FALSE(h.endswith("xhello world") || h.endswith(""));
}

// ---------------------------------------------------------------------------------------
// Searching and editing: what the differential checks below do not reach (null patterns,
// bytes above 0x7F, patterns long enough for the heap table, KMP fall-backs).

TEST(StrUtf8, FindBeyondTheRandomAlphabet) {
    EXPECT_EQ(-1, vn::strutf8("abc").find(nullptr));
    EXPECT_EQ(-1, vn::strutf8("abc").reversefind(nullptr));
    EXPECT_EQ(4, vn::strutf8("abababca").find("abca"));
    EXPECT_EQ(3, vn::strutf8("aabaabaaab").find("aabaaab"));
    // Bytes >= 0x80 are compared as they are, never folded.
    EXPECT_EQ(-1, vn::strutf8("\xc3\xa4").find("\xc3\x84", 0, true));
    EXPECT_EQ(1, vn::strutf8("x\xc3\xa4").find("\xc3\xa4", 0, true));

    std::string pat = std::string(60, 'a') + 'b';
    std::string text = std::string(200, 'a') + 'b' + std::string(10, 'a');
    vn::strutf8 s(text.c_str());
    EXPECT_EQ((int)text.find(pat), s.find(pat.c_str()));
    std::string upat(60, 'A');
    EXPECT_EQ((int)text.find(pat), s.find((upat + 'B').c_str(), 0, true));
    EXPECT_EQ(-1, s.find((pat + "a" + std::string(200, 'a')).c_str()));
}

TEST(StrUtf8, TrimSidesAndCaseMapping) {
    vn::strutf8 s("  a b  ");
    EXPECT_EQ("a b  ", Str(s.trimleft()));
    EXPECT_EQ("a b", Str(s.trimright()));

    // ASCII letters change; multi-byte sequences (UTF-8 of 2, 3 and 4 bytes, a GBK pair
    // whose trail byte is a letter) are skipped whole; a lead at the end stops there.
    const struct {
        const char* in;
        const char* lower;
        const char* upper;
    } cases[] = {
        {"Hello, World 123", "hello, world 123", "HELLO, WORLD 123"},
        {"ÄbC", "Äbc", "ÄBC"},
        {"\201Ab", "\201Ab", "\201AB"},  // GBK pair with a letter as trail byte
        {"中Aa", "中aa", "中AA"},
        {"😀Ab", "😀ab", "😀AB"},
        {"A\344", "a\344", "A\344"},  // a lead byte at the end
    };
    for (const auto& c : cases) {
        s = c.in;
        EXPECT_EQ(c.lower, Str(s.tolower())) << c.in;
        s = c.in;
        EXPECT_EQ(c.upper, Str(s.toupper())) << c.in;
    }
    vn::strutf8 e;
    ExpectState(e.toupper(), 0, "");
}

// ---------------------------------------------------------------------------------------
// format

TEST(StrUtf8, FormatTrialSizesAndLimit) {
    vn::strutf8 s;
    EXPECT_EQ(8u, s.format("id=%d %s", 42, "ok"));
    ExpectState(s, 16, "id=42 ok");
    // Just under the first trial size: the buffer resized to 1024 keeps capacity 2048;
    // one less and 1023 < 1024 shrinks it to 1024.
    std::string t(1023, 'x');
    EXPECT_EQ(1023u, s.format("%s", t.c_str()));
    ExpectState(s, 2048, t);
    t.pop_back();
    s.format("%s", t.c_str());
    ExpectState(s, 1024, t);
    s.format(nullptr);
    ExpectState(s, 0, "");
    // Above the first trial size; then a trial starting at the current length.
    t.assign(5000, 'z');
    EXPECT_EQ(5001u, s.format("%s!", t.c_str()));
    EXPECT_EQ(t + "!", Str(s));
    EXPECT_EQ(2u, s.format("%d", 42));
    ExpectState(s, 4, "42");
    // The limit: 524287 bytes fit, one more empties the value.
    EXPECT_EQ(524287u, s.format("%*s", 524287, ""));
    ExpectWellFormed(s);
    EXPECT_EQ(0u, s.format("%*s", 524288, ""));
    ExpectState(s, 0, "");
}

// ---------------------------------------------------------------------------------------
// Differential checks against std::string

// Random texts over a small alphabet with blanks, so that patterns match often: each round
// checks find and reversefind (case-blind or not), the same search on 16-bit units, substr,
// replace and trim against std::string.
TEST(StringDifferential, MatchesStdString) {
    std::mt19937 rng(20240611);
    auto random_text = [&rng](size_t maxlen) {
        std::string s(rng() % (maxlen + 1), ' ');
        for (char& c : s)
            c = "abAB \t\r\nc"[rng() % 9];
        return s;
    };
    // The expected index from std::string, or -1; `fold` compares case-blind.
    auto expect = [](std::string text, std::string pat, bool fold, bool reverse, long long at) {
        if (at < 0 || (reverse ? pat.empty() : (size_t)at >= text.size())) return -1;
        if (fold) {
            std::transform(text.begin(), text.end(), text.begin(), ::toupper);
            std::transform(pat.begin(), pat.end(), pat.begin(), ::toupper);
        }
        size_t r = reverse ? text.rfind(pat, (size_t)at) : text.find(pat, (size_t)at);
        return r == std::string::npos ? -1 : (int)r;
    };
    for (int round = 0; round < 20000; ++round) {
        const std::string text = random_text(40), pat = random_text(round % 10 == 0 ? 60 : 4);
        const unsigned size = (unsigned)text.size(), start = rng() % (size + 3);
        const unsigned n = round % 7 == 0 ? (unsigned)-1 : rng() % (size + 3);
        SCOPED_TRACE(testing::Message()
                     << "'" << text << "' '" << pat << "' " << start << " " << n);
        vn::strutf8 s(text.c_str(), size);
        // reversefind's position counts back from the end: the match ends that many
        // bytes before it.
        const long long last = (long long)size - start - (long long)pat.size();
        for (bool fold : {false, true}) {
            ASSERT_EQ(expect(text, pat, fold, false, start), s.find(pat.c_str(), start, fold));
            ASSERT_EQ(expect(text, pat, fold, true, last), s.reversefind(pat.c_str(), start, fold));
        }
        const std::u16string t16(text.begin(), text.end()), p16(pat.begin(), pat.end());
        const size_t r16 = start + p16.size() <= size ? t16.find(p16, start) : t16.npos;
        ASSERT_EQ(r16 == t16.npos ? -1 : (int)r16,
                  vn::strutf16(t16.c_str(), size).find(p16.c_str(), start));

        vn::strutf8 sub = s.substr(start, n);
        const bool whole = n == (unsigned)-1 && start <= size;
        ASSERT_EQ(whole || (unsigned long long)start + n <= size ? text.substr(start, n) : "",
                  Str(sub));
        ExpectWellFormed(sub);
        std::string etext = text;
        if ((unsigned long long)start + n <= size) etext.replace(start, n, pat);
        s.replace(start, n, pat.c_str());
        ASSERT_EQ(etext, Str(s));
        ExpectWellFormed(s);
        const bool right = round & 1, left = round & 2;
        if (right) etext.erase(etext.find_last_not_of(" \r\n\t") + 1);  // npos + 1: all
        if (left) etext.erase(0, etext.find_first_not_of(" \r\n\t"));
        ASSERT_EQ(etext, Str(s.trim(right, left)));
        ExpectWellFormed(s);
    }
}

// ---------------------------------------------------------------------------------------
// vn::strutf16 and vn::stream: each type's own forms, order, search, trimming and bits

std::string Bytes(const vn::stream& s) {
    return std::string(reinterpret_cast<const char*>(s.c_str()), s.size());
}

TEST(StrUtf16, PolicyFormsAndSourcesInsideTheBuffer) {
    // Capacities count units: the same steps as for bytes.
    vn::strutf16 s(u"abcdefgh");
    EXPECT_EQ(16u, s.capacity());
    s = u"ab";
    EXPECT_TRUE(s.capacity() == 4 && s.c_str()[2] == 0) << s.capacity();
    EXPECT_EQ(u"h", U16(vn::strutf16("h\xc3\xa9", 1)));
    EXPECT_EQ(u"h\u00e9", U16(vn::strutf16("h\xc3\xa9", 0)));
    EXPECT_EQ(u"", U16(vn::strutf16(static_cast<const char16_t*>(nullptr))));
    EXPECT_EQ(u"", U16(vn::strutf16(static_cast<const char*>(nullptr))));
    EXPECT_EQ(u"\u4e2d\u6587", U16(vn::strutf16(vn::strutf8("\xe4\xb8\xad\xe6\x96\x87"))));
    s = "x\xc3\xa9";
    EXPECT_EQ(u"x\u00e9", U16(s));
    s.assign(u"abcdef", 3);
    s += u"de";
    s += vn::strutf16(u"f");
    s.append(u"ghi", 1);
    s = s.c_str() + 4;  // from inside itself
    s.append(s);
    EXPECT_EQ(u"efgefg", U16(s));
}

TEST(StrUtf16, OrderFindTrimAndAsciiCase) {
    vn::strutf16 a(u"abc"), ab(u"ab"), e;
    EXPECT_TRUE(ab < a && !(a < ab) && e < ab && !(e < e));
    // Unit order, not byte order: U+00FF before U+0100; equality sees past a zero unit.
    EXPECT_TRUE(vn::strutf16(u"\u00ff") < vn::strutf16(u"\u0100"));
    EXPECT_FALSE(vn::strutf16(u"\u0100") < vn::strutf16(u"\u00ff"));
    EXPECT_FALSE(vn::strutf16(u"a\0b", 3) == vn::strutf16(u"a\0c", 3));
    vn::strutf16 s(u" \tx\r\n");
    EXPECT_TRUE(s.find(nullptr) == -1 && s.find(u"", 3) == 3);
    EXPECT_EQ(u"\tx\r\n", U16(s.trim()));  // only spaces
    s = u"  a  ";
    EXPECT_EQ(u"a", U16(s.trimleft().trimright()));
    s = u"   ";
    EXPECT_EQ(0u, s.trim().capacity());
    s = u"Hello \u00c4\u00e4 \u0130 World";
    EXPECT_EQ(u"hello \u00c4\u00e4 \u0130 world", U16(s.tolower()));
    EXPECT_EQ(u"HELLO \u00c4\u00e4 \u0130 WORLD", U16(s.toupper()));
}

TEST(Stream, FormsEqualityAndBits) {
    const unsigned char raw[] = {0x00, 0x01, 0xFF, 0x04};
    vn::stream a(raw, 3), s;
    EXPECT_EQ(std::string("\x00\x01\xff", 3), Bytes(a));
    EXPECT_EQ("ab", Bytes(vn::stream("abc", 2)));
    EXPECT_EQ(std::string("A\0B\0", 4), Bytes(vn::stream(u"AB")));
    EXPECT_EQ(2u, vn::stream(u"ABC", 1).size());
    EXPECT_EQ(0u, vn::stream(static_cast<const unsigned char*>(nullptr), 5).size());
    EXPECT_EQ(0u, vn::stream(raw, 0).capacity());
    s = vn::strutf16(u"xy");
    EXPECT_EQ(std::string("x\0y\0", 4), Bytes(s));
    s.assign(raw + 1, 3);
    s.append(raw, 2);
    s += vn::stream("z");
    EXPECT_EQ(std::string("\x01\xff\x04\x00\x01z", 6), Bytes(s));
    s.resize(2);
    EXPECT_EQ(4u, s.capacity());
    EXPECT_EQ(0, s[2]);
    s = static_cast<const char*>(nullptr);
    EXPECT_EQ(0u, s.capacity());
    // Bit 0 is the high bit of the first byte; beyond the last byte reads as clear.
    const unsigned char two[] = {0x81, 0x40};
    vn::stream t(two, 2);
    std::string bits;
    for (unsigned b = 0; b <= 16; ++b)
        bits += t.bits(b) ? '1' : '0';
    EXPECT_EQ("10000001010000000", bits);
    EXPECT_FALSE(t.bits(0xFFFFFFFFu) || vn::stream().bits(0));
}

}  // namespace
