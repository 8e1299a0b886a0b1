// The body of the two padded-mode decryptor fuzz targets (tea_decrypt_fuzz.cpp and
// tea_decrypt2_fuzz.cpp): arbitrary input and capacity, with the output a heap block of
// exactly the capacity and the input a heap block of exactly its length, so the sanitizer
// catches any access outside either.
//
// Input layout: 16-byte key, 2-byte capacity (top bit: negative), 1 flag byte, rest.
// Flag bit 0 clear: the rest is taken as cipher text as it stands. Set: the rest (cut to
// whole blocks) is the padded plaintext, chained and encrypted here block by block, so
// the fuzzer steers the header, padding and zero tail directly (bit 1 also zeroes the
// last 7 bytes, so that most such inputs must be accepted). The verdict is then known
// in advance and checked, as is the body.
#pragma once

#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "crypto/vntea.h"

namespace teafuzz {

typedef void (*EncryptFn)(const unsigned char*, int, const unsigned char*, unsigned char*, int*);
typedef bool (*DecryptFn)(const unsigned char*, int, const unsigned char*, unsigned char*, int*);

// The chaining of the mode, from its definition, over whole blocks of plain.
inline void chain_encrypt(int kMode, const unsigned char* plain, int len, const unsigned char* key,
                          unsigned char* out) {
    unsigned char prev_c[8] = {0}, prev_x[8] = {0}, x[8], t[8];
    for (int i = 0; i < len; i += 8) {
        for (int j = 0; j < 8; ++j)
            x[j] = plain[i + j] ^ prev_c[j];
        TeaEncryptECB(x, key, t);
        for (int j = 0; j < 8; ++j)
            out[i + j] = kMode == 2 ? t[j] ^ prev_x[j] : t[j];
        memcpy(prev_x, x, 8);
        memcpy(prev_c, out + i, 8);
    }
}

// One fuzz input against the decryptor of mode kMode (encrypt/decrypt are its pair).
inline int FuzzDecrypt(int kMode, EncryptFn encrypt, DecryptFn decrypt, const uint8_t* data,
                       size_t size) {
    if (size < 19) return 0;
    const unsigned char* key = data;
    int cap = data[16] | ((data[17] & 0x7F) << 8);
    if (data[17] & 0x80) cap = -cap;
    const unsigned flags = data[18];
    int len = static_cast<int>(size - 19);
    unsigned char* in = static_cast<unsigned char*>(malloc(len > 0 ? len : 1));
    memcpy(in, data + 19, len);

    unsigned char* plain = nullptr;
    if (flags & 1) {
        len &= ~7;
        plain = static_cast<unsigned char*>(malloc(len > 0 ? len : 1));
        memcpy(plain, data + 19, len);
        if ((flags & 2) && len >= 7) memset(plain + len - 7, 0, 7);
        chain_encrypt(kMode, plain, len, key, in);
    }

    unsigned char* out = static_cast<unsigned char*>(malloc(cap > 0 ? cap : 1));
    int outlen = cap;
    const bool ok = decrypt(in, len, key, out, &outlen);
    if (ok) {
        // Body = length - 10 - pad, pad 0..7, within the capacity.
        if (len < 16 || len % 8 != 0 || outlen < 0 || outlen > cap) abort();
        if (len - 10 - outlen < 0 || len - 10 - outlen > 7) abort();
        // The body must survive a round trip.
        const int n = ku_symmetry_encrypt2_len(outlen);
        unsigned char* again = static_cast<unsigned char*>(malloc(n));
        int written = 0;
        encrypt(out, outlen, key, again, &written);
        unsigned char* back = static_cast<unsigned char*>(malloc(outlen > 0 ? outlen : 1));
        int backlen = outlen;
        if (written != n || !decrypt(again, n, key, back, &backlen) || backlen != outlen ||
            memcmp(back, out, outlen) != 0)
            abort();
        free(back);
        free(again);
    }
    if (plain) {
        // The verdict follows from the plaintext alone.
        bool want = false;
        int body = -1, pad = 0;
        if (len >= 16) {
            pad = plain[0] & 7;
            body = len - pad - 10;
            want = body >= 0 && cap >= body;
            for (int i = len - 7; want && i < len; ++i)
                want = plain[i] == 0;
        }
        if (ok != want) abort();
        if (ok && memcmp(out, plain + 3 + pad, body) != 0) abort();
        free(plain);
    }
    free(out);
    free(in);
    return 0;
}

}  // namespace teafuzz
