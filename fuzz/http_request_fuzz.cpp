// Fuzz target: the server's request reader over arbitrary bytes, as the channel drives it
// (heads, bodies, pipelined requests, refusals). The same bytes are fed twice, whole and in
// the pieces the input describes: the requests, their bodies and the verdict must not
// depend on where the stream was split.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>

#include <string>

#include "http/server/vnhttprequestreader_internal.h"

namespace {

// Runs the reader over the stream in the given pieces; returns a transcript of what it
// found: each request's head and body, then how the stream ended.
std::string Read(const std::string& stream, const std::string& cuts) {
    CHttpRequestReader reader;
    std::string buf, out;
    bool inBody = false;
    size_t at = 0, c = 0;
    while (at < stream.size()) {
        size_t n = c < cuts.size() ? static_cast<unsigned char>(cuts[c++]) % 97 + 1 : stream.size();
        if (n > stream.size() - at) n = stream.size() - at;
        buf.append(stream, at, n);
        at += n;
        for (;;) {
            size_t used = 0;
            if (!inBody) {
                int r = reader.ReadHead(buf.data(), buf.size(), &used);
                if (r == CHttpRequestReader::kNeedMore) break;
                if (r != CHttpRequestReader::kHead) return out + "|refused";
                if (used == 0 || used > buf.size()) abort();
                out += "|head:" +
                       std::string(reader.GetHeadText().c_str(), reader.GetHeadText().length());
                buf.erase(0, used);
                inBody = true;
            }
            const char* data = nullptr;
            size_t len = 0;
            int r = reader.ReadBody(buf.data(), buf.size(), CHttpRequestReader::kParts, &used,
                                    &data, &len);
            if (used > buf.size()) abort();
            if (r == CHttpRequestReader::kData) out.append(data, len);
            buf.erase(0, used);
            if (r == CHttpRequestReader::kData) continue;
            if (r == CHttpRequestReader::kNeedMore) break;
            if (r != CHttpRequestReader::kBodyDone) return out + "|bad body";
            if (!reader.IsKeepAlive()) return out + "|closed";
            reader.Reset();
            inBody = false;
        }
    }
    return out + (inBody ? "|in body" : "|idle");
}

}  // namespace

// Input: [cut count][cut sizes...][stream].
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1 || size > (1u << 16)) return 0;
    size_t ncuts = data[0] % 32;
    if (ncuts + 1 > size) return 0;
    std::string cuts(reinterpret_cast<const char*>(data) + 1, ncuts);
    std::string stream(reinterpret_cast<const char*>(data) + 1 + ncuts, size - 1 - ncuts);
    if (Read(stream, "") != Read(stream, cuts)) abort();
    return 0;
}
