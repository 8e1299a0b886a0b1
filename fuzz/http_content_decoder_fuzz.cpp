// Fuzz target: coded answer bodies. The first byte picks the coding; the rest is the body,
// either as given or gzip-wrapped so that the fuzzer reaches deep into valid streams. Fed
// whole and in arbitrary pieces, the decoder must give the same bytes and the same verdict,
// and a body it calls whole must be exactly what zlib alone makes of it.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <zlib.h>

#include <algorithm>
#include <string>

#include "http/client/vnhttpcontentdecoder_internal.h"

namespace {

struct Outcome {
    int result = 0;
    bool whole = false;
    std::string out;
};

Outcome Decode(const char* coding, const std::string& body, unsigned seed, size_t cap) {
    Outcome o;
    CHttpContentDecoder d;
    o.result = d.Start(coding, strlen(coding));
    if (o.result != CHttpContentDecoder::kOk) return o;
    auto sink = [&](const char* p, size_t n) {
        if (o.out.size() + n > cap) return false;  // a bomb stops at the bound
        o.out.append(p, n);
        return true;
    };
    for (size_t at = 0; at < body.size() && o.result == CHttpContentDecoder::kOk;) {
        size_t n = body.size() - at;
        if (seed != 0) {
            seed = seed * 1103515245u + 12345u;
            n = std::min(n, static_cast<size_t>((seed >> 16) % 200 + 1));
        }
        o.result = d.Feed(body.data() + at, n, sink);
        at += n;
    }
    o.whole = o.result == CHttpContentDecoder::kOk && d.Finish();
    return o;
}

// RFC 1950's header: method 8, a window of at most 32 KiB, a check that makes 31 divide it.
bool ZlibWrapped(const std::string& b) {
    if (b.size() < 2) return false;
    unsigned cmf = static_cast<unsigned char>(b[0]), flg = static_cast<unsigned char>(b[1]);
    return (cmf & 0x0F) == 8 && (cmf >> 4) <= 7 && (cmf * 256 + flg) % 31 == 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    static const char* const kCodings[] = {"gzip", "deflate", "x-gzip", "identity", "gzip, br"};
    const char* coding = kCodings[data[0] % 5];
    std::string body(reinterpret_cast<const char*>(data) + 2, size - 2);
    if (data[1] & 1) {
        // Wrap the input in a valid stream of the coding, then maybe damage one byte of it.
        z_stream s{};
        deflateInit2(&s, 6, Z_DEFLATED, data[0] % 5 == 1 ? 15 : 31, 8, Z_DEFAULT_STRATEGY);
        std::string out(deflateBound(&s, body.size()) + 64, '\0');
        s.next_in = reinterpret_cast<Bytef*>(&body[0]);
        s.avail_in = static_cast<uInt>(body.size());
        s.next_out = reinterpret_cast<Bytef*>(&out[0]);
        s.avail_out = static_cast<uInt>(out.size());
        deflate(&s, Z_FINISH);
        out.resize(s.total_out);
        deflateEnd(&s);
        if ((data[1] & 2) && !out.empty()) out[(data[1] >> 2) % out.size()] ^= 0x20;
        body = out;
    }
    const size_t kCap = 1 << 22;
    Outcome whole = Decode(coding, body, 0, kCap);
    Outcome split = Decode(coding, body, data[1] * 2654435761u + 1, kCap);
    if (whole.result != split.result || whole.whole != split.whole) abort();
    if (whole.result == CHttpContentDecoder::kOk && whole.out != split.out) abort();
    if (whole.whole && data[0] % 5 != 3 && whole.out.size() < kCap) {
        // What zlib alone makes of it (one member, or several for gzip).
        z_stream s{};
        inflateInit2(&s, data[0] % 5 != 1 ? 31 : ZlibWrapped(body) ? 15 : -15);
        std::string ref;
        char buf[65536];
        s.next_in = reinterpret_cast<Bytef*>(&body[0]);
        s.avail_in = static_cast<uInt>(body.size());
        for (;;) {
            s.next_out = reinterpret_cast<Bytef*>(buf);
            s.avail_out = sizeof(buf);
            int r = inflate(&s, Z_NO_FLUSH);
            ref.append(buf, sizeof(buf) - s.avail_out);
            if (r == Z_STREAM_END && s.avail_in > 0) {
                inflateReset(&s);
                continue;
            }
            if (r != Z_OK) break;
        }
        inflateEnd(&s);
        if (ref != whole.out) abort();
    }
    return 0;
}
