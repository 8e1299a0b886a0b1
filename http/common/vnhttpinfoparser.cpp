// CHttpInfoParser: reading and writing HTTP heads held as text (see vnhttpinfoparser.h).
#include "http/common/vnhttpinfoparser.h"
#include "http/common/vnhttpinfoparser_internal.h"

#include <string.h>

#include "base/vnconvert.h"
#include "net/vnhttpmultipart.h"
#include "net/vnhttptext_internal.h"

namespace {

// Where the value of the first header named name starts in head, or -1.
int ValueStart(const vn::strutf8& head, const char* name) {
    return vn::detail::HttpFindHeader(head.c_str(), head.length(), name);
}

}  // namespace

namespace vn {
namespace detail {

vn::strutf8 HttpAnswerHead(unsigned int uCode, unsigned long long uContentLength, bool bKeepAlive,
                           bool bGzip, const char* pszContentRange) {
    vn::strutf8 head;
    vn::strutf8 line;
    // The blank before each CRLF of the first two lines is what peers of this server have
    // always received; it is kept byte for byte.
    if (uCode == 200 || uCode == 206) {
        head.format("HTTP/1.1 %u OK \r\nServer: ZR/1.0.0 (Corvane) \r\n", uCode);
    } else {
        head.format("HTTP/1.1 %u Error \r\nServer: ZR/1.0.0 (Corvane) \r\n", uCode);
    }
    if (bGzip) head += "Content-Encoding: gzip\r\n";
    if (pszContentRange != nullptr) {
        line.format("Content-Range: %s\r\n", pszContentRange);
        head += line;
    }
    line.format("Content-Length: %llu\r\n", uContentLength);
    head += line;
    head += bKeepAlive ? "Connection: keep-alive\r\n\r\n" : "Connection: close\r\n\r\n";
    return head;
}

}  // namespace detail
}  // namespace vn

vn::strutf8 CHttpInfoParser::MakeSvrResHead(unsigned int uCode, unsigned long long uTotal,
                                            unsigned char bKeepAlive, unsigned char bGzip,
                                            long long llRangeStart) {
    unsigned long long start = static_cast<unsigned long long>(llRangeStart);
    vn::strutf8 range;
    if (llRangeStart != 0) range.format("bytes %llu-%llu/%llu", start, uTotal - 1, uTotal);
    return vn::detail::HttpAnswerHead(uCode, uTotal - start, bKeepAlive != 0, bGzip != 0,
                                      llRangeStart != 0 ? range.c_str() : nullptr);
}

unsigned char CHttpInfoParser::GetHttpHeadInfo(const char* pData, unsigned int uLen,
                                               unsigned int& uHeadStart, unsigned int& uHeadLen,
                                               unsigned long long& uContentLen,
                                               vn::strutf8& strBoundary) {
    if (pData == nullptr || uLen == 0) return 0;
    vn::strutf8 text(pData, uLen);
    int headEnd = text.find("\r\n\r\n");
    if (headEnd < 0) return 0;

    uContentLen = 0;
    vn::strutf8 value;
    if (QueryInfo(text, "Content-Length", value)) vn_str2uint64(value.c_str(), &uContentLen);

    // Only the message head's Content-Type says what the body is, read by the same rule as
    // every form the library takes (parameters after the boundary, quoted boundaries).
    vn::strutf8 head(pData, static_cast<unsigned>(headEnd) + 2);
    vn::strutf8 type;
    int form = QueryInfo(head, "Content-Type", type)
                   ? CHttpMultipartReader::ParseBoundary(type.c_str(), type.length(), strBoundary)
                   : 0;
    if (form == 0) {
        uHeadStart = 0;
        uHeadLen = static_cast<unsigned>(headEnd) + 4;
        return 1;
    }
    if (form < 0) return 0;
    unsigned bend = static_cast<unsigned>(headEnd);

    vn::strutf8 delimiter;
    delimiter.format("--%s\r\n", strBoundary.c_str());
    int part = text.find(delimiter.c_str(), static_cast<unsigned>(bend));
    if (part < 0) return 0;
    int partEnd = text.find("\r\n\r\n", static_cast<unsigned>(part) + delimiter.length());
    if (partEnd < 0) return 0;

    // The content length now counts from the first data byte of the first part. A declared
    // length shorter than the part head is not a length at all: 0, as if none was given.
    unsigned long long skipped = static_cast<unsigned long long>(partEnd - headEnd);
    uContentLen = uContentLen > skipped ? uContentLen - skipped : 0;
    uHeadLen = static_cast<unsigned>(partEnd) + 4 - uHeadStart;
    return 1;
}

unsigned char CHttpInfoParser::GetRange(const vn::strutf8& strHead, unsigned long long& uStart) {
    vn::strutf8 value;
    if (!QueryInfo(strHead, "Range", value)) return 1;
    int at = value.find("bytes=", 0, true);
    if (at < 0) return 0;
    unsigned from = static_cast<unsigned>(at) + 6;
    int dash = value.find("-", from);
    if (dash < 0) return 0;
    vn::strutf8 number = value.substr(from, static_cast<unsigned>(dash) - from);
    return vn_str2uint64(number.c_str(), &uStart) ? 1 : 0;
}

unsigned char CHttpInfoParser::GetDispositionFileName(const vn::strutf8& strHead,
                                                      vn::strutf8& strFileName) {
    vn::strutf8 value;
    if (!QueryInfo(strHead, "Content-Disposition", value)) return 0;
    int at = value.find("filename=\"", 0, true);
    if (at < 0) return 0;
    unsigned from = static_cast<unsigned>(at) + 10;
    int end = value.find("\"", from);
    if (end < 0) return 0;
    strFileName = value.substr(from, static_cast<unsigned>(end) - from);
    return 1;
}

unsigned char CHttpInfoParser::QueryInfo(const vn::strutf8& strHead, const char* pszName,
                                         vn::strutf8& strValue) {
    int start = ValueStart(strHead, pszName);
    if (start < 0) return 0;
    unsigned from = static_cast<unsigned>(start);
    // A value on a last line without a line feed ends at the first ';', or is not found.
    int end = strHead.find("\n", from);
    if (end < 0) end = strHead.find(";", from);
    if (end < 0) return 0;
    strValue = strHead.substr(from, static_cast<unsigned>(end) - from);
    strValue.trim();
    return 1;
}

unsigned char CHttpInfoParser::QueryInfo(const vn::strutf8& strHead, const char* pszName,
                                         unsigned int& uValue) {
    vn::strutf8 value;
    if (!QueryInfo(strHead, pszName, value)) return 0;
    return vn_str2uint32(value.c_str(), &uValue) ? 1 : 0;
}

unsigned char CHttpInfoParser::GetPureFileName(const vn::strutf16& strPath, vn::strutf16& strName) {
    unsigned n = strPath.length();
    if (n == 0) return 0;
    const char16_t* p = strPath.c_str();
    unsigned i = n;
    while (i > 0 && p[i - 1] != u'/' && p[i - 1] != u'\\')
        --i;
    strName = vn::strutf16(p + i, n - i);
    if (i == n) strName = vn::strutf16();  // a path ending in a separator names nothing
    return 1;
}
