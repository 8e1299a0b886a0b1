// Internal header, not installed: helpers of the TEA family that the tests reach directly.
// Plain functions without state, callable from any thread.
#pragma once

#include <stddef.h>

namespace vn {
namespace detail {

// Longest token text that tea_token_encode can produce for n input bytes.
constexpr size_t tea_token_max_len(size_t n) {
    return 2 * ((n * 4 + 2) / 3);
}

// Writes the escaped base-64 text of the account-number token for in[0..n) to out, which
// must hold tea_token_max_len(n) bytes, and returns its length. No terminator is written.
// Alphabet A-Z a-z 0-9 * _, 3 bytes give 4 indices (most significant bits first), a
// trailing byte 2 and a trailing pair 3, no padding; index 34 ("i") becomes "ia", 62
// becomes "ib" and 63 "ic", so the text never holds a bare "i", "*" or "_".
size_t tea_token_encode(const unsigned char* in, size_t n, char* out);

}  // namespace detail
}  // namespace vn
