// The HTTP client's response-head analysis over arbitrary heads: the status line, the body
// headers and the header lookup never read outside the head, and what they report is
// consistent (a range total only with a range, no length for a chunked body).
#include <stdint.h>
#include <stdlib.h>

#include "http/client/vnhttpclientutil_internal.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 65536) return 0;
    const char* p = reinterpret_cast<const char*>(data);
    // Built with an explicit length only: a length of 0 would mean "up to a zero byte".
    vn::strutf8 head;
    if (size > 0) head.assign(p, static_cast<unsigned>(size));
    unsigned int status = 0;
    int r = vn::detail::HttpAnalyseStatusLine(head, status);
    if (r != 1 && status != 0) abort();
    vn::detail::HttpResponseHeadInfo info;
    vn::detail::HttpReadBodyHeaders(head, info);
    if (info.bChunked && info.bHasLength) abort();
    if (!info.bChunked && info.bTrailer) abort();
    vn::strutf8 v;
    for (const char* name : {"Location", "Content-Length", "Transfer-Encoding", "X"}) {
        if (vn::detail::HttpGetHeaderValue(p, size, name, v, true) && v.empty()) abort();
        vn::detail::HttpGetHeaderValue(p, size, name, v, false);
    }
    return 0;
}
