// Fuzz target: the library's UTF-16 -> UTF-8 encoder (vnutf162utf8). Checks the byte
// count, that no zero byte appears, and that decoding gives the units back with each
// lone surrogate's three bytes turned into three U+FFFD.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "common/vnstream.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    size_t n = size / 2;
    if (n == 0 || n > (1u << 19)) return 0;
    std::u16string units(n, u'\0');
    memcpy(&units[0], data, n * 2);

    vn::strutf8 out;
    if (!vnutf162utf8(units.data(), (unsigned)n, out)) abort();
    if (memchr(out.c_str(), 0, out.length())) abort();
    if (out.c_str()[out.length()] != 0) abort();

    size_t expect = 0;
    std::u16string decoded;
    for (size_t i = 0; i < n; ++i) {
        char16_t u = units[i];
        if (u == 0 || (u >= 0x80 && u < 0x800)) {
            expect += 2;
            decoded += u;
        } else if (u < 0x80) {
            expect += 1;
            decoded += u;
        } else if (u >= 0xD800 && u <= 0xDBFF && i + 1 < n && units[i + 1] >= 0xDC00 &&
                   units[i + 1] <= 0xDFFF) {
            expect += 4;
            decoded += u;
            decoded += units[++i];
        } else if (u >= 0xD800 && u <= 0xDFFF) {
            expect += 3;
            decoded.append(3, (char16_t)0xFFFD);  // ED xx xx is ill-formed: three subparts
        } else {
            expect += 3;
            decoded += u;
        }
    }
    if (out.length() != expect) abort();
    vn::strutf16 back;
    if (!vnutf82utf16(out.c_str(), out.length(), back)) abort();
    if (decoded.size() != back.length() ||
        decoded.compare(0, decoded.size(), back.c_str(), back.length()) != 0)
        abort();
    return 0;
}
