// Public header (part of vnbase.h): the chief header of the strings and containers.
// Including it brings vn::strutf8, vn::strutf16, vn::stream, the encoding conversions
// and vnstl::map.
//
// vn::stream is a byte buffer on the same storage and growth policy as the strings; it
// also keeps a zero byte after its content. Not thread-safe: one thread at a time may
// use an object.
//
//   vn::stream buf((const unsigned char*)"\x80\x01", 2);
//   buf.bits(0);                           // true: the top bit of byte 0
//   buf += vn::stream("more");
#pragma once

#include "common/vnexport.h"
#include "common/vnbuffer.h"
#include "common/vnstring.h"
#include "common/vnconv.h"
#include "common/vnmap.h"

namespace vn {

class VN_EXPORT stream : public detail::basic_buffer<unsigned char> {
public:
    stream() {}
    stream(const unsigned char* s, unsigned n);
    // n == 0 means strlen(s).
    stream(const char* s, unsigned n = 0);
    // Stores the 2 * n bytes of the units (host byte order); n == 0 means up to the
    // terminator.
    stream(const char16_t* s, unsigned n = 0);
    stream(const stream& other) : detail::basic_buffer<unsigned char>(other) {}
    stream(stream&& other) noexcept
        : detail::basic_buffer<unsigned char>(static_cast<stream&&>(other)) {}

    stream& operator=(const char* s);
    stream& operator=(const stream& other);
    stream& operator=(stream&& other) noexcept;
    // The string's bytes.
    stream& operator=(const strutf8& s);
    // The 2 * length bytes of the string's units.
    stream& operator=(const strutf16& s);
    stream& assign(const unsigned char* s, unsigned n);
    stream& append(const unsigned char* s, unsigned n);
    stream& operator+=(const stream& other);

    operator unsigned char*() { return data(); }
    operator const unsigned char*() const { return c_str(); }

    // Same length and same bytes.
    bool operator==(const stream& other) const { return equal_units(other); }
    bool operator!=(const stream& other) const { return !equal_units(other); }

    // Bit i counted from the most significant bit of byte 0 (byte i / 8, mask
    // 0x80 >> i % 8); false when i >= 8 * size().
    bool bits(unsigned i) const;
};

}  // namespace vn
