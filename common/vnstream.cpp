// vn::stream: the byte buffer.
#include "common/vnstream.h"

#include <string.h>

#include <string>

namespace vn {

stream::stream(const unsigned char* s, unsigned n) {
    assign_units(s, n);
}

stream::stream(const char* s, unsigned n) {
    if (s && n == 0) n = (unsigned)strlen(s);
    assign_units(reinterpret_cast<const unsigned char*>(s), n);
}

stream::stream(const char16_t* s, unsigned n) {
    if (!s) return;
    if (n == 0) n = (unsigned)std::char_traits<char16_t>::length(s);
    // 2 * n must respect the byte limit; the storage checks it (in 64 bits).
    if (n > 0x7FFFFFFFu / 2) set_length(0xFFFFFFFFu);  // aborts with the limit message
    assign_units(reinterpret_cast<const unsigned char*>(s), n * 2);
}

stream& stream::operator=(const char* s) {
    assign_units(reinterpret_cast<const unsigned char*>(s), s ? (unsigned)strlen(s) : 0);
    return *this;
}

stream& stream::operator=(const stream& other) {
    basic_buffer<unsigned char>::operator=(other);
    return *this;
}

stream& stream::operator=(stream&& other) noexcept {
    basic_buffer<unsigned char>::operator=(static_cast<basic_buffer<unsigned char>&&>(other));
    return *this;
}

stream& stream::operator=(const strutf8& s) {
    assign_units(reinterpret_cast<const unsigned char*>(s.c_str()), s.length());
    return *this;
}

stream& stream::operator=(const strutf16& s) {
    assign_units(reinterpret_cast<const unsigned char*>(s.c_str()), s.length() * 2);
    return *this;
}

stream& stream::assign(const unsigned char* s, unsigned n) {
    assign_units(s, n);
    return *this;
}

stream& stream::append(const unsigned char* s, unsigned n) {
    append_units(s, n);
    return *this;
}

stream& stream::operator+=(const stream& other) {
    append_units(other.m_pData, other.m_uLength);
    return *this;
}

bool stream::bits(unsigned i) const {
    if ((unsigned long long)i >= 8ull * m_uLength) return false;
    return (m_pData[i / 8] & (0x80u >> (i % 8))) != 0;
}

}  // namespace vn
