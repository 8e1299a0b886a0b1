// Internal header (not installed): the text helpers beside the HTTP message layer
// (vnhttphead.h): the header-key search over raw head text that the designed
// CHttpInfoParser::QueryInfo is built on, and Base64 for Basic credentials.
//
// Thread safety: stateless; callable from any thread.
//   int at = vn::detail::HttpFindHeader(head, len, "Content-Length");  // value offset, -1
#pragma once

#include <stddef.h>

#include <string>

namespace vn {
namespace detail {

// Standard Base64 (RFC 4648 alphabet, "=" padding, no line breaks).
std::string Base64Encode(const unsigned char* data, size_t len);

// Finds the first header line named name in head[0, len): the key "\n<name>:" is searched
// ignoring ASCII case, then "\n<name> :" (one blank before the colon). A key must follow a
// line feed, so the first line never matches and "Range" does not match "Content-Range".
// Returns the offset of the first byte after the colon, or -1 (also for a null or empty
// name).
int HttpFindHeader(const char* head, size_t len, const char* name);

}  // namespace detail
}  // namespace vn
