// The storage and growth policy of vn::strutf8, vn::strutf16 and vn::stream, written once
// for the three unit types.
#include "common/vnbuffer.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

namespace vn {
namespace detail {

namespace {

// Largest buffer, in units and terminator included: its byte size must stay within a
// signed 32-bit count, the bound every length in the library's interfaces obeys.
template <typename T>
constexpr unsigned long long max_units() {
    return 0x7FFFFFFFull / sizeof(T);
}

[[noreturn]] void fail_limit(unsigned long long n, size_t unit) {
    char what[160];
    snprintf(what, sizeof(what),
             "vn string/stream size limit exceeded: %llu units of %zu bytes "
             "(_l <= 0x7FFFFFFF/sizeof(T))",
             n, unit);
    fatal(__FILE__, __LINE__, what);
}

[[noreturn]] void fail_alloc(unsigned long long bytes) {
    char what[128];
    snprintf(what, sizeof(what), "vn string/stream allocation of %llu bytes failed (data)", bytes);
    fatal(__FILE__, __LINE__, what);
}

}  // namespace

template <typename T>
basic_buffer<T>::~basic_buffer() {
    free(m_pData);
}

template <typename T>
basic_buffer<T>::basic_buffer(const basic_buffer& other)
    : m_uCapacity(0), m_uLength(0), m_pData(nullptr) {
    if (other.m_uLength) assign_units(other.m_pData, other.m_uLength);
}

template <typename T>
basic_buffer<T>::basic_buffer(basic_buffer&& other) noexcept
    : m_uCapacity(other.m_uCapacity), m_uLength(other.m_uLength), m_pData(other.m_pData) {
    other.m_uCapacity = 0;
    other.m_uLength = 0;
    other.m_pData = nullptr;
}

template <typename T>
basic_buffer<T>& basic_buffer<T>::operator=(const basic_buffer& other) {
    if (this != &other) assign_units(other.m_pData, other.m_uLength);
    return *this;
}

template <typename T>
basic_buffer<T>& basic_buffer<T>::operator=(basic_buffer&& other) noexcept {
    if (this != &other) {
        free(m_pData);
        m_uCapacity = other.m_uCapacity;
        m_uLength = other.m_uLength;
        m_pData = other.m_pData;
        other.m_uCapacity = 0;
        other.m_uLength = 0;
        other.m_pData = nullptr;
    }
    return *this;
}

template <typename T>
unsigned basic_buffer<T>::resize(unsigned n) {
    set_length(n);
    return m_uLength;
}

template <typename T>
void basic_buffer<T>::reserve(unsigned n) {
    if (n <= m_uCapacity) return;
    grow(n);
}

template <typename T>
void basic_buffer<T>::clear() {
    shrink(0);
}

template <typename T>
void basic_buffer<T>::assign_units(const T* s, unsigned n) {
    if (!s || !n) {
        shrink(0);
        return;
    }
    if (m_pData && s >= m_pData && s <= m_pData + m_uCapacity) {
        // The source lies in this buffer (s = s.c_str() + k): move it to the front
        // before any reallocation can move or free it. n <= capacity - offset.
        memmove(m_pData, s, (size_t)n * sizeof(T));
        set_length(n);
        return;
    }
    set_length(n);
    memcpy(m_pData, s, (size_t)n * sizeof(T));
}

template <typename T>
void basic_buffer<T>::append_units(const T* s, unsigned n) {
    if (!s || !n) return;
    unsigned long long L = (unsigned long long)m_uLength + n;
    if (L + 1 > max_units<T>()) fail_limit(L + 1, sizeof(T));
    if (L >= m_uCapacity) {
        if (m_pData && s >= m_pData && s <= m_pData + m_uCapacity) {
            // Appending a part of itself: the buffer may move while growing.
            size_t off = (size_t)(s - m_pData);
            grow((unsigned)L + 1);
            s = m_pData + off;
        } else {
            grow((unsigned)L + 1);
        }
    }
    // grow() leaves a buffer of at least L + 1 units (a capacity above 0 always has one).
    // NOLINTNEXTLINE(clang-analyzer-core.NonNullParamChecker)
    memmove(m_pData + m_uLength, s, (size_t)n * sizeof(T));
    m_uLength = (unsigned)L;
    m_pData[L] = 0;
}

template <typename T>
T* basic_buffer<T>::set_length(unsigned L) {
    if (L == 0) {
        shrink(0);
        return nullptr;
    }
    if ((unsigned long long)L + 1 > max_units<T>())
        fail_limit((unsigned long long)L + 1, sizeof(T));
    if (L + 1 < m_uCapacity / 2)
        shrink(L + 1);
    else if (L >= m_uCapacity)
        grow(L + 1);
    m_uLength = L;
    m_pData[L] = 0;  // NOLINT(clang-analyzer-core.NullDereference): L > 0 has a buffer
    return m_pData;
}

template <typename T>
bool basic_buffer<T>::equal_units(const basic_buffer& other) const {
    if (m_uLength != other.m_uLength) return false;
    return m_uLength == 0 || memcmp(m_pData, other.m_pData, (size_t)m_uLength * sizeof(T)) == 0;
}

template <typename T>
void basic_buffer<T>::grow(unsigned n) {
    if (n == 0) return;
    if (n > max_units<T>()) fail_limit(n, sizeof(T));
    unsigned cap = buffer_capacity_for(n);
    if (m_uCapacity >= cap) return;
    set_capacity(cap);
}

template <typename T>
void basic_buffer<T>::shrink(unsigned n) {
    if (n == 0) {
        free(m_pData);
        m_pData = nullptr;
        m_uCapacity = 0;
        m_uLength = 0;
        return;
    }
    if (n > max_units<T>()) fail_limit(n, sizeof(T));
    unsigned cap = buffer_capacity_for(n);
    if (m_uCapacity <= cap) return;
    set_capacity(cap);
}

template <typename T>
void basic_buffer<T>::set_capacity(unsigned cap) {
    if (cap == m_uCapacity) return;
    if (cap == 0 || cap > buffer_capacity_for((unsigned)max_units<T>())) fail_limit(cap, sizeof(T));
    size_t bytes = ((size_t)cap + 1) * sizeof(T);
    T* p = static_cast<T*>(realloc(m_pData, bytes));
    if (!p) {
        // A failed shrink leaves the larger buffer intact: nothing is lost, keep it.
        if (m_pData && cap < m_uCapacity) return;
        fail_alloc(bytes);
    }
    if (!m_pData) p[0] = 0;  // a fresh buffer is terminated at length 0 (reserve)
    m_pData = p;
    m_uCapacity = cap;
    if (m_uLength > cap) {
        m_uLength = cap;
        m_pData[cap] = 0;
    }
}

template class basic_buffer<char>;
template class basic_buffer<char16_t>;
template class basic_buffer<unsigned char>;

}  // namespace detail
}  // namespace vn
