// UTF-8 <-> UTF-16 conversion: the library's own decoder and encoder.
#include "common/vnconv.h"

#include <stdint.h>
#include <string.h>

namespace {

const char16_t kReplacement = 0xFFFD;
const uint64_t kHighBits8 = 0x8080808080808080ull;

inline bool is_cont(unsigned char c) {
    return (c & 0xC0) == 0x80;
}

// The fast path of the decoder: at s[i], a run of three-byte (CJK) or two-byte (Latin,
// Cyrillic) sequences, or of ASCII bytes, decoded by a tight loop that checks only
// well-formedness. Advances i and j past what it decoded; false when it decoded nothing
// (an irregular sequence, left to decode_one).
template <bool Write>
inline bool decode_run(const unsigned char* s, size_t n, size_t& i, char16_t* d, size_t& j) {
    const size_t i0 = i;
    const unsigned lead = s[i];
    if ((lead & 0xF0) == 0xE0) {
        while (i + 3 <= n) {
            unsigned b0 = s[i], b1 = s[i + 1], b2 = s[i + 2];
            unsigned cp = ((b0 & 0x0F) << 12) | ((b1 & 0x3F) << 6) | (b2 & 0x3F);
            if (((b0 & 0xF0) != 0xE0) | ((b1 & 0xC0) != 0x80) | ((b2 & 0xC0) != 0x80) |
                (cp < 0x800) | ((cp & 0xF800) == 0xD800))
                break;
            if (Write) d[j] = (char16_t)cp;
            ++j;
            i += 3;
        }
    } else if (lead >= 0xC2 && lead <= 0xDF) {
        while (i + 2 <= n) {
            unsigned b0 = s[i], b1 = s[i + 1];
            if ((b0 - 0xC2u > 0xDFu - 0xC2u) | ((b1 & 0xC0) != 0x80)) break;
            if (Write) d[j] = (char16_t)(((b0 & 0x1F) << 6) | (b1 & 0x3F));
            ++j;
            i += 2;
        }
    } else if (lead < 0x80) {
        // ASCII runs dominate most text: test eight bytes at a time.
        while (i + 8 <= n) {
            uint64_t w;
            memcpy(&w, s + i, 8);
            if (w & kHighBits8) break;
            if (Write) {
                for (int k = 0; k < 8; ++k)
                    d[j + k] = s[i + k];
            }
            i += 8;
            j += 8;
        }
        while (i < n && s[i] < 0x80) {
            if (Write) d[j] = s[i];
            ++i;
            ++j;
        }
    }
    return i != i0;
}

// The slow path: one sequence at s[i] (a byte of 0x80 or above), checked byte by byte;
// an ill-formed one yields a single U+FFFD for its maximal subpart.
template <bool Write>
inline void decode_one(const unsigned char* s, size_t n, size_t& i, char16_t* d, size_t& j) {
    const unsigned c = s[i];
    if (c >= 0xC2 && c <= 0xDF) {
        if (i + 1 < n && is_cont(s[i + 1])) {
            if (Write) d[j] = (char16_t)(((c & 0x1F) << 6) | (s[i + 1] & 0x3F));
            i += 2;
        } else {
            if (Write) d[j] = kReplacement;
            i += 1;
        }
        ++j;
        return;
    }
    if (c >= 0xE0 && c <= 0xEF) {
        // E0 excludes overlong forms, ED excludes the surrogates.
        unsigned lo = c == 0xE0 ? 0xA0 : 0x80;
        unsigned hi = c == 0xED ? 0x9F : 0xBF;
        if (i + 1 < n && s[i + 1] >= lo && s[i + 1] <= hi) {
            if (i + 2 < n && is_cont(s[i + 2])) {
                if (Write) {
                    d[j] = (char16_t)(((c & 0x0F) << 12) | ((s[i + 1] & 0x3F) << 6) |
                                      (s[i + 2] & 0x3F));
                }
                i += 3;
            } else {
                if (Write) d[j] = kReplacement;
                i += 2;
            }
        } else {
            if (Write) d[j] = kReplacement;
            i += 1;
        }
        ++j;
        return;
    }
    if (c >= 0xF0 && c <= 0xF4) {
        // F0 excludes overlong forms, F4 code points above U+10FFFF.
        unsigned lo = c == 0xF0 ? 0x90 : 0x80;
        unsigned hi = c == 0xF4 ? 0x8F : 0xBF;
        size_t take = 1;
        if (i + 1 < n && s[i + 1] >= lo && s[i + 1] <= hi) {
            take = 2;
            if (i + 2 < n && is_cont(s[i + 2])) {
                take = 3;
                if (i + 3 < n && is_cont(s[i + 3])) take = 4;
            }
        }
        if (take == 4) {
            uint32_t cp = ((c & 0x07) << 18) | ((s[i + 1] & 0x3F) << 12) |
                          ((s[i + 2] & 0x3F) << 6) | (s[i + 3] & 0x3F);
            cp -= 0x10000;
            if (Write) {
                d[j] = (char16_t)(0xD800 + (cp >> 10));
                d[j + 1] = (char16_t)(0xDC00 + (cp & 0x3FF));
            }
            j += 2;
        } else {
            if (Write) d[j] = kReplacement;
            ++j;
        }
        i += take;
        return;
    }
    if (c == 0xC0 && i + 1 < n && s[i + 1] == 0x80) {
        if (Write) d[j] = 0;
        i += 2;
        ++j;
        return;
    }
    // A stray continuation byte, an overlong lead (C0, C1) or a lead beyond U+10FFFF.
    if (Write) d[j] = kReplacement;
    ++i;
    ++j;
}

// Decodes n bytes; with Write the units go to d, which holds at least n units (a byte
// never yields more than one unit: four-byte sequences become two). Returns the unit
// count. Each maximal subpart of an ill-formed sequence becomes one U+FFFD, the practice
// of the Unicode standard (3.9) and of the common decoders, so a bad byte never swallows
// the good text after it. C0 80 is taken as U+0000, the encoder's form of it.
template <bool Write>
size_t decode_utf8(const unsigned char* s, size_t n, char16_t* d) {
    size_t i = 0;
    size_t j = 0;
    while (i < n) {
        // Text comes in runs of one script; anything irregular takes the careful path.
        if (!decode_run<Write>(s, n, i, d, j)) decode_one<Write>(s, n, i, d, j);
    }
    return j;
}

// True when a 16-bit lane of w is zero (exact for the lanes that decide: lanes at or
// below 0x7F, the only ones the caller lets through).
inline bool has_zero16(uint64_t w) {
    return ((w - 0x0001000100010001ull) & ~w & 0x8000800080008000ull) != 0;
}

// Encodes n units into d, which holds the bytes that count_utf8 gave. Returns the byte
// count. A unit 0 becomes C0 80, so that the text never holds a zero byte.
size_t encode_utf8(const char16_t* s, size_t n, unsigned char* d) {
    size_t i = 0;
    size_t j = 0;
    while (i < n) {
        unsigned u = s[i];
        // Runs of one length class, each in a tight loop: three-byte units (CJK) and
        // two-byte units (Latin, Cyrillic; U+0000 too); ASCII and surrogates below.
        if (u >= 0x800 && (u & 0xF800) != 0xD800) {
            do {
                d[j] = (unsigned char)(0xE0 | (u >> 12));
                d[j + 1] = (unsigned char)(0x80 | ((u >> 6) & 0x3F));
                d[j + 2] = (unsigned char)(0x80 | (u & 0x3F));
                j += 3;
                if (++i == n) break;
                u = s[i];
            } while (u >= 0x800 && (u & 0xF800) != 0xD800);
            continue;
        }
        if (u - 0x80u < 0x780u || u == 0) {
            do {
                // U+0000 takes the same two-byte form: C0 80.
                d[j] = (unsigned char)(0xC0 | (u >> 6));
                d[j + 1] = (unsigned char)(0x80 | (u & 0x3F));
                j += 2;
                if (++i == n) break;
                u = s[i];
            } while (u - 0x80u < 0x780u || u == 0);
            continue;
        }
        if (u - 1u < 0x7Fu) {  // 1..0x7F: one byte each; test four units at a time
            while (i + 4 <= n) {
                uint64_t w;
                memcpy(&w, s + i, 8);
                if ((w & 0xFF80FF80FF80FF80ull) || has_zero16(w)) break;
                d[j] = (unsigned char)s[i];
                d[j + 1] = (unsigned char)s[i + 1];
                d[j + 2] = (unsigned char)s[i + 2];
                d[j + 3] = (unsigned char)s[i + 3];
                i += 4;
                j += 4;
            }
            while (i < n && (unsigned)s[i] - 1u < 0x7Fu) {
                d[j] = (unsigned char)s[i];
                ++i;
                ++j;
            }
            continue;
        }
        if (u >= 0xD800 && u <= 0xDBFF && i + 1 < n && s[i + 1] >= 0xDC00 && s[i + 1] <= 0xDFFF) {
            uint32_t cp = 0x10000 + ((u - 0xD800) << 10) + ((unsigned)s[i + 1] - 0xDC00);
            d[j] = (unsigned char)(0xF0 | (cp >> 18));
            d[j + 1] = (unsigned char)(0x80 | ((cp >> 12) & 0x3F));
            d[j + 2] = (unsigned char)(0x80 | ((cp >> 6) & 0x3F));
            d[j + 3] = (unsigned char)(0x80 | (cp & 0x3F));
            j += 4;
            i += 2;
            continue;
        }
        // A lone surrogate: three bytes, like every other unit of its range.
        d[j] = (unsigned char)(0xE0 | (u >> 12));
        d[j + 1] = (unsigned char)(0x80 | ((u >> 6) & 0x3F));
        d[j + 2] = (unsigned char)(0x80 | (u & 0x3F));
        j += 3;
        ++i;
    }
    return j;
}

// Bytes the encoder writes for n units, in two loops simple enough to vectorise: every
// unit as if alone (1, 2 or 3 bytes; U+0000 takes 2, a surrogate 3), then 2 less for
// each high surrogate directly followed by a low one (4 bytes for the pair, not 3 + 3).
size_t count_utf8(const char16_t* s, size_t n) {
    size_t bytes = 0;
    for (size_t i = 0; i < n; ++i) {
        unsigned u = s[i];
        bytes += 1 + (u >= 0x80) + (u >= 0x800) + (u == 0);
    }
    size_t pairs = 0;
    for (size_t i = 0; i + 1 < n; ++i) {
        pairs += ((s[i] & 0xFC00) == 0xD800) & ((s[i + 1] & 0xFC00) == 0xDC00);
    }
    return bytes - 2 * pairs;
}

// Longest content the string types hold (units, terminator excluded).
const size_t kMaxBytes = 0x7FFFFFFE;
const size_t kMaxUnits16 = 0x3FFFFFFE;

}  // namespace

bool vnutf82utf16(const char* s, unsigned n, vn::strutf16& out) {
    if (!s || !n) {
        out.clear();
        return false;
    }
    const unsigned char* in = reinterpret_cast<const unsigned char*>(s);
    // One pass into a buffer of the worst-case size (a unit per byte); only input too
    // big for that is counted first.
    size_t units = n;
    if (units > kMaxUnits16) {
        units = decode_utf8<false>(in, n, nullptr);
        VN_CHECK(units <= kMaxUnits16);
    }
    out.resize((unsigned)units);
    size_t j = decode_utf8<true>(in, n, out.data());
    out.resize((unsigned)j);
    return true;
}

bool vnutf162utf8(const char16_t* s, unsigned n, vn::strutf8& out) {
    if (!s || !n) {
        out.clear();
        return false;
    }
    size_t bytes = count_utf8(s, n);
    VN_CHECK(bytes <= kMaxBytes);
    out.resize((unsigned)bytes);
    encode_utf8(s, n, reinterpret_cast<unsigned char*>(out.data()));
    return true;
}
