// Internal header, not installed: the two CRC-32 engines behind CRC32, reachable by the
// tests so that each can be checked against the other whatever the processor offers.
// Both work on the running state (the checksum complemented) and are callable from any
// thread.
#pragma once

#include <stddef.h>
#include <stdint.h>

namespace vn {
namespace detail {

// Slicing-by-16 over the reflected 0xEDB88320 tables; any length.
uint32_t crc32_state_tables(uint32_t state, const unsigned char* p, size_t len);

// True when the processor can run crc32_state_clmul (x86-64 with PCLMULQDQ).
bool crc32_have_clmul();

// Carry-less multiplication folding for the bulk, the tables for the last bytes; any
// length. Only to be called when crc32_have_clmul() is true.
uint32_t crc32_state_clmul(uint32_t state, const unsigned char* p, size_t len);

}  // namespace detail
}  // namespace vn
