// Public header (part of vnbase.h).
// MD5 message digest (RFC 1321): the incremental MD5_Init / MD5_Update / MD5_Final and
// the one-shot Md5HashBuffer. A context belongs to whoever uses it; the functions keep no
// other state and may be called from any thread.
//
//   VN_MD5_CTX ctx;
//   MD5_Init(&ctx);
//   MD5_Update(&ctx, data, len);          // any number of times
//   unsigned char digest[16];
//   MD5_Final(digest, &ctx);
//
// The names match OpenSSL's, but the context type (VN_MD5_CTX, not MD5_CTX) and C++
// linkage make these distinct overloads: a program may include <openssl/md5.h> as well,
// and each call reaches the implementation that its context type names.
#pragma once

#include <stddef.h>

#include "common/vnexport.h"

struct VN_MD5_CTX {
    unsigned int state[4];     // chaining words A, B, C, D
    unsigned long long count;  // message length so far, in bits
    unsigned char buffer[64];  // the partial block, count / 8 % 64 bytes of it in use
};

// Clears the whole context and sets the initial chaining words.
VN_EXPORT void MD5_Init(VN_MD5_CTX* ctx);
// Adds len bytes at data (data may be null when len is 0).
VN_EXPORT void MD5_Update(VN_MD5_CTX* ctx, const void* data, size_t len);
// Pads, writes the 16-byte digest to digest and leaves the context cleared.
VN_EXPORT void MD5_Final(unsigned char* digest, VN_MD5_CTX* ctx);
// One-shot MD5 of len bytes at data into the 16-byte digest.
VN_EXPORT void Md5HashBuffer(unsigned char* digest, const void* data, size_t len);
