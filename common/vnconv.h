// Public header (part of vnbase.h, through common/vnstream.h).
// Conversion between UTF-8, UTF-16 (char16_t units) and GBK (code page 936).
// Each function fills the string passed by reference and returns true on success; on
// false the output is empty. All are callable from any thread.
//
//   vn::strutf16 w;
//   vnutf82utf16("caf\xc3\xa9", 5, w);     // u"café"
#pragma once

#include "common/vnexport.h"
#include "common/vnstring.h"

// UTF-8 to UTF-16. False for a null text or n == 0. Each ill-formed part of the input
// becomes one U+FFFD (maximal subparts); the pair C0 80 decodes to U+0000, the form in
// which vnutf162utf8 writes it.
VN_EXPORT bool vnutf82utf16(const char* s, unsigned n, vn::strutf16& out);

// UTF-16 to UTF-8 with the library's own encoder. False for n == 0 (or a null text).
// U+0000 becomes C0 80, so the result holds no zero byte; a surrogate pair becomes four
// bytes; a lone surrogate becomes three.
VN_EXPORT bool vnutf162utf8(const char16_t* s, unsigned n, vn::strutf8& out);

// GBK bytes to UTF-16. False for a null text or n == 0. When the input is not valid GBK
// the non-ASCII part is replaced: each byte >= 0x80 with the byte after it becomes '?'.
VN_EXPORT bool vngbk2utf16(const char* s, unsigned n, vn::strutf16& out);

// UTF-16 to GBK. False for a null text or n == 0. When some character has no GBK form,
// the non-ASCII part is replaced: each unit >= 0x80 becomes '?'.
VN_EXPORT bool vnutf162gbk(const char16_t* s, unsigned n, vn::strutf8& out);
