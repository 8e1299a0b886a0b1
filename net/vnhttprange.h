// Public header (part of vnbase.h).
// CHttpRange: byte ranges (RFC 9110 section 14). The server reads a request's Range with
// it, the client the Content-Range of a partial answer, vnhttp both.
//
// Thread safety: no state; callable from any thread.
//   unsigned long long first, last;
//   switch (CHttpRange::Evaluate(value, len, fileSize, &first, &last)) {
//       case CHttpRange::kPart: /* 206, bytes first..last */ break;
//       case CHttpRange::kUnsatisfiable: /* 416, "bytes *" "/size" */ break;
//       default: /* 200, everything */ break;
//   }
#pragma once

#include <stddef.h>

#include "common/vnexport.h"

class VN_EXPORT CHttpRange {
public:
    enum Result {
        kWhole = 0,          // no range to honour: send everything (200)
        kPart = 1,           // *pFirst..*pLast, both inclusive, inside the representation (206)
        kUnsatisfiable = 2,  // a valid range that selects nothing (416)
    };

    CHttpRange() = delete;

    // A Range field value against a representation of uTotal bytes. One "bytes" range is
    // honoured: "a-b" (b past the end means the end), "a-" and the suffix "-n". A list of
    // several ranges, another unit, or a value that does not parse ("bytes=5-2",
    // "bytes=0x5-") is ignored, as the RFC lets a server do: kWhole. A start at or past the
    // end, or a suffix of 0, is kUnsatisfiable.
    static int Evaluate(const char* p, size_t n, unsigned long long uTotal,
                        unsigned long long* pFirst, unsigned long long* pLast);
    // A Content-Range field value: "bytes a-b/total" or "bytes a-b/*" (*pllTotal -1), with
    // a <= b < total. "bytes */total" (a 416 answer) gives false.
    static bool ParseContentRange(const char* p, size_t n, unsigned long long* pFirst,
                                  unsigned long long* pLast, long long* pllTotal);
};
