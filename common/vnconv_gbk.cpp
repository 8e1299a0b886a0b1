// GBK (code page 936) <-> UTF-16 through glibc iconv, with the '?' fallback for input
// that iconv refuses (bytes that are not GBK, characters that have no GBK form).
#include "common/vnconv.h"

#include <iconv.h>
#include <string.h>

namespace {

// iconv's name for char16_t units in host byte order (no byte-order mark).
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
const char kUtf16Host[] = "UTF-16LE";
#else
const char kUtf16Host[] = "UTF-16BE";
#endif

// Converts inbytes bytes from `from` to `to` into out (room for outcap bytes). Returns the
// bytes written, or -1 when iconv cannot convert all of the input. A conversion
// descriptor is opened per call: descriptors hold state and may not be shared between
// threads, and glibc caches the loaded converter itself.
long iconv_all(const char* to, const char* from, const char* in, size_t inbytes, char* out,
               size_t outcap) {
    iconv_t cd = iconv_open(to, from);
    if (cd == (iconv_t)-1) return -1;  // NOLINT(performance-no-int-to-ptr): iconv's own error value
    char* pin = const_cast<char*>(in);
    size_t inleft = inbytes;
    char* pout = out;
    size_t outleft = outcap;
    bool ok = iconv(cd, &pin, &inleft, &pout, &outleft) != (size_t)-1 && inleft == 0;
    if (ok) ok = iconv(cd, nullptr, nullptr, &pout, &outleft) != (size_t)-1;
    iconv_close(cd);
    return ok ? (long)(pout - out) : -1;
}

}  // namespace

bool vngbk2utf16(const char* s, unsigned n, vn::strutf16& out) {
    if (!s || !n) {
        out.clear();
        return false;
    }
    const unsigned char* in = reinterpret_cast<const unsigned char*>(s);
    unsigned run = 0;
    while (run < n && in[run] < 0x80)
        ++run;
    // A GBK byte never yields more than one UTF-16 unit.
    VN_CHECK(n <= 0x3FFFFFFEu);
    out.resize(n);
    char16_t* d = out.data();
    for (unsigned k = 0; k < run; ++k)
        d[k] = in[k];
    if (run == n) return true;

    long w = iconv_all(kUtf16Host, "GBK", s + run, n - run, reinterpret_cast<char*>(d + run),
                       (size_t)(n - run) * sizeof(char16_t));
    unsigned j = run;
    if (w >= 0) {
        j += (unsigned)(w / (long)sizeof(char16_t));
    } else {
        for (unsigned i = run; i < n;) {
            if (in[i] < 0x80) {
                d[j++] = in[i++];
            } else {
                d[j++] = u'?';
                i += 2;  // the lead byte and its trail byte
            }
        }
    }
    out.resize(j);
    return j > 0;
}

bool vnutf162gbk(const char16_t* s, unsigned n, vn::strutf8& out) {
    if (!s || !n) {
        out.clear();
        return false;
    }
    unsigned run = 0;
    while (run < n && s[run] < 0x80)
        ++run;
    // GBK spends at most two bytes on a unit.
    unsigned long long cap = run + 2ull * (n - run);
    VN_CHECK(cap <= 0x7FFFFFFEull);
    out.resize((unsigned)cap);
    char* d = out.data();
    for (unsigned k = 0; k < run; ++k)
        d[k] = (char)s[k];
    if (run == n) return true;

    long w = iconv_all("GBK", kUtf16Host, reinterpret_cast<const char*>(s + run),
                       (size_t)(n - run) * sizeof(char16_t), d + run, 2ull * (n - run));
    unsigned j = run;
    if (w >= 0) {
        j += (unsigned)w;
    } else {
        for (unsigned i = run; i < n; ++i)
            d[j++] = s[i] < 0x80 ? (char)s[i] : '?';
    }
    out.resize(j);
    return j > 0;
}
