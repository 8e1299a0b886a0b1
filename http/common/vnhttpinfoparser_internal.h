// Internal header (not installed): the builder behind CHttpInfoParser::MakeSvrResHead, for
// answers the designed call cannot describe (a range with an end, a 416 with its
// "bytes */length", a length other than total minus start). Same layout, byte for byte.
//
// Thread safety: stateless; callable from any thread.
//   vn::strutf8 h = vn::detail::HttpAnswerHead(206, 100, true, false, "bytes 0-99/1000");
#pragma once

#include "common/vnstream.h"

namespace vn {
namespace detail {

// The status and server lines ("OK" for 200 and 206, "Error" otherwise), "Content-Encoding:
// gzip" when bGzip, "Content-Range: <pszContentRange>" when it is not null,
// "Content-Length: <uContentLength>" and the Connection line, then the empty line.
vn::strutf8 HttpAnswerHead(unsigned int uCode, unsigned long long uContentLength, bool bKeepAlive,
                           bool bGzip, const char* pszContentRange);

}  // namespace detail
}  // namespace vn
