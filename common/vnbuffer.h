// Public header (part of vnbase.h, through common/vnstream.h).
// The storage shared by vn::strutf8, vn::strutf16 and vn::stream: a malloc'd buffer of
// capacity + 1 units that always ends in a zero unit, grown by doubling and shrunk only
// after the length falls below half the capacity. Include common/vnstream.h instead.
//
// Values are not shared between threads: one thread at a time may use an object.
//
// Layout: the table pointer, then capacity (units, terminator not counted, 0 without a
// buffer), length (units in use) and the buffer pointer (null when the value is empty).
// Limits: a buffer of n units (terminator included) requires n <= 0x7FFFFFFF / sizeof(T).
// Exceeding it, or running out of memory, aborts the process in every build: a string
// that silently dropped data would be worse than a crash report.
#pragma once

#include "common/vnexport.h"

namespace vn {
namespace detail {

template <typename T>
class basic_buffer {
public:
    typedef T unit_type;

    virtual ~basic_buffer();

    // Number of units in use (the terminator not counted).
    unsigned length() const { return m_uLength; }
    unsigned size() const { return m_uLength; }
    // Units the buffer holds without growing, the terminator not counted; 0 without buffer.
    unsigned capacity() const { return m_uCapacity; }
    bool empty() const { return m_uLength == 0; }

    // Never null: an empty value without a buffer hands out a shared, read-only zero unit.
    const T* c_str() const { return m_pData ? m_pData : zero_unit(); }
    const T* data() const { return m_pData ? m_pData : zero_unit(); }
    T* data() { return m_pData ? m_pData : const_cast<T*>(zero_unit()); }

    // No bounds check. Index length() is the terminator, also on an empty value (whose
    // shared zero unit is read-only).
    T& at(unsigned i) { return data()[i]; }
    const T& at(unsigned i) const { return c_str()[i]; }
    T& operator[](unsigned i) { return data()[i]; }
    const T& operator[](unsigned i) const { return c_str()[i]; }

    // Sets the length to n (0 frees the buffer) and returns it. Units past the old length
    // hold whatever the buffer held; the unit at index n is set to zero.
    unsigned resize(unsigned n);
    // Grows the buffer so that it holds at least n units; never shrinks, never changes
    // the length.
    void reserve(unsigned n);
    // Frees the buffer: length and capacity become 0.
    void clear();

protected:
    basic_buffer() : m_uCapacity(0), m_uLength(0), m_pData(nullptr) {}
    basic_buffer(const basic_buffer& other);
    basic_buffer(basic_buffer&& other) noexcept;
    basic_buffer& operator=(const basic_buffer& other);
    basic_buffer& operator=(basic_buffer&& other) noexcept;

    // Replaces the content by n units from s (which may point into this buffer).
    void assign_units(const T* s, unsigned n);
    // Appends n units from s (which may point into this buffer). Never shrinks.
    void append_units(const T* s, unsigned n);
    // Applies the length policy for a new length L: 0 frees; L + 1 < capacity / 2
    // shrinks; L >= capacity grows. Keeps the first min(old, L) units and terminates.
    // Returns the buffer (null when L is 0).
    T* set_length(unsigned L);
    // Length-and-content equality.
    bool equal_units(const basic_buffer& other) const;

    // Grows to the capacity for n units (terminator included): 2^(floor(log2 n) + 1).
    void grow(unsigned n);
    // n == 0 empties; otherwise reallocates down when the capacity for n is smaller.
    void shrink(unsigned n);
    // Reallocates to exactly cap units (+ terminator), cap >= 1, keeping min(length, cap)
    // units; aborts when memory runs out.
    void set_capacity(unsigned cap);

    static const T* zero_unit() {
        static const T z = 0;
        return &z;
    }

    unsigned m_uCapacity;
    unsigned m_uLength;
    T* m_pData;
};

// The three unit types are instantiated once, inside the library.
extern template class VN_EXPORT basic_buffer<char>;
extern template class VN_EXPORT basic_buffer<char16_t>;
extern template class VN_EXPORT basic_buffer<unsigned char>;

// Capacity that the growth policy gives a buffer for n units (terminator included),
// n >= 1: the smallest power of two strictly greater than n's highest set bit.
inline unsigned buffer_capacity_for(unsigned n) {
    return 2u << (31 - __builtin_clz(n));
}

}  // namespace detail
}  // namespace vn
