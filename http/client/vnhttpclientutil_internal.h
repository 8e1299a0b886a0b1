// Internal header (not installed): the stateless text steps of the HTTP client, kept apart
// so that tests and fuzzers can call them: URL cracking, redirect resolution, the response
// header lookup, the analysis of a response head and the If-Modified-Since line.
//
// Thread safety: stateless; callable from any thread.
//   vn::strutf8 host, path; unsigned short port;
//   vn::detail::HttpCrackUrl("http://127.0.0.1:8080/a?x", host, port, path);
//   vn::detail::HttpResolveRedirect("http://h/a/x", "../c", out);   // "http://h/c"
#pragma once

#include <stddef.h>

#include "common/vnstream.h"
#include "http/client/vnhttpclient.h"

namespace vn {
namespace detail {

// Splits an http:// URL into host, port (80 unless given) and path (query included, "/"
// when empty). False for another scheme (any case), no "//", an empty host, a port that
// is not a number from 1 to 65535, or a URL holding control bytes or spaces (they would
// break the request line).
bool HttpCrackUrl(const vn::strutf8& strUrl, vn::strutf8& strHost, unsigned short& wPort,
                  vn::strutf8& strPath);

// The URL a Location value leads to from strUrl: an absolute URL as it stands, "/x"
// replaces the path and query, "?q" the query, "x", "./x" and "../x" are resolved against
// the current path. False when the result is not a crackable http URL (or on no memory).
bool HttpResolveRedirect(const vn::strutf8& strUrl, const vn::strutf8& strLocation,
                         vn::strutf8& strOut);

// The response header lookup: the first line named pszName (HttpFindHeader), its value up
// to the line's end without the CR, trimmed when bTrim. False when absent, when the line
// has no line feed, or when the value is empty.
bool HttpGetHeaderValue(const char* pHead, size_t uLen, const char* pszName, vn::strutf8& strValue,
                        bool bTrim);

// What a response head says about its body.
struct HttpResponseHeadInfo {
    unsigned int uStatus = 0;
    bool bChunked = false;
    bool bTrailer = false;    // "Trailer" or "Trailers" announced (chunked only)
    bool bHasLength = false;  // a Content-Length that parses
    unsigned long long uLength = 0;
    bool bHasRange = false;  // a Content-Range "bytes S-E/T" that parses
    unsigned long long uRangeStart = 0;
    unsigned long long uRangeTotal = 0;
};

// The status line: 1 and the code (0 when the text between the blanks is not a number);
// 0 without "HTTP" in the first line, -1 without two separators.
int HttpAnalyseStatusLine(const vn::strutf8& strHead, unsigned int& uStatus);
// Reads Transfer-Encoding, Trailer(s), Content-Length and Content-Range into info.
void HttpReadBodyHeaders(const vn::strutf8& strHead, HttpResponseHeadInfo& info);

// "If-Modified-Since: Tue, 02 Mar 2010 10:05:09 GMT\r\n", or empty for a month outside
// 1..12 or a day of week above 6.
vn::strutf8 HttpIfModifiedSinceLine(const SYSTEMTIME& st);

// True when the text holds CR or LF: such a text would end a header line early.
bool HttpHasCrLf(const vn::strutf8& s);

}  // namespace detail
}  // namespace vn
