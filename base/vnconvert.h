// Public header (part of vnbase.h).
// Strict conversions between numbers and decimal or hexadecimal text, and the UTF-16
// length helper. Stateless; callable from any thread.
#pragma once

#include "common/vnexport.h"

// 1 when every byte of s is '0'..'9' (also for ""), else 0; 0 for a null pointer.
VN_EXPORT int vn_isalldigit(const char* s);

// Decimal text of v in a new 21-byte malloc'd buffer (caller frees with free()), and its
// length. Returns 1, or 0 when text or len is null or memory runs out. vn_int642str
// prints a negative value as its unsigned 64-bit reading (-1 gives 18446744073709551615).
VN_EXPORT int vn_int642str(long long v, char** text, unsigned int* len);
VN_EXPORT int vn_uint642str(unsigned long long v, char** text, unsigned int* len);

// Strict text-to-number conversions. Leading and trailing spaces (0x20 only) are skipped,
// one sign is accepted ('+' or '-' for the signed forms, '+' only for the unsigned), then
// "0x"/"0X" selects hexadecimal. *out always holds the value read so far. Returns 1 when
// the whole text was a number in range, else 0. The most negative value of a signed form
// counts as out of range.
VN_EXPORT int vn_str2int(const char* s, int* out);
VN_EXPORT int vn_str2uint32(const char* s, unsigned int* out);
VN_EXPORT int vn_str2int64(const char* s, long long* out);
VN_EXPORT int vn_str2uint64(const char* s, unsigned long long* out);

// Number of 16-bit units before the terminator; 0 for a null pointer.
VN_EXPORT unsigned int vn_strlen(const char16_t* s);
