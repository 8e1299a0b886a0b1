// vn::strutf8: the growth policy field by field, every operation's edge cases, and
// randomised differential checks against std::string.
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

// ---------------------------------------------------------------------------------------
// Growth and shrink policy

TEST(BufferPolicy, EachStepLeavesTheCapacityItMust) {
    // One value through all steps (each assigned `from` first, where given): a full buffer
    // grows to the power of two above the length, one used below a quarter shrinks by
    // halves (7 < 8 shrinks 16 to 8, 4 < 4 keeps 8), and every way to length 0 frees it.
    typedef void (*Step)(vn::strutf8&);
    const struct {
        const char* from;
        Step step;
        unsigned cap;
        const char* text;
    } steps[] = {
        {"abc", [](vn::strutf8&) {}, 8, "abc"},
        {"abcdefgh", [](vn::strutf8&) {}, 16, "abcdefgh"},
        {"ab", [](vn::strutf8&) {}, 4, "ab"},
        {"abcdefg", [](vn::strutf8&) {}, 16, "abcdefg"},
        {"abcdef", [](vn::strutf8&) {}, 8, "abcdef"},
        {"abc", [](vn::strutf8&) {}, 8, "abc"},
        {"a", [](vn::strutf8&) {}, 4, "a"},
        {nullptr, [](vn::strutf8& s) { s.clear(); }, 0, ""},
        {nullptr, [](vn::strutf8& s) { s.reserve(5); }, 8, ""},  // a buffer, terminated
        {"ab", [](vn::strutf8& s) { s.append("c"); }, 4, "abc"},
        {nullptr, [](vn::strutf8& s) { s.append("d"); }, 8, "abcd"},
        {nullptr, [](vn::strutf8& s) { s.append("efgh"); }, 16, "abcdefgh"},
        {nullptr, [](vn::strutf8& s) { s.reserve(1000); }, 1024, "abcdefgh"},
        {nullptr, [](vn::strutf8& s) { s.append("i"); }, 1024, "abcdefghi"},
        {nullptr, [](vn::strutf8& s) { s.reserve(10); }, 1024, "abcdefghi"},  // never shrinks
        {"", [](vn::strutf8&) {}, 0, ""},
        {"abc", [](vn::strutf8& s) { s = static_cast<const char*>(nullptr); }, 0, ""},
        {" \t\r\n ", [](vn::strutf8& s) { s.trim(); }, 0, ""},
        {nullptr, [](vn::strutf8& s) { s.assign("xyz", 0); }, 8, "xyz"},  // 0 means strlen
        {nullptr, [](vn::strutf8& s) { s.assign(nullptr, 3); }, 0, ""},
        {"abc", [](vn::strutf8& s) { s.replace(0, 3, ""); }, 0, ""},
        {"abc", [](vn::strutf8& s) { s.replace(1, 2, nullptr); }, 4, "a"},
        {nullptr, [](vn::strutf8& s) { s = vn::strutf8("abcdef").substr(0, 2); }, 4, "ab"},
        {nullptr, [](vn::strutf8& s) { s.resize(0); }, 0, ""},
    };
    vn::strutf8 s;
    for (const auto& st : steps) {
        SCOPED_TRACE(testing::Message() << st.from << " -> " << st.text);
        if (st.from) s = st.from;
        st.step(s);
        ExpectState(s, st.cap, st.text);
    }
    s = "xy";
    EXPECT_EQ(100u, s.resize(100));
    EXPECT_EQ(128u, s.capacity());
    EXPECT_EQ('y', s[1]);
    EXPECT_EQ(10u, s.resize(10));  // 11 < 64: shrink(11)
    EXPECT_EQ(16u, s.capacity());
    ExpectWellFormed(s);
}

TEST(BufferPolicy, CopiesAreDeepAndMovesTransfer) {
    vn::strutf8 a("hello"), b(a);
    b[0] = 'j';
    EXPECT_EQ("hello", Str(a));
    const char* p = b.c_str();
    vn::strutf8 c(static_cast<vn::strutf8&&>(b));
    ExpectState(b, 0, "");
    a = static_cast<vn::strutf8&&>(c);
    EXPECT_EQ(p, a.c_str());
    ExpectState(c, 0, "");
    const vn::strutf8& self = a;
    a = self;  // self-assignment keeps the value
    EXPECT_EQ("jello", Str(a));
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
    s[1] = 'X';
    EXPECT_EQ('X', s.at(1));
    EXPECT_EQ(static_cast<char*>(s), s.data());
    vn::strutf8 e;
    EXPECT_EQ('\0', e[0]);  // the terminator, even without a buffer
    EXPECT_EQ('\0', static_cast<const vn::strutf8&>(e).at(0));
    EXPECT_STREQ("", static_cast<const char*>(e));
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
    s.trimleft();
    EXPECT_EQ("a b  ", Str(s));
    s.trimright();
    EXPECT_EQ("a b", Str(s));

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
        s.tolower();
        EXPECT_EQ(c.lower, Str(s)) << c.in;
        s = c.in;
        s.toupper();
        EXPECT_EQ(c.upper, Str(s)) << c.in;
    }
    vn::strutf8 e;
    e.toupper();
    ExpectState(e, 0, "");
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
    EXPECT_EQ(524287u, s.length());
    ExpectWellFormed(s);
    EXPECT_EQ(0u, s.format("%*s", 524288, ""));
    ExpectState(s, 0, "");
}

