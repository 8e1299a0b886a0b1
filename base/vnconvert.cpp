// Number/text conversions. The four vn_str2* functions share one template: the limits
// below reproduce the historical per-digit overflow thresholds exactly, so callers that
// relied on which texts pass keep getting the same answers.
#include "base/vnconvert.h"

#include <stdio.h>
#include <stdlib.h>

#include <type_traits>

int vn_isalldigit(const char* s) {
    if (s == nullptr) return 0;
    for (; *s != '\0'; ++s) {
        if (*s < '0' || *s > '9') return 0;
    }
    return 1;
}

namespace {

int uint64_to_text(unsigned long long v, char** text, unsigned int* len) {
    if (text == nullptr || len == nullptr) return 0;
    char* buf = static_cast<char*>(malloc(21));
    if (buf == nullptr) return 0;
    int n = snprintf(buf, 21, "%llu", v);
    *text = buf;
    *len = static_cast<unsigned int>(n);
    return 1;
}

// T is the result type; U its unsigned twin, in which the arithmetic wraps like the
// original's. hexLimit/decLimit: a previous value at or above them overflows.
template <typename T>
int str2num(const char* s, T* out, unsigned long long hexLimit, unsigned long long decLimit) {
    using U = typename std::make_unsigned<T>::type;
    if (out == nullptr) return 0;
    *out = 0;
    if (s == nullptr || *s == '\0') return 0;
    while (*s == ' ')
        ++s;
    bool negative = false;
    if (*s == '+') {
        ++s;
    } else if (std::is_signed<T>::value && *s == '-') {
        negative = true;
        ++s;
    }
    bool overflow = false;
    U value = 0;
    if (s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
        s += 2;
        for (;; ++s) {
            unsigned digit;
            if (*s >= '0' && *s <= '9') {
                digit = static_cast<unsigned>(*s - '0');
            } else if (*s >= 'a' && *s <= 'f') {
                digit = static_cast<unsigned>(*s - 'a' + 10);
            } else if (*s >= 'A' && *s <= 'F') {
                digit = static_cast<unsigned>(*s - 'A' + 10);
            } else {
                break;
            }
            U next = static_cast<U>(value * 16u + digit);
            if (value >= hexLimit) overflow = true;
            if (std::is_signed<T>::value ? static_cast<T>(next) < 0 : next < value) {
                overflow = true;
            }
            value = next;
            *out = static_cast<T>(value);
        }
    } else {
        for (; *s >= '0' && *s <= '9'; ++s) {
            U next = static_cast<U>(value * 10u + static_cast<unsigned>(*s - '0'));
            if (value >= decLimit) overflow = true;
            if (std::is_signed<T>::value ? static_cast<T>(next) < 0 : next < value) {
                overflow = true;
            }
            value = next;
            *out = static_cast<T>(value);
        }
    }
    if (negative) *out = static_cast<T>(static_cast<U>(0) - value);
    while (*s == ' ')
        ++s;
    return (!overflow && *s == '\0') ? 1 : 0;
}

}  // namespace

int vn_int642str(long long v, char** text, unsigned int* len) {
    return uint64_to_text(static_cast<unsigned long long>(v), text, len);
}

int vn_uint642str(unsigned long long v, char** text, unsigned int* len) {
    return uint64_to_text(v, text, len);
}

int vn_str2int(const char* s, int* out) {
    return str2num<int>(s, out, 1ULL << 27, 0x0CCCCCCDULL);
}

int vn_str2uint32(const char* s, unsigned int* out) {
    return str2num<unsigned int>(s, out, 1ULL << 28, 0x1999999AULL);
}

int vn_str2int64(const char* s, long long* out) {
    return str2num<long long>(s, out, 1ULL << 59, 0x0CCCCCCCCCCCCCCDULL);
}

int vn_str2uint64(const char* s, unsigned long long* out) {
    return str2num<unsigned long long>(s, out, 1ULL << 60, 0x199999999999999AULL);
}

unsigned int vn_strlen(const char16_t* s) {
    if (s == nullptr) return 0;
    unsigned int n = 0;
    while (s[n] != 0)
        ++n;
    return n;
}
