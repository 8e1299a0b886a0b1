// Public header (part of vnbase.h, through common/vnstream.h).
// vn::strutf8 (8-bit text, normally UTF-8) and vn::strutf16 (UTF-16 text in char16_t
// units): the value types in which text crosses every interface of the library.
// Both are deep-copied values on the growth policy of vn::detail::basic_buffer; they
// convert into one another with vnutf82utf16 / vnutf162utf8 (common/vnconv.h).
// Not thread-safe: one thread at a time may use an object.
//
//   vn::strutf8 s("Hello, ");
//   s += "world";
//   vn::strutf16 w = s;                    // UTF-8 -> UTF-16
//   int at = s.find("WORLD", 0, true);     // 7
#pragma once

#include <stdarg.h>

#include "common/vnexport.h"
#include "common/vnbuffer.h"

namespace vn {

class strutf16;

// 8-bit string. A null pointer or zero length given to an assignment empties it.
class VN_EXPORT strutf8 : public detail::basic_buffer<char> {
public:
    strutf8() {}
    // n == 0 means strlen(s); a null s gives an empty string.
    strutf8(const char* s, unsigned n = 0);
    // UTF-16 converted to UTF-8; n == 0 means up to the terminator.
    strutf8(const char16_t* s, unsigned n = 0);
    strutf8(const strutf8& other) : detail::basic_buffer<char>(other) {}
    strutf8(strutf8&& other) noexcept : detail::basic_buffer<char>(static_cast<strutf8&&>(other)) {}
    strutf8(const strutf16& other);

    strutf8& operator=(const char* s);
    strutf8& operator=(const strutf8& other);
    strutf8& operator=(strutf8&& other) noexcept;
    strutf8& operator=(const strutf16& other);
    // n == 0 means strlen(s).
    strutf8& assign(const char* s, unsigned n = 0);

    // n == 0 means strlen(s).
    strutf8& append(const char* s, unsigned n = 0);
    strutf8& append(const strutf8& other);
    // Appends n bytes of other from pos; does nothing when pos + n exceeds its length.
    strutf8& append(const strutf8& other, unsigned pos, unsigned n);
    strutf8& operator+=(const char* s) { return append(s); }
    strutf8& operator+=(const strutf8& other) { return append(other); }
    strutf8 operator+(const char* s) const;
    strutf8 operator+(const strutf8& other) const;

    operator char*() { return data(); }
    operator const char*() const { return c_str(); }

    // A null s equals the empty string. Compares up to the first zero byte (strcmp).
    bool operator==(const char* s) const;
    bool operator!=(const char* s) const { return !(*this == s); }
    // Same length and same bytes.
    bool operator==(const strutf8& other) const { return equal_units(other); }
    bool operator!=(const strutf8& other) const { return !equal_units(other); }
    // strcmp order; a string without buffer sorts before one with a buffer.
    bool operator<(const strutf8& other) const;
    // strcmp(c_str(), s), a null s taken as "".
    int compare(const char* s) const;
    // -1 when pos + n exceeds the length (or either is negative); otherwise strcmp of
    // the n bytes at pos with other.
    int compare(int pos, int n, const strutf8& other) const;
    // These three are false when either side is empty.
    bool equals(const char* s) const;
    bool startswith(const char* s) const;
    bool endswith(const char* s) const;

    // Index of the first match of s at or after start, or -1 (null s, start not below the
    // length, s longer than the rest). ignorecase folds ASCII a-z onto A-Z on both sides.
    int find(const char* s, unsigned start = 0, bool ignorecase = false) const;
    // Last match of s whose end lies at least pos bytes before the end, or -1 (null or
    // empty s, nothing found).
    int reversefind(const char* s, unsigned pos = 0, bool ignorecase = false) const;

    // n bytes from pos (n == (unsigned)-1: to the end); empty when pos + n exceeds the
    // length.
    strutf8 substr(unsigned pos, unsigned n = (unsigned)-1) const;
    // Replaces the n bytes at pos by s (a null or empty s deletes them); does nothing when
    // pos + n exceeds the length.
    strutf8& replace(unsigned pos, unsigned n, const char* s);
    // Removes space, CR, LF and TAB from the chosen ends.
    strutf8& trim(bool right = true, bool left = true);
    strutf8& trimleft() { return trim(false, true); }
    strutf8& trimright() { return trim(true, false); }
    // ASCII letters only; bytes of multi-byte sequences are left alone.
    strutf8& tolower();
    strutf8& toupper();

    // printf-style formatting into this string; returns the new length. A result of
    // 524,288 bytes or more leaves the string empty.
    unsigned format(const char* fmt, ...) __attribute__((format(printf, 2, 3)));
    unsigned formatv(const char* fmt, va_list args) __attribute__((format(printf, 2, 0)));
};

// UTF-16 string in char16_t units (host byte order).
class VN_EXPORT strutf16 : public detail::basic_buffer<char16_t> {
public:
    strutf16() {}
    // UTF-8 converted to UTF-16; n == 0 means strlen(s).
    strutf16(const char* s, unsigned n = 0);
    // n == 0 means up to the terminator; a null s gives an empty string.
    strutf16(const char16_t* s, unsigned n = 0);
    strutf16(const strutf16& other) : detail::basic_buffer<char16_t>(other) {}
    strutf16(strutf16&& other) noexcept
        : detail::basic_buffer<char16_t>(static_cast<strutf16&&>(other)) {}
    strutf16(const strutf8& other);

    strutf16& operator=(const char* s);
    strutf16& operator=(const char16_t* s);
    strutf16& operator=(const strutf8& other);
    strutf16& operator=(const strutf16& other);
    strutf16& operator=(strutf16&& other) noexcept;
    // n == 0 means up to the terminator.
    strutf16& assign(const char16_t* s, unsigned n = 0);
    // n == 0 means up to the terminator.
    strutf16& append(const char16_t* s, unsigned n = 0);
    strutf16& append(const strutf16& other);
    strutf16& operator+=(const char16_t* s) { return append(s); }
    strutf16& operator+=(const strutf16& other) { return append(other); }

    operator char16_t*() { return data(); }
    operator const char16_t*() const { return c_str(); }

    // Same length and same units.
    bool operator==(const strutf16& other) const { return equal_units(other); }
    bool operator!=(const strutf16& other) const { return !equal_units(other); }
    // Unit order over the shorter length, then the shorter first.
    bool operator<(const strutf16& other) const;

    // Index of the first match of s at or after start, or -1 (null s, start + len(s)
    // beyond the length).
    int find(const char16_t* s, unsigned start = 0) const;

    // Removes U+0020 only from the chosen ends.
    strutf16& trim(bool right = true, bool left = true);
    strutf16& trimleft() { return trim(false, true); }
    strutf16& trimright() { return trim(true, false); }
    // ASCII letters only.
    strutf16& tolower();
    strutf16& toupper();
};

}  // namespace vn
