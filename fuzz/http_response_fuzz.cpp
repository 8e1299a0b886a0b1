// Fuzz target: the HTTP client's answer reader over arbitrary bytes. The same answer is fed
// whole and in the pieces the input describes: the verdicts and the body bytes must not
// depend on where it was split, and the connection end gives one final verdict.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>

#include <string>

#include "http/client/vnhttpresponsereader_internal.h"

namespace {

std::string Read(const std::string& answer, const std::string& cuts, bool file,
                 unsigned long long have) {
    CHttpResponseReader reader;
    reader.Start("GET", file, have, "http://h/a/b");
    std::string buf, out;
    size_t at = 0, c = 0;
    while (at < answer.size()) {
        size_t n = c < cuts.size() ? static_cast<unsigned char>(cuts[c++]) % 97 + 1 : answer.size();
        if (n > answer.size() - at) n = answer.size() - at;
        buf.append(answer, at, n);
        at += n;
        for (;;) {
            size_t used = 0, len = 0;
            const char* data = nullptr;
            int v = reader.Step(buf.data(), buf.size(), &used, &data, &len);
            if (used > buf.size()) abort();
            if (v == CHttpResponseReader::kData) out.append(data, len);
            buf.erase(0, used);
            if (v == CHttpResponseReader::kData || v == CHttpResponseReader::kBegin) {
                if (v == CHttpResponseReader::kBegin)
                    out += reader.IsRestart() ? "|begin0|" : "|begin|";
                continue;
            }
            if (v == CHttpResponseReader::kNeedMore) break;
            return out + "|" + std::to_string(v) + ":" + std::to_string(reader.GetCode()) + ":" +
                   reader.GetLocation().c_str();
        }
    }
    int v = reader.End();
    return out + "|end " + std::to_string(v) + ":" + std::to_string(reader.GetCode());
}

}  // namespace

// Input: [flags][cut count][cuts...][answer].
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2 || size > (1u << 16)) return 0;
    bool file = data[0] & 1;
    unsigned long long have = data[0] >> 1;
    size_t ncuts = data[1] % 32;
    if (ncuts + 2 > size) return 0;
    std::string cuts(reinterpret_cast<const char*>(data) + 2, ncuts);
    std::string answer(reinterpret_cast<const char*>(data) + 2 + ncuts, size - 2 - ncuts);
    if (Read(answer, "", file, have) != Read(answer, cuts, file, have)) abort();
    return 0;
}
