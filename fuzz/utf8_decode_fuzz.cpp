// Fuzz target: the UTF-8 decoder (vnutf82utf16) against a plain reference decoder, and
// the round trip of its output through the encoder.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>

#include <string>

#include "common/vnstream.h"

namespace {

// Reference: at each position take the longest well-formed prefix of a sequence by
// Table 3-7 of the Unicode standard; a failure consumes the bytes that were still
// acceptable (at least one) and yields one U+FFFD. C0 80 is U+0000.
std::u16string Reference(const uint8_t* s, size_t n) {
    std::u16string out;
    size_t i = 0;
    while (i < n) {
        uint8_t c = s[i];
        if (c < 0x80) {
            out += (char16_t)c;
            ++i;
            continue;
        }
        if (c == 0xC0 && i + 1 < n && s[i + 1] == 0x80) {
            out += (char16_t)0;
            i += 2;
            continue;
        }
        size_t need;
        uint32_t cp;
        uint8_t lo = 0x80, hi = 0xBF;
        if (c >= 0xC2 && c <= 0xDF) {
            need = 1;
            cp = c & 0x1F;
        } else if (c >= 0xE0 && c <= 0xEF) {
            need = 2;
            cp = c & 0x0F;
            if (c == 0xE0) lo = 0xA0;
            if (c == 0xED) hi = 0x9F;
        } else if (c >= 0xF0 && c <= 0xF4) {
            need = 3;
            cp = c & 0x07;
            if (c == 0xF0) lo = 0x90;
            if (c == 0xF4) hi = 0x8F;
        } else {
            out += (char16_t)0xFFFD;
            ++i;
            continue;
        }
        size_t k = 1;
        for (; k <= need; ++k) {
            if (i + k >= n) break;
            uint8_t b = s[i + k];
            uint8_t l = k == 1 ? lo : 0x80, h = k == 1 ? hi : 0xBF;
            if (b < l || b > h) break;
            cp = (cp << 6) | (b & 0x3F);
        }
        if (k <= need) {
            out += (char16_t)0xFFFD;
            i += k;
            continue;
        }
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out += (char16_t)(0xD800 + (cp >> 10));
            out += (char16_t)(0xDC00 + (cp & 0x3FF));
        } else {
            out += (char16_t)cp;
        }
        i += need + 1;
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > (1u << 20)) return 0;
    vn::strutf16 out;
    bool ok = vnutf82utf16(reinterpret_cast<const char*>(data), (unsigned)size, out);
    if (ok != (size > 0)) abort();
    if (out.length() > size) abort();
    if (out.capacity() && out.c_str()[out.length()] != 0) abort();
    std::u16string ref = Reference(data, size);
    if (ref.size() != out.length() || ref.compare(0, ref.size(), out.c_str(), out.length()) != 0)
        abort();
    if (out.length() == 0) return 0;
    // The decoder never produces a lone surrogate, so the encoder's output decodes back
    // to the same units.
    vn::strutf8 bytes;
    if (!vnutf162utf8(out.c_str(), out.length(), bytes)) abort();
    vn::strutf16 back;
    if (!vnutf82utf16(bytes.c_str(), bytes.length(), back)) abort();
    if (!(back == out)) abort();
    return 0;
}
