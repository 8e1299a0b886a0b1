// Internal header (not installed): the stateless text steps of the HTTP client, kept apart
// so that tests and fuzzers can call them: URL cracking, redirect resolution and the
// If-Modified-Since line. Answers are read on the message layer (CHttpResponseReader).
//
// Thread safety: stateless; callable from any thread.
//   vn::strutf8 host, path; unsigned short port;
//   vn::detail::HttpCrackUrl("http://127.0.0.1:8080/a?x", host, port, path);
//   vn::detail::HttpResolveRedirect("http://h/a/x", "../c", out);   // "http://h/c"
#pragma once

#include <stddef.h>

#include <string>
#include <vector>

#include "common/vnstream.h"
#include "http/client/vnhttpclient.h"

namespace vn {
namespace detail {

// Splits an http:// or https:// URL into host, port (80 or 443 unless given) and path
// (query included, "/" when empty; a "#fragment" is dropped, never sent); *pbTls (may be
// null) tells https. False for another scheme (any case), no "//", an empty host, a port
// that is not a number from 1 to 65535, or a URL holding control bytes or spaces (they
// would break the request line).
bool HttpCrackUrl(const vn::strutf8& strUrl, vn::strutf8& strHost, unsigned short& wPort,
                  vn::strutf8& strPath, bool* pbTls = nullptr);

// A --resolve entry in curl's form "HOST:PORT:ADDR[,ADDR...]": *pKey gets "host:port" with
// the host in lower case (an IPv6 host in brackets loses them), *pAddrs the addresses in
// order (IPv6 ones without brackets). False for anything else: no port or one outside 1 to
// 65535, an empty host, an address that is not numeric text of either family.
bool HttpParseResolve(const char* pszEntry, std::string* pKey, std::vector<std::string>* pAddrs);

// The URL a Location value leads to from strUrl: an absolute URL as it stands, "//host/x"
// takes the current scheme, "/x" replaces the path and query, "?q" the query, "x", "./x"
// and "../x" are resolved against the current path. False when the result is not a
// crackable http or https URL (or on no memory).
bool HttpResolveRedirect(const vn::strutf8& strUrl, const vn::strutf8& strLocation,
                         vn::strutf8& strOut);

// "If-Modified-Since: Tue, 02 Mar 2010 10:05:09 GMT\r\n", or empty for a month outside
// 1..12 or a day of week above 6.
vn::strutf8 HttpIfModifiedSinceLine(const SYSTEMTIME& st);

// True when the text holds CR or LF: such a text would end a header line early.
bool HttpHasCrLf(const vn::strutf8& s);

// Header lines ("Name:value\r\n" each, as the caller added them): whether one names the
// field (case-insensitive), and the lines without those naming any of a null-ended list.
bool HttpHasHeaderLine(const vn::strutf8& lines, const char* pszName);
vn::strutf8 HttpDropHeaderLines(const vn::strutf8& lines, const char* const* ppszNames);

}  // namespace detail
}  // namespace vn
