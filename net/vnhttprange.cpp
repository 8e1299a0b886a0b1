// CHttpRange: byte ranges (see vnhttprange.h).
#include "net/vnhttprange.h"

#include <strings.h>

namespace {

// 1*DIGIT at p[*i, n): false without a digit; a value past 64 bits saturates.
bool ReadNumber(const char* p, size_t n, size_t* i, unsigned long long* pValue) {
    size_t start = *i;
    unsigned long long v = 0;
    while (*i < n && p[*i] >= '0' && p[*i] <= '9') {
        unsigned d = static_cast<unsigned>(p[*i] - '0');
        v = v > (~0ull - d) / 10 ? ~0ull : v * 10 + d;
        ++*i;
    }
    *pValue = v;
    return *i > start;
}

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

}  // namespace

int CHttpRange::Evaluate(const char* p, size_t n, unsigned long long uTotal,
                         unsigned long long* pFirst, unsigned long long* pLast) {
    if (p == nullptr || n < 6 || strncasecmp(p, "bytes=", 6) != 0) return kWhole;
    // range-set = 1#range-spec: empty list elements are allowed, more than one range is
    // not honoured.
    size_t i = 6;
    bool seen = false;
    bool suffix = false;
    unsigned long long a = 0, b = ~0ull;
    while (i < n) {
        while (i < n && (IsBlank(p[i]) || p[i] == ','))
            ++i;
        if (i == n) break;
        if (seen) return kWhole;
        seen = true;
        if (p[i] == '-') {
            suffix = true;
            ++i;
            if (!ReadNumber(p, n, &i, &b)) return kWhole;
        } else {
            if (!ReadNumber(p, n, &i, &a) || i == n || p[i] != '-') return kWhole;
            ++i;
            if (i < n && p[i] >= '0' && p[i] <= '9') {
                ReadNumber(p, n, &i, &b);
                if (b < a) return kWhole;
            }
        }
        while (i < n && IsBlank(p[i]))
            ++i;
        if (i < n && p[i] != ',') return kWhole;
    }
    if (!seen) return kWhole;
    if (suffix) {
        if (b == 0 || uTotal == 0) return kUnsatisfiable;
        *pFirst = b >= uTotal ? 0 : uTotal - b;
        *pLast = uTotal - 1;
        return kPart;
    }
    if (a >= uTotal) return kUnsatisfiable;
    *pFirst = a;
    *pLast = b >= uTotal ? uTotal - 1 : b;
    return kPart;
}

bool CHttpRange::ParseContentRange(const char* p, size_t n, unsigned long long* pFirst,
                                   unsigned long long* pLast, long long* pllTotal) {
    if (p == nullptr || n < 6 || strncasecmp(p, "bytes ", 6) != 0) return false;
    size_t i = 6;
    unsigned long long a = 0, b = 0, total = 0;
    if (!ReadNumber(p, n, &i, &a) || i == n || p[i++] != '-') return false;
    if (!ReadNumber(p, n, &i, &b) || i == n || p[i++] != '/' || b < a) return false;
    long long llTotal = -1;
    if (i < n && p[i] == '*') {
        ++i;
    } else {
        if (!ReadNumber(p, n, &i, &total) || total > 0x7FFFFFFFFFFFFFFFull || b >= total) {
            return false;
        }
        llTotal = static_cast<long long>(total);
    }
    if (i != n) return false;
    *pFirst = a;
    *pLast = b;
    *pllTotal = llTotal;
    return true;
}
