// CRC-32, reflected polynomial 0xEDB88320.
//
// Two engines give identical values:
// - Tables: slicing-by-16 (sixteen tables, one lookup per input byte, no serial
//   dependency between the lookups of one 16-byte step), then byte by byte through the
//   first table, which is the classic 256-entry table. Portable.
// - Folding: on x86-64 processors with PCLMULQDQ, runs of 64 bytes or more are folded
//   four 128-bit lanes at a time by carry-less multiplication and reduced to 32 bits
//   with a Barrett step (the method of Intel's "Fast CRC Computation for Generic
//   Polynomials Using PCLMULQDQ"); the bytes after the last whole 16 go through the
//   tables. A table loop is bound by its chain of dependent loads, the folding by
//   memory bandwidth.
#include "crypto/vncrc32.h"

#include <string.h>

#include "crypto/vncrc32_internal.h"

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define VN_CRC32_CLMUL 1
#include <emmintrin.h>
#include <wmmintrin.h>
#endif

namespace {

constexpr int kSlices = 16;

struct Tables {
    uint32_t t[kSlices][256];
};

// t[0] is the byte table; t[k][i] is the CRC of byte i followed by k zero bytes, so the
// sixteen lookups of one step can be combined with XOR.
constexpr Tables make_tables() {
    Tables tb{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t c = i;
        for (int k = 0; k < 8; ++k)
            c = (c & 1) ? (c >> 1) ^ 0xEDB88320u : c >> 1;
        tb.t[0][i] = c;
    }
    for (int k = 1; k < kSlices; ++k) {
        for (int i = 0; i < 256; ++i) {
            uint32_t prev = tb.t[k - 1][i];
            tb.t[k][i] = (prev >> 8) ^ tb.t[0][prev & 0xFF];
        }
    }
    return tb;
}

constexpr Tables kTables = make_tables();

inline uint64_t load_le64(const unsigned char* p) {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    uint64_t v;
    memcpy(&v, p, 8);
    return v;
#else
    uint64_t v = 0;
    for (int i = 7; i >= 0; --i)
        v = (v << 8) | p[i];
    return v;
#endif
}

#ifdef VN_CRC32_CLMUL

// Folding constants for the reflected polynomial, each a power of x modulo P (bit-
// reflected, shifted by one): k1/k2 fold across 512 bits, k3/k4 across 128 bits, k5
// from 96 to 64 bits; P' and mu are the polynomial and its Barrett quotient.
#define VN_CLMUL_TARGET __attribute__((target("pclmul,sse2")))

VN_CLMUL_TARGET inline __m128i load(const unsigned char* at) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
}

// x.lo * k.lo XOR x.hi * k.hi: the 128 bits of x carried 128 (or 512) bits further
// along, ready to be XORed onto the data there.
VN_CLMUL_TARGET inline __m128i fold(__m128i x, __m128i k) {
    return _mm_xor_si128(_mm_clmulepi64_si128(x, k, 0x00), _mm_clmulepi64_si128(x, k, 0x11));
}

