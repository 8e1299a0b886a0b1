// vn::strutf8 and vn::strutf16: text operations on top of the shared storage.
#include "common/vnstring.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "common/vnconv.h"

namespace vn {

namespace {

// ASCII-only case folding: a-z onto A-Z, everything else unchanged.
inline unsigned char fold_upper(unsigned char c) {
    return (c >= 'a' && c <= 'z') ? (unsigned char)(c - 'a' + 'A') : c;
}

inline bool is_trim8(char c) {
    return c == ' ' || c == '\r' || c == '\n' || c == '\t';
}

inline size_t u16len(const char16_t* s) {
    return std::char_traits<char16_t>::length(s);
}

// Failure tables of up to this many entries stay on the stack.
const size_t kStackPattern = 50;

// KMP failure table: fail[k] is the length of the longest proper prefix of p[0..k] that
// is also its suffix (comparing through fold when ignorecase).
void kmp_table(const unsigned char* p, size_t m, bool ignorecase, unsigned* fail) {
    fail[0] = 0;
    size_t k = 0;
    for (size_t q = 1; q < m; ++q) {
        unsigned char c = ignorecase ? fold_upper(p[q]) : p[q];
        while (k > 0 && (ignorecase ? fold_upper(p[k]) : p[k]) != c)
            k = fail[k - 1];
        if ((ignorecase ? fold_upper(p[k]) : p[k]) == c) ++k;
        fail[q] = (unsigned)k;
    }
}

// First match of p (m >= 1 bytes) in t[start, n), or -1. Linear in n + m: the text
// index never moves back. With q == 0 the case-sensitive search lets memchr skip to the
// next candidate for the first byte, which is where most of the text is passed over.
long kmp_search(const unsigned char* t, size_t n, size_t start, const unsigned char* p, size_t m,
                bool ignorecase, const unsigned* fail) {
    size_t i = start;
    size_t q = 0;
    const unsigned char p0 = ignorecase ? fold_upper(p[0]) : p[0];
    while (i < n) {
        if (q == 0) {
            if (n - i < m) return -1;
            size_t last = n - m;  // last index where a match can start
            if (!ignorecase) {
                const void* f = memchr(t + i, p0, last - i + 1);
                if (!f) return -1;
                i = (size_t)(static_cast<const unsigned char*>(f) - t);
            } else {
                while (i <= last && fold_upper(t[i]) != p0)
                    ++i;
                if (i > last) return -1;
            }
            ++i;
            q = 1;
        } else {
            unsigned char c = ignorecase ? fold_upper(t[i]) : t[i];
            unsigned char pc = ignorecase ? fold_upper(p[q]) : p[q];
            if (c == pc) {
                ++i;
                ++q;
            } else {
                q = fail[q - 1];
                continue;
            }
        }
        if (q == m) return (long)(i - m);
    }
    return -1;
}

bool match_at(const char* t, const char* s, size_t m, bool ignorecase) {
    if (!ignorecase) return memcmp(t, s, m) == 0;
    for (size_t k = 0; k < m; ++k) {
        if (fold_upper((unsigned char)t[k]) != fold_upper((unsigned char)s[k])) return false;
    }
    return true;
}

// Bytes a multi-byte sequence led by c (>= 0x80) occupies after its lead: three for
// the four-byte UTF-8 leads F0-F7, otherwise two when the lead has bit 0x20, else one.
inline unsigned trail_bytes(unsigned char c) {
    if (c >= 0xF0 && c <= 0xF7) return 3;
    return (c & 0x20) ? 2 : 1;
}

}  // namespace

// ---------------------------------------------------------------------------------------
// strutf8

strutf8::strutf8(const char* s, unsigned n) {
    assign(s, n);
}

strutf8::strutf8(const char16_t* s, unsigned n) {
    if (!s) return;
    if (n == 0) n = (unsigned)u16len(s);
    vnutf162utf8(s, n, *this);
}

strutf8::strutf8(const strutf16& other) {
    vnutf162utf8(other.c_str(), other.length(), *this);
}

strutf8& strutf8::operator=(const char* s) {
    return assign(s, 0);
}

strutf8& strutf8::operator=(const strutf8& other) {
    basic_buffer<char>::operator=(other);
    return *this;
}

strutf8& strutf8::operator=(strutf8&& other) noexcept {
    basic_buffer<char>::operator=(static_cast<basic_buffer<char>&&>(other));
    return *this;
}

strutf8& strutf8::operator=(const strutf16& other) {
    vnutf162utf8(other.c_str(), other.length(), *this);
    return *this;
}

strutf8& strutf8::assign(const char* s, unsigned n) {
    if (s && n == 0) n = (unsigned)strlen(s);
    assign_units(s, n);
    return *this;
}

strutf8& strutf8::append(const char* s, unsigned n) {
    if (s && n == 0) n = (unsigned)strlen(s);
    append_units(s, n);
    return *this;
}

strutf8& strutf8::append(const strutf8& other) {
    append_units(other.m_pData, other.m_uLength);
    return *this;
}

strutf8& strutf8::append(const strutf8& other, unsigned pos, unsigned n) {
    if ((unsigned long long)pos + n > other.m_uLength) return *this;
    if (n) append_units(other.m_pData + pos, n);
    return *this;
}

strutf8 strutf8::operator+(const char* s) const {
    strutf8 r(*this);
    r.append(s);
    return r;
}

strutf8 strutf8::operator+(const strutf8& other) const {
    strutf8 r(*this);
    r.append(other);
    return r;
}

bool strutf8::operator==(const char* s) const {
    return strcmp(c_str(), s ? s : "") == 0;
}

bool strutf8::operator<(const strutf8& other) const {
    if (!m_pData) return other.m_pData != nullptr;
    if (!other.m_pData) return false;
    return strcmp(m_pData, other.m_pData) < 0;
}

int strutf8::compare(const char* s) const {
    return strcmp(c_str(), s ? s : "");
}

int strutf8::compare(int pos, int n, const strutf8& other) const {
    if (pos < 0 || n < 0 || (long long)pos + n > (long long)m_uLength) return -1;
    // strcmp of the substring: the n bytes at pos followed by a terminator.
    const char* sub = c_str() + pos;
    const char* o = other.c_str();
    int r = strncmp(sub, o, (size_t)n);
    if (r != 0) return r;
    if (strnlen(sub, (size_t)n) < (size_t)n) return 0;  // both ended at the same zero byte
    return o[n] ? -(int)(unsigned char)o[n] : 0;
}

bool strutf8::equals(const char* s) const {
    if (!m_uLength || !s || !*s) return false;
    return strcmp(m_pData, s) == 0;
}

bool strutf8::startswith(const char* s) const {
    if (!m_uLength || !s || !*s) return false;
    size_t m = strlen(s);
    return m <= m_uLength && memcmp(m_pData, s, m) == 0;
}

bool strutf8::endswith(const char* s) const {
    if (!m_uLength || !s || !*s) return false;
    size_t m = strlen(s);
    return m <= m_uLength && memcmp(m_pData + (m_uLength - m), s, m) == 0;
}

int strutf8::find(const char* s, unsigned start, bool ignorecase) const {
    if (!s || start >= m_uLength) return -1;
    size_t m = strlen(s);
    if (m > m_uLength - start) return -1;
    if (m == 0) return (int)start;
    unsigned stackfail[kStackPattern];
    unsigned* fail = stackfail;
    if (m > kStackPattern) {
        fail = static_cast<unsigned*>(malloc(m * sizeof(unsigned)));
        if (!fail) detail::fatal(__FILE__, __LINE__, "strutf8::find: out of memory (data)");
    }
    const unsigned char* p = reinterpret_cast<const unsigned char*>(s);
    kmp_table(p, m, ignorecase, fail);
    long r = kmp_search(reinterpret_cast<const unsigned char*>(m_pData), m_uLength, start, p, m,
                        ignorecase, fail);
    if (fail != stackfail) free(fail);
    return (int)r;
}

int strutf8::reversefind(const char* s, unsigned pos, bool ignorecase) const {
    if (!s || !*s) return -1;
    long long m = (long long)strlen(s);
    long long c = (long long)m_uLength - pos - m;
    for (; c >= 0; --c) {
        if (match_at(m_pData + c, s, (size_t)m, ignorecase)) return (int)c;
    }
    return -1;
}

strutf8 strutf8::substr(unsigned pos, unsigned n) const {
    if (pos > m_uLength) return strutf8();
    if (n == (unsigned)-1) n = m_uLength - pos;
    if ((unsigned long long)pos + n > m_uLength || n == 0) return strutf8();
    return strutf8(m_pData + pos, n);
}

strutf8& strutf8::replace(unsigned pos, unsigned n, const char* s) {
    if ((unsigned long long)pos + n > m_uLength) return *this;
    size_t m = s ? strlen(s) : 0;
    if (n == 0 && m == 0) return *this;
    if (m && m_pData && s >= m_pData && s <= m_pData + m_uCapacity) {
        // The replacement is a part of this string: take a copy before moving bytes.
        strutf8 copy(s, (unsigned)m);
        return replace(pos, n, copy.m_pData);
    }
    unsigned oldlen = m_uLength;
    unsigned long long newlen = (unsigned long long)oldlen - n + m;
    if (newlen > 0x7FFFFFFEull) set_length(0xFFFFFFFFu);  // aborts with the limit message
    unsigned tail = oldlen - pos - n;
    if (newlen > oldlen) {
        set_length((unsigned)newlen);
        memmove(m_pData + pos + m, m_pData + pos + n, tail);
        if (m) memcpy(m_pData + pos, s, m);
    } else {
        if (newlen == 0) {
            clear();
            return *this;
        }
        // A non-empty result of a shrinking replace means the old string had a buffer.
        // NOLINTNEXTLINE(clang-analyzer-core.NonNullParamChecker)
        memmove(m_pData + pos + m, m_pData + pos + n, tail);
        if (m) memcpy(m_pData + pos, s, m);
        set_length((unsigned)newlen);
    }
    return *this;
}

strutf8& strutf8::trim(bool right, bool left) {
    if (!m_uLength) return *this;
    unsigned b = 0;
    unsigned e = m_uLength;
    if (left) {
        while (b < e && is_trim8(m_pData[b]))
            ++b;
    }
    if (right) {
        while (e > b && is_trim8(m_pData[e - 1]))
            --e;
    }
    if (b == 0 && e == m_uLength) return *this;
    if (b) memmove(m_pData, m_pData + b, e - b);
    set_length(e - b);
    return *this;
}

strutf8& strutf8::tolower() {
    unsigned char* p = reinterpret_cast<unsigned char*>(m_pData);
    for (unsigned i = 0; i < m_uLength; ++i) {
        unsigned char c = p[i];
        if (c >= 0x80) {
            // Skip the trail bytes; the terminator stops the skip at the end.
            for (unsigned k = trail_bytes(c); k && i + 1 < m_uLength; --k)
                ++i;
        } else if (c >= 'A' && c <= 'Z') {
            p[i] = (unsigned char)(c + ('a' - 'A'));
        }
    }
    return *this;
}

strutf8& strutf8::toupper() {
    unsigned char* p = reinterpret_cast<unsigned char*>(m_pData);
    for (unsigned i = 0; i < m_uLength; ++i) {
        unsigned char c = p[i];
        if (c >= 0x80) {
            for (unsigned k = trail_bytes(c); k && i + 1 < m_uLength; --k)
                ++i;
        } else if (c >= 'a' && c <= 'z') {
            p[i] = (unsigned char)(c - ('a' - 'A'));
        }
    }
    return *this;
}

unsigned strutf8::format(const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    unsigned n = formatv(fmt, args);
    va_end(args);
    return n;
}

unsigned strutf8::formatv(const char* fmt, va_list args) {
    if (!fmt) {
        clear();
        return 0;
    }
    // The growth schedule: trial sizes from max(1024, length), doubling while below
    // 0x80001, each one the string is resized to before formatting into it. A result
    // that fits decides the length; nothing fitting empties the string.
    const unsigned kLimit = 0x80001;
    unsigned trial = m_uLength > 1024 ? m_uLength : 1024;
    int known = -1;  // length a previous attempt reported, to skip attempts bound to fail
    if (trial == 1024) {
        // Short lines: format on the stack and allocate once, to the capacity the
        // schedule ends with (resize to 1024 gives 2048, which then shrinks to fit).
        char buf[1024];
        va_list ap;
        va_copy(ap, args);
        int r = vsnprintf(buf, sizeof(buf), fmt, ap);
        va_end(ap);
        if (r >= 0 && r < 1024) {
            if (r == 0) {
                clear();
                return 0;
            }
            unsigned len = (unsigned)r;
            set_capacity(len + 1 < 1024 ? detail::buffer_capacity_for(len + 1) : 2048);
            memcpy(m_pData, buf, len);
            m_uLength = len;
            m_pData[len] = 0;
            return len;
        }
        known = r;
    }
    // Longer results: format into a separate string, so that arguments pointing into
    // this one (s.format("%s!", s.c_str())) stay valid while buffers are resized.
    strutf8 out;
    for (; trial < kLimit; trial *= 2) {
        out.set_length(trial);
        if (known >= 0 && (unsigned)known >= trial) continue;
        va_list ap;
        va_copy(ap, args);
        int r = vsnprintf(out.m_pData, trial, fmt, ap);
        va_end(ap);
        if (r >= 0 && (unsigned)r < trial) {
            out.set_length((unsigned)r);
            *this = static_cast<strutf8&&>(out);
            return m_uLength;
        }
        known = r;
    }
    clear();
    return 0;
}

// ---------------------------------------------------------------------------------------
// strutf16

strutf16::strutf16(const char* s, unsigned n) {
    if (!s) return;
    if (n == 0) n = (unsigned)strlen(s);
    vnutf82utf16(s, n, *this);
}

strutf16::strutf16(const char16_t* s, unsigned n) {
    assign(s, n);
}

strutf16::strutf16(const strutf8& other) {
    vnutf82utf16(other.c_str(), other.length(), *this);
}

strutf16& strutf16::operator=(const char* s) {
    if (!s) {
        clear();
        return *this;
    }
    vnutf82utf16(s, (unsigned)strlen(s), *this);
    return *this;
}

strutf16& strutf16::operator=(const char16_t* s) {
    return assign(s, 0);
}

strutf16& strutf16::operator=(const strutf8& other) {
    vnutf82utf16(other.c_str(), other.length(), *this);
    return *this;
}

strutf16& strutf16::operator=(const strutf16& other) {
    basic_buffer<char16_t>::operator=(other);
    return *this;
}

strutf16& strutf16::operator=(strutf16&& other) noexcept {
    basic_buffer<char16_t>::operator=(static_cast<basic_buffer<char16_t>&&>(other));
    return *this;
}

strutf16& strutf16::assign(const char16_t* s, unsigned n) {
    if (s && n == 0) n = (unsigned)u16len(s);
    assign_units(s, n);
    return *this;
}

strutf16& strutf16::append(const char16_t* s, unsigned n) {
    if (s && n == 0) n = (unsigned)u16len(s);
    append_units(s, n);
    return *this;
}

strutf16& strutf16::append(const strutf16& other) {
    append_units(other.m_pData, other.m_uLength);
    return *this;
}

bool strutf16::operator<(const strutf16& other) const {
    unsigned n = m_uLength < other.m_uLength ? m_uLength : other.m_uLength;
    for (unsigned i = 0; i < n; ++i) {
        if (m_pData[i] != other.m_pData[i]) return m_pData[i] < other.m_pData[i];
    }
    return m_uLength < other.m_uLength;
}

int strutf16::find(const char16_t* s, unsigned start) const {
    if (!s) return -1;
    size_t m = u16len(s);
    if ((unsigned long long)start + m > m_uLength) return -1;
    if (m == 0) return (int)start;
    const char16_t first = s[0];
    const size_t last = m_uLength - m;
    for (size_t i = start; i <= last; ++i) {
        if (m_pData[i] == first &&
            memcmp(m_pData + i + 1, s + 1, (m - 1) * sizeof(char16_t)) == 0) {
            return (int)i;
        }
    }
    return -1;
}

strutf16& strutf16::trim(bool right, bool left) {
    if (!m_uLength) return *this;
    unsigned b = 0;
    unsigned e = m_uLength;
    if (left) {
        while (b < e && m_pData[b] == u' ')
            ++b;
    }
    if (right) {
        while (e > b && m_pData[e - 1] == u' ')
            --e;
    }
    if (b == 0 && e == m_uLength) return *this;
    if (b) memmove(m_pData, m_pData + b, (size_t)(e - b) * sizeof(char16_t));
    set_length(e - b);
    return *this;
}

strutf16& strutf16::tolower() {
    for (unsigned i = 0; i < m_uLength; ++i) {
        char16_t c = m_pData[i];
        if (c >= u'A' && c <= u'Z') m_pData[i] = (char16_t)(c + (u'a' - u'A'));
    }
    return *this;
}

strutf16& strutf16::toupper() {
    for (unsigned i = 0; i < m_uLength; ++i) {
        char16_t c = m_pData[i];
        if (c >= u'a' && c <= u'z') m_pData[i] = (char16_t)(c - (u'a' - u'A'));
    }
    return *this;
}

}  // namespace vn
