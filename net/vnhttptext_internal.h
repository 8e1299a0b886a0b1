// Internal header (not installed): the HTTP text helpers that the HTTP CONNECT proxy
// client, the HTTP client and the embedded server share: where a head ends, the status
// code of a reply, the one header lookup every reader of a head is built on, and Base64
// for Basic credentials.
//
// Thread safety: stateless; callable from any thread.
//   size_t end = vn::detail::HttpReplyHeadEnd(buf, len);       // 0: not complete yet
//   int at = vn::detail::HttpFindHeader(head, len, "Content-Length");  // value offset, -1
#pragma once

#include <stddef.h>

#include <string>

namespace vn {
namespace detail {

// Standard Base64 (RFC 4648 alphabet, "=" padding, no line breaks).
std::string Base64Encode(const unsigned char* data, size_t len);

// Where the reply head of an HTTP proxy ends: the index just past the blank line ("\r\n\r\n"
// or a bare "\n\n") in buf[0, len), or 0 when it has not arrived yet.
size_t HttpReplyHeadEnd(const char* buf, size_t len);

// The status code of an HTTP reply head: the leading digits of the word after the first
// space (0 without digits); -1 when the text holds no space.
int HttpReplyStatus(const char* buf, size_t len);

// Finds the first header line named name in head[0, len): the key "\n<name>:" is searched
// ignoring ASCII case, then "\n<name> :" (one blank before the colon). A key must follow a
// line feed, so the first line never matches and "Range" does not match "Content-Range".
// Returns the offset of the first byte after the colon, or -1 (also for a null or empty
// name).
int HttpFindHeader(const char* head, size_t len, const char* name);

}  // namespace detail
}  // namespace vn