// Folds len bytes (len >= 64, a multiple of 16) into the state.
VN_CLMUL_TARGET uint32_t fold_clmul(uint32_t state, const unsigned char* p, size_t len) {
    const __m128i k1k2 = _mm_set_epi64x(0x01c6e41596LL, 0x0154442bd4LL);
    const __m128i k3k4 = _mm_set_epi64x(0x00ccaa009eLL, 0x01751997d0LL);
    const __m128i k5k0 = _mm_set_epi64x(0, 0x0163cd6124LL);
    const __m128i poly = _mm_set_epi64x(0x01f7011641LL, 0x01db710641LL);
    const __m128i low32 = _mm_setr_epi32(~0, 0, ~0, 0);

    __m128i x1 = _mm_xor_si128(load(p), _mm_cvtsi32_si128(static_cast<int>(state)));
    __m128i x2 = load(p + 16);
    __m128i x3 = load(p + 32);
    __m128i x4 = load(p + 48);
    p += 64;
    len -= 64;
    while (len >= 64) {
        x1 = _mm_xor_si128(fold(x1, k1k2), load(p));
        x2 = _mm_xor_si128(fold(x2, k1k2), load(p + 16));
        x3 = _mm_xor_si128(fold(x3, k1k2), load(p + 32));
        x4 = _mm_xor_si128(fold(x4, k1k2), load(p + 48));
        p += 64;
        len -= 64;
    }

    // Four lanes into one, then the remaining whole 16-byte blocks.
    x1 = _mm_xor_si128(fold(x1, k3k4), x2);
    x1 = _mm_xor_si128(fold(x1, k3k4), x3);
    x1 = _mm_xor_si128(fold(x1, k3k4), x4);
    while (len >= 16) {
        x1 = _mm_xor_si128(fold(x1, k3k4), load(p));
        p += 16;
        len -= 16;
    }

    // 128 bits to 64.
    __m128i x = _mm_xor_si128(_mm_srli_si128(x1, 8), _mm_clmulepi64_si128(x1, k3k4, 0x10));
    x = _mm_xor_si128(_mm_clmulepi64_si128(_mm_and_si128(x, low32), k5k0, 0x00),
                      _mm_srli_si128(x, 4));

    // Barrett reduction to 32 bits.
    __m128i t = _mm_clmulepi64_si128(_mm_and_si128(x, low32), poly, 0x10);
    t = _mm_clmulepi64_si128(_mm_and_si128(t, low32), poly, 0x00);
    x = _mm_xor_si128(x, t);
    return static_cast<uint32_t>(_mm_cvtsi128_si32(_mm_srli_si128(x, 4)));
}

#endif  // VN_CRC32_CLMUL

}  // namespace

namespace vn {
namespace detail {

uint32_t crc32_state_tables(uint32_t c, const unsigned char* p, size_t len) {
    const auto& t = kTables.t;
    while (len >= 16) {
        uint64_t lo = load_le64(p) ^ c;
        uint64_t hi = load_le64(p + 8);
        c = t[15][lo & 0xFF] ^ t[14][(lo >> 8) & 0xFF] ^ t[13][(lo >> 16) & 0xFF] ^
            t[12][(lo >> 24) & 0xFF] ^ t[11][(lo >> 32) & 0xFF] ^ t[10][(lo >> 40) & 0xFF] ^
            t[9][(lo >> 48) & 0xFF] ^ t[8][lo >> 56] ^ t[7][hi & 0xFF] ^ t[6][(hi >> 8) & 0xFF] ^
            t[5][(hi >> 16) & 0xFF] ^ t[4][(hi >> 24) & 0xFF] ^ t[3][(hi >> 32) & 0xFF] ^
            t[2][(hi >> 40) & 0xFF] ^ t[1][(hi >> 48) & 0xFF] ^ t[0][hi >> 56];
        p += 16;
        len -= 16;
    }
    while (len--)
        c = (c >> 8) ^ t[0][(c ^ *p++) & 0xFF];
    return c;
}

bool crc32_have_clmul() {
#ifdef VN_CRC32_CLMUL
    // Thread-safe one-time probe.
    static const bool have = __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("sse2");
    return have;
#else
    return false;
#endif
}

uint32_t crc32_state_clmul(uint32_t state, const unsigned char* p, size_t len) {
#ifdef VN_CRC32_CLMUL
    if (len >= 64) {
        size_t bulk = len & ~size_t(15);
        state = fold_clmul(state, p, bulk);
        p += bulk;
        len -= bulk;
    }
#endif
    return crc32_state_tables(state, p, len);
}

}  // namespace detail
}  // namespace vn

unsigned int CRC32(unsigned int crc, const void* data, size_t len) {
    if (!data || len == 0) return crc;
    const unsigned char* p = static_cast<const unsigned char*>(data);
    uint32_t state = ~static_cast<uint32_t>(crc);
    if (len >= 64 && vn::detail::crc32_have_clmul()) {
        state = vn::detail::crc32_state_clmul(state, p, len);
    } else {
        state = vn::detail::crc32_state_tables(state, p, len);
    }
    return ~state;
}
