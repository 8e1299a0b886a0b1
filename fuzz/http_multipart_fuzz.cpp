// Fuzz target: the first part of a form. A part head, arbitrary content, the delimiter and
// more parts arrive in arbitrary pieces: the content handed out must not depend on the
// pieces, and is exactly the content whenever the content cannot hold the delimiter.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>

#include <string>

#include "net/vnhttpmultipart.h"

namespace {

std::string Read(const std::string& body, const vn::strutf8& boundary, unsigned seed) {
    CHttpMultipartReader reader;
    reader.Start(boundary, 2048);
    std::string content, pending;
    size_t at = 0;
    bool head = false;
    while (at < body.size() || !pending.empty()) {
        if (at < body.size()) {
            seed = seed * 1103515245u + 12345u;
            size_t n = seed == 0 ? body.size() : (seed >> 16) % 300 + 1;
            if (n > body.size() - at) n = body.size() - at;
            pending.append(body, at, n);
            at += n;
        }
        size_t used = 0, len = 0;
        const char* data = nullptr;
        int r = reader.Step(pending.data(), pending.size(), &used, &data, &len);
        if (used > pending.size()) abort();
        if (r == CHttpMultipartReader::kData) content.append(data, len);
        if (r == CHttpMultipartReader::kHead) head = true;
        pending.erase(0, used);
        if (r == CHttpMultipartReader::kMalformed) return "bad";
        if (r == CHttpMultipartReader::kDone) return (head ? "done:" : "nohead:") + content;
        if (used == 0 && r == CHttpMultipartReader::kNeedMore && at == body.size()) break;
    }
    return "open:" + content;
}

}  // namespace

// Input: [boundary length 1..70][seed][boundary bytes][content].
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2 || size > (1u << 17)) return 0;
    size_t blen = data[0] % 70 + 1;
    unsigned seed = data[1] | 1u;
    data += 2;
    size -= 2;
    if (blen > size) return 0;
    std::string b(reinterpret_cast<const char*>(data), blen);
    for (char& c : b) {
        if (c == '\0' || c == '\r' || c == '\n') c = 'b';  // a boundary is text of one line
    }
    std::string content(reinterpret_cast<const char*>(data) + blen, size - blen);
    std::string body = "--" + b + "\r\nContent-Disposition: form-data; name=\"f\"\r\n\r\n" +
                       content + "\r\n--" + b + "\r\nX: y\r\n\r\nmore\r\n--" + b + "--\r\n";
    vn::strutf8 boundary(b.c_str());
    std::string whole = Read(body, boundary, 0);
    if (whole != Read(body, boundary, seed)) abort();
    // Content that holds no delimiter comes out exactly.
    if ((content + "\r\n").find("\r\n--" + b) == std::string::npos && whole != "done:" + content) {
        abort();
    }
    return 0;
}
