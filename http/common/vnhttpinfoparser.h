// Public header (part of vnbase.h).
// CHttpInfoParser: static, stateless helpers that read and write HTTP/1.1 message heads
// held as text. The embedded server finds the end of a request head, its Content-Length,
// a multipart boundary and a Range start with them and builds its answer heads; the
// client reduces upload paths to file names. Header names match without regard to case;
// values come back with space, tab, CR and LF trimmed from both ends.
//
// Thread safety: no state; callable from any thread.
//   vn::strutf8 len;
//   if (CHttpInfoParser::QueryInfo(head, "Content-Length", len)) ...
//   vn::strutf8 answer = CHttpInfoParser::MakeSvrResHead(200, 5, 0, 0, 0);
#pragma once

#include "base/vnexport.h"
#include "common/vnstream.h"

class VN_EXPORT CHttpInfoParser {
public:
    CHttpInfoParser() = delete;

    // The complete answer head, ending with its empty line: the status line ("OK" for 200
    // and 206, "Error" for every other code), the server line, "Content-Encoding: gzip"
    // when bGzip, "Content-Range" when llRangeStart is not 0, the Content-Length of the
    // bytes that follow (uTotal - llRangeStart) and the Connection line.
    static vn::strutf8 MakeSvrResHead(unsigned int uCode, unsigned long long uTotal,
                                      unsigned char bKeepAlive, unsigned char bGzip,
                                      long long llRangeStart);
    // Finds the head at the front of received bytes (and, for a multipart/form-data body,
    // the head of its first part). 1 when a complete head was found: uHeadLen bytes from
    // uHeadStart (read, not written: set it to 0 first) are the head, uContentLen the
    // announced length (multipart: counted from the first data byte of the first part) and
    // strBoundary the multipart boundary.
    static unsigned char GetHttpHeadInfo(const char* pData, unsigned int uLen,
                                         unsigned int& uHeadStart, unsigned int& uHeadLen,
                                         unsigned long long& uContentLen, vn::strutf8& strBoundary);
    // 1 when there is no Range header (llStart untouched: set it to 0 first) or its start
    // was read from "bytes=N-"; 0 for a Range value that does not parse.
    static unsigned char GetRange(const vn::strutf8& strHead, unsigned long long& uStart);
    // The quoted filename="..." of Content-Disposition, unconverted; 1 when found.
    static unsigned char GetDispositionFileName(const vn::strutf8& strHead,
                                                vn::strutf8& strFileName);
    // The value of the first header named pszName; 1 when found (value untouched else).
    static unsigned char QueryInfo(const vn::strutf8& strHead, const char* pszName,
                                   vn::strutf8& strValue);
    // The same, parsed as a decimal 32-bit number; 1 when found and a number.
    static unsigned char QueryInfo(const vn::strutf8& strHead, const char* pszName,
                                   unsigned int& uValue);
    // Everything after the last '/' or '\' of strPath; 0 for an empty path.
    static unsigned char GetPureFileName(const vn::strutf16& strPath, vn::strutf16& strName);
};