// ---------------------------------------------------------------------------------------
// Differential checks against std::string

class StrUtf8Differential : public ::testing::Test {
protected:
    std::mt19937 rng{20240611};

    // Up to maxlen bytes over a small alphabet with blanks, so that patterns match often.
    std::string RandomText(size_t maxlen) {
        std::string s(rng() % (maxlen + 1), ' ');
        for (char& c : s)
            c = "abAB \t\r\nc"[rng() % 9];
        return s;
    }
    unsigned Pick(unsigned hi) { return rng() % (hi + 1); }
    static std::string Upper(std::string s) {
        std::transform(s.begin(), s.end(), s.begin(), ::toupper);
        return s;
    }
};

TEST_F(StrUtf8Differential, FindAndReverseFind) {
    // The expected index from std::string, or -1; `upper` compares case-blind.
    auto expect = [](const std::string& text, const std::string& pat, bool upper, bool reverse,
                     long long at) {
        if (at < 0 || (reverse ? pat.empty() : (size_t)at >= text.size())) return -1;
        std::string t = upper ? Upper(text) : text, p = upper ? Upper(pat) : pat;
        size_t r = reverse ? t.rfind(p, (size_t)at) : t.find(p, (size_t)at);
        return r == std::string::npos ? -1 : (int)r;
    };
    for (int round = 0; round < 20000; ++round) {
        std::string text = RandomText(40);
        std::string pat = RandomText(round % 10 == 0 ? 60 : 4);
        unsigned start = Pick((unsigned)text.size() + 2);
        vn::strutf8 s(text.c_str(), (unsigned)text.size());
        // reversefind's position counts back from the end: the match ends that many
        // bytes before it.
        long long last = (long long)text.size() - start - (long long)pat.size();
        for (bool upper : {false, true}) {
            ASSERT_EQ(expect(text, pat, upper, false, start), s.find(pat.c_str(), start, upper))
                << "text '" << text << "' pat '" << pat << "' start " << start;
            ASSERT_EQ(expect(text, pat, upper, true, last),
                      s.reversefind(pat.c_str(), start, upper))
                << "text '" << text << "' pat '" << pat << "' pos " << start;
        }
    }
}

TEST_F(StrUtf8Differential, SubstrReplaceTrim) {
    for (int round = 0; round < 20000; ++round) {
        std::string text = RandomText(40);
        vn::strutf8 s(text.c_str(), (unsigned)text.size());
        unsigned pos = Pick((unsigned)text.size() + 2);
        unsigned n = round % 7 == 0 ? (unsigned)-1 : Pick((unsigned)text.size() + 2);

        vn::strutf8 sub = s.substr(pos, n);
        std::string esub;
        if (pos <= text.size()) {
            if (n == (unsigned)-1)
                esub = text.substr(pos);
            else if ((unsigned long long)pos + n <= text.size())
                esub = text.substr(pos, n);
        }
        ASSERT_EQ(esub, Str(sub));
        ExpectWellFormed(sub);

        std::string rep = RandomText(12);
        unsigned rn = Pick((unsigned)text.size() + 2);
        std::string etext = text;
        if ((unsigned long long)pos + rn <= text.size()) etext.replace(pos, rn, rep);
        s.replace(pos, rn, rep.c_str());
        ASSERT_EQ(etext, Str(s));
        ExpectWellFormed(s);

        bool right = round & 1, left = round & 2;
        static const char kWs[] = " \r\n\t";
        std::string et = etext;
        if (right) {
            size_t e = et.find_last_not_of(kWs);
            et = e == std::string::npos ? std::string() : et.substr(0, e + 1);
        }
        if (left) {
            size_t b = et.find_first_not_of(kWs);
            et = b == std::string::npos ? std::string() : et.substr(b);
        }
        s.trim(right, left);
        ASSERT_EQ(et, Str(s));
        ExpectWellFormed(s);
    }
}

}  // namespace
