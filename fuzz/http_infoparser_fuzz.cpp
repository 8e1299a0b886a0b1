// CHttpInfoParser over arbitrary heads: every reader runs on the same bytes; none may read
// outside them, and a head found by GetHttpHeadInfo lies within the input.
#include <stdint.h>
#include <stdlib.h>

#include "common/vnstream.h"
#include "http/common/vnhttpinfoparser.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 65536) return 0;
    const char* p = reinterpret_cast<const char*>(data);
    unsigned int start = 0, headLen = 0;
    unsigned long long contentLen = 0;
    vn::strutf8 boundary;
    if (CHttpInfoParser::GetHttpHeadInfo(p, static_cast<unsigned int>(size), start, headLen,
                                         contentLen, boundary) &&
        headLen > size)
        abort();
    // Built with an explicit length only: a length of 0 would mean "up to a zero byte".
    vn::strutf8 head;
    if (size > 0) head.assign(p, static_cast<unsigned>(size));
    vn::strutf8 value;
    unsigned int number = 0;
    unsigned long long range = 0;
    CHttpInfoParser::QueryInfo(head, "Content-Length", value);
    CHttpInfoParser::QueryInfo(head, "Content-Length", number);
    CHttpInfoParser::QueryInfo(head, "Host", value);
    CHttpInfoParser::GetRange(head, range);
    CHttpInfoParser::GetDispositionFileName(head, value);
    vn::strutf16 name;
    CHttpInfoParser::GetPureFileName(vn::strutf16(head), name);
    return 0;
}
