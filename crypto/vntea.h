// Public header (part of vnbase.h).
// TEA-family ciphers: the 16-round TEA block with big-endian words, two padded message
// modes built on it, the 16-bit cipher for 4-byte frames and the account-number token.
// Plain functions without state; keys always come from the caller. Callable from any
// thread.
//
//   unsigned char out[64];
//   int n = 0;
//   ku_symmetry_encrypt2(body, 20, key, out, &n);   // n == ku_symmetry_encrypt2_len(20)
//   int cap = sizeof(body);
//   bool ok = ku_symmetry_decrypt2(out, n, key, plain, &cap);  // cap == 20
//
// Padded message layout, before encryption, in whole 8-byte blocks:
//   header byte ((random & 0xF8) | p), p random pad bytes (0..7), 2 random salt bytes,
//   the body, 7 zero bytes.
#pragma once

#include "common/vnexport.h"

namespace vn {
class stream;
}

// Encrypts one 8-byte block with a 16-byte key. Words are read and written big-endian.
// in and out may be the same block.
VN_EXPORT void TeaEncryptECB(const unsigned char* pInBuf, const unsigned char* pKey,
                             unsigned char* pOutBuf);
// Inverse of TeaEncryptECB.
VN_EXPORT void TeaDecryptECB(const unsigned char* pInBuf, const unsigned char* pKey,
                             unsigned char* pOutBuf);

// Output length of both padded modes for an nInBufLen-byte body: nInBufLen + 10 rounded
// up to a multiple of 8 (16 for 0..6 bytes). 0 for a negative length or one whose
// padded length would not fit an int (above 0x7FFFFFEE).
VN_EXPORT int ku_symmetry_encrypt2_len(int nInBufLen);

// Mode 1: the padded message in cipher-block chaining with an all-zero initial vector.
// pOutBuf must hold ku_symmetry_encrypt2_len(nInBufLen) bytes and must not overlap
// pInBuf; *pOutBufLen receives the number of bytes written. A length for which
// ku_symmetry_encrypt2_len gives 0 writes nothing and stores 0.
VN_EXPORT void ku_symmetry_encrypt(const unsigned char* pInBuf, int nInBufLen,
                                   const unsigned char* pKey, unsigned char* pOutBuf,
                                   int* pOutBufLen);
// Decrypts mode 1. On entry *pOutBufLen is the capacity of pOutBuf; on success it is the
// body length. Returns false for any malformed, truncated or wrongly keyed input, and
// then the output may be partly written. Never reads past nInBufLen input bytes nor
// writes past the capacity.
VN_EXPORT bool ku_symmetry_decrypt(const unsigned char* pInBuf, int nInBufLen,
                                   const unsigned char* pKey, unsigned char* pOutBuf,
                                   int* pOutBufLen);

// Mode 2: each plaintext block is XORed with the previous cipher block before TEA, and
// the TEA output with the previous pre-TEA block after it. Same contract as mode 1.
VN_EXPORT void ku_symmetry_encrypt2(const unsigned char* pInBuf, int nInBufLen,
                                    const unsigned char* pKey, unsigned char* pOutBuf,
                                    int* pOutBufLen);
// Decrypts mode 2. Same contract as ku_symmetry_decrypt.
VN_EXPORT bool ku_symmetry_decrypt2(const unsigned char* pInBuf, int nInBufLen,
                                    const unsigned char* pKey, unsigned char* pOutBuf,
                                    int* pOutBufLen);

// The 16-bit TEA variant (32 rounds) for 4-byte frames: v holds two 16-bit words in host
// order and is updated in place; k holds four 16-bit key words in host order.
VN_EXPORT void _4bytesEncryptAFrame(unsigned short* v, const unsigned short* k);
VN_EXPORT void _4bytesDecryptAFrame(unsigned short* v, const unsigned short* k);

// Turns an account number into a printable token: the number's four little-endian bytes
// encrypted in mode 2 with the 16-byte key, written in base 64 over the alphabet
// A-Z a-z 0-9 * _ without padding, where "i", "*" and "_" are escaped as "ia", "ib"
// and "ic". The token (22 to 44 characters) is assigned to out. Returns 0.
VN_EXPORT int store_encrypt_uin_new(const unsigned char* pKey, unsigned int uin, vn::stream& out);
