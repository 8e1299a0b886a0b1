// Fuzz target: vn::strutf8::find (KMP, with and without ASCII case folding) and
// reversefind against std::string::find / rfind.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "common/vnstream.h"

namespace {

std::string Upper(std::string s) {
    for (char& c : s) {
        if (c >= 'a' && c <= 'z') c = (char)(c - 'a' + 'A');
    }
    return s;
}

}  // namespace

// Input: start, pos, pattern length, then the pattern and the text. The pattern stops
// at its first zero byte (the interface takes a C string); the text may hold zeros.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 3 || size > (1u << 16)) return 0;
    unsigned start = data[0];
    unsigned pos = data[1];
    size_t plen = data[2];
    data += 3;
    size -= 3;
    if (plen > size) plen = size;
    std::string pat(reinterpret_cast<const char*>(data), plen);
    pat = pat.c_str();
    std::string text(reinterpret_cast<const char*>(data) + plen, size - plen);
    vn::strutf8 s(text.data(), (unsigned)text.size());
    if (s.length() != text.size()) abort();

    for (int icase = 0; icase < 2; ++icase) {
        const std::string& t = icase ? Upper(text) : text;
        const std::string& p = icase ? Upper(pat) : pat;
        int expect = -1;
        if (start < t.size()) {
            size_t r = t.find(p, start);
            expect = r == std::string::npos ? -1 : (int)r;
        }
        if (s.find(pat.c_str(), start, icase != 0) != expect) abort();

        long long c = (long long)t.size() - pos - (long long)p.size();
        int rexpect = -1;
        if (!p.empty() && c >= 0) {
            size_t r = t.rfind(p, (size_t)c);
            rexpect = r == std::string::npos ? -1 : (int)r;
        }
        if (s.reversefind(pat.c_str(), pos, icase != 0) != rexpect) abort();
    }
    return 0;
}
