// Public header (part of vnbase.h).
// CRC-32 of IEEE 802.3 (reflected polynomial 0xEDB88320), the same values as zlib's
// crc32(). Stateless, callable from any thread.
//
//   unsigned int crc = CRC32(0, part1, n1);   // a fresh checksum starts from 0
//   crc = CRC32(crc, part2, n2);               // continued by passing the previous result
#pragma once

#include <stddef.h>

#include "common/vnexport.h"

// Returns the checksum of len bytes at data continued from crc (pre- and post-
// complemented). A null data pointer or a zero length returns crc unchanged.
VN_EXPORT unsigned int CRC32(unsigned int crc, const void* data, size_t len);
