// The chunk decoder fed arbitrary bytes in arbitrary splits: the data it writes, its result
// and the bytes it leaves over do not depend on where the input was split.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "http/client/vnhttpchunker_internal.h"
#include "http/common/vndatawriter_internal.h"

namespace {

struct Run {
    int result = Chunker::kMore;
    std::string data;
    size_t consumed = 0;  // bytes fed before the end, minus what was left over
};

Run Decode(const uint8_t* msg, size_t len, bool trailer, unsigned seed) {
    HttpResponseDataWriter w(1);
    Chunker c(1);
    Run r;
    size_t at = 0;
    while (at < len && r.result == Chunker::kMore) {
        size_t n = len - at;
        if (seed != 0) {
            seed = seed * 1103515245u + 12345u;
            n = 1 + (seed >> 16) % 17;
            if (n > len - at) n = len - at;
        }
        r.result =
            c.Feed(reinterpret_cast<const char*>(msg) + at, static_cast<unsigned>(n), &w, trailer);
        at += n;
        r.consumed = at - (r.result == Chunker::kComplete ? c.GetUnusedCount() : 0);
    }
    if (w.GetBuffer() != nullptr) r.data.assign(w.GetBuffer(), w.GetBufferLen());
    return r;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1 || size > 65536) return 0;
    bool trailer = (data[0] & 1) != 0;
    unsigned seed = data[0] | 1u;
    Run whole = Decode(data + 1, size - 1, trailer, 0);
    Run split = Decode(data + 1, size - 1, trailer, seed);
    if (whole.result != split.result || whole.data != split.data) abort();
    if (whole.result == Chunker::kComplete && whole.consumed != split.consumed) abort();
    return 0;
}
