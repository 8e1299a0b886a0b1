// TEA block, the two padded modes, the 4-byte frame cipher and the account-number token.
// The padded modes' wire bytes (big-endian words, header, salt, zero tail) are pinned by
// ciphertexts made with an independent implementation of the cipher; encryption is
// checked by decrypting what it wrote, since its header and salt are random.
#include <gtest/gtest.h>

#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

#include "common/vnstream.h"
#include "crypto/vntea.h"
#include "crypto/vntea_internal.h"

namespace {

typedef std::vector<unsigned char> Bytes;

const unsigned char kKey[16] = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77,
                                0x88, 0x99, 0xaa, 0xbb, 0xcc, 0xdd, 0xee, 0xff};

Bytes FromHex(const char* hex) {
    Bytes b;
    for (; hex[0] && hex[1]; hex += 2)
        b.push_back(static_cast<unsigned char>(strtoul(std::string(hex, 2).c_str(), nullptr, 16)));
    return b;
}

// The two padded modes share one signature; they differ only in how blocks chain.
void EncryptRaw(int mode, const unsigned char* in, int len, const unsigned char* key,
                unsigned char* out, int* outlen) {
    (mode == 1 ? ku_symmetry_encrypt : ku_symmetry_encrypt2)(in, len, key, out, outlen);
}
bool DecryptRaw(int mode, const unsigned char* in, int len, const unsigned char* key,
                unsigned char* out, int* outlen) {
    return (mode == 1 ? ku_symmetry_decrypt : ku_symmetry_decrypt2)(in, len, key, out, outlen);
}

Bytes Encrypt(int mode, const Bytes& body) {
    Bytes out(ku_symmetry_encrypt2_len(int(body.size())) + 8, 0xEE);
    int n = -1;
    EncryptRaw(mode, body.data(), int(body.size()), kKey, out.data(), &n);
    EXPECT_EQ(n, ku_symmetry_encrypt2_len(int(body.size())));
    EXPECT_EQ(Bytes(out.begin() + n, out.end()), Bytes(8, 0xEE));  // nothing written past it
    out.resize(n);
    return out;
}

// Decrypts into a heap block of exactly cap bytes, so that ASan sees any overrun.
bool Decrypt(int mode, const Bytes& cipher, int cap, Bytes* body = nullptr) {
    unsigned char* out = static_cast<unsigned char*>(malloc(cap > 0 ? cap : 1));
    int len = cap;
    bool ok = DecryptRaw(mode, cipher.data(), int(cipher.size()), kKey, out, &len);
    if (ok && body != nullptr) body->assign(out, out + len);
    free(out);
    return ok;
}

}  // namespace

TEST(Tea, BlockAndFrameKnownAnswers) {
    unsigned char block[8] = {0x01, 0x23, 0x45, 0x67, 0x89, 0xab, 0xcd, 0xef};
    TeaEncryptECB(block, kKey, block);  // in place
    EXPECT_EQ(Bytes(block, block + 8), FromHex("7cf6c0032c4af316"));
    TeaDecryptECB(block, kKey, block);
    EXPECT_EQ(Bytes(block, block + 8), FromHex("0123456789abcdef"));
    // Frames: words above 0x7FFF show a sign or promotion slip.
    const unsigned short key[4] = {0x0102, 0x0304, 0x0506, 0x0708};
    unsigned short v[2] = {0x1234, 0xabcd};
    _4bytesEncryptAFrame(v, key);
    EXPECT_TRUE(v[0] == 0x2d15 && v[1] == 0x1592) << std::hex << v[0] << " " << v[1];
    _4bytesDecryptAFrame(v, key);
    EXPECT_TRUE(v[0] == 0x1234 && v[1] == 0xabcd) << std::hex << v[0] << " " << v[1];
}

TEST(TeaPadded, DecryptsKnownCiphertexts) {
    // Header byte 0xA8 | pad count, salt 5A 5B.., the body, seven zero bytes. The last
    // row of each mode announces 7 pad bytes in 16, which would leave -1 body bytes.
    const struct {
        int mode;
        const char* cipher;
        const char* body;  // null: refused
    } cases[] = {
        {1, "d7f01a5f7876cad88476ea4928ff3619", ""},
        {1, "fe3f54668722e90199021a2f864ad48702c710a94e686fcc", "abcdefg"},
        {1, "6bc6d02e668722002ccadae16d05d54f", nullptr},
        {2, "d7f01a5f7876cad82a2cb11575a16979", ""},
        {2, "fe3f54668722e90136584173db148be743e22c378c3ecc2e", "abcdefg"},
        {2, "6bc6d02e66872200dbcadae16d05d54f", nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "mode " << c.mode << " " << c.cipher);
        for (int cap : {0, 7, 1000}) {
            Bytes body;
            bool fits = c.body && cap >= int(strlen(c.body));
            EXPECT_EQ(fits, Decrypt(c.mode, FromHex(c.cipher), cap, &body)) << cap;
            EXPECT_EQ(std::string(body.begin(), body.end()), fits ? c.body : "") << cap;
        }
    }
}

TEST(TeaPadded, RoundTripEveryLengthAndRefuseWhatCannotBeAWholeMessage) {
    const int lens[][2] = {{0, 16},        {6, 16}, {7, 24}, {-1, 0}, {0x7FFFFFEE, 0x7FFFFFF8},
                           {0x7FFFFFEF, 0}};
    for (const auto& c : lens)
        EXPECT_EQ(c[1], ku_symmetry_encrypt2_len(c[0])) << c[0];
    for (int mode : {1, 2}) {
        for (int n = 0; n <= 40; ++n) {
            SCOPED_TRACE(testing::Message() << "mode " << mode << " length " << n);
            Bytes body(n), back;
            for (int i = 0; i < n; ++i)
                body[i] = static_cast<unsigned char>(n * 131 + i * 7 + 1);
            ASSERT_TRUE(Decrypt(mode, Encrypt(mode, body), n, &back));  // capacity exactly the body
            EXPECT_EQ(back, body);
        }
        Bytes good = Encrypt(mode, Bytes(30, 0x42));  // 40 bytes
        for (int len : {0, 8, 9, 15, 39, -16}) {
            unsigned char out[64];
            memset(out, 0xCC, sizeof(out));
            int cap = sizeof(out);
            EXPECT_FALSE(DecryptRaw(mode, good.data(), len, kKey, out, &cap)) << len;
            EXPECT_EQ(Bytes(out, out + 64), Bytes(64, 0xCC));
        }
        EXPECT_FALSE(Decrypt(mode, good, 29) || Decrypt(mode, good, -1));  // short capacity
        // Any flipped bit of the last block breaks the zero tail.
        for (size_t bit = 0; bit < 64; ++bit) {
            Bytes bad = good;
            bad[bad.size() - 8 + bit / 8] ^= 0x80 >> (bit % 8);
            EXPECT_FALSE(Decrypt(mode, bad, 1000)) << bit;
        }
        unsigned char o[16];
        int c = 16;
        EXPECT_FALSE(DecryptRaw(mode, nullptr, 16, kKey, o, &c) ||
                     DecryptRaw(mode, good.data(), 16, nullptr, o, &c) ||
                     DecryptRaw(mode, good.data(), 16, kKey, o, nullptr) ||
                     DecryptRaw(mode, good.data(), 40, kKey, nullptr, &c));
        Bytes empty = Encrypt(mode, Bytes());  // an empty body needs no buffer at all
        c = 0;
        EXPECT_TRUE(DecryptRaw(mode, empty.data(), 16, kKey, nullptr, &c));
        // Lengths whose padded size does not fit an int write nothing.
        memset(o, 0x5A, sizeof(o));
        int n = 99;
        EncryptRaw(mode, good.data(), 0x7FFFFFEF, kKey, o, &n);
        EXPECT_TRUE(n == 0 && Bytes(o, o + 16) == Bytes(16, 0x5A)) << n;
    }
}

namespace {
// Every token unit in index order: a base-64 alphabet without 'i', which escapes 34, 62, 63.
const char kTokenAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghiajklmnopqrstuvwxyz0123456789ibic";

std::string Encode(const Bytes& in) {
    std::string s(vn::detail::tea_token_max_len(in.size()), '\0');
    s.resize(vn::detail::tea_token_encode(in.data(), in.size(), &s[0]));
    return s;
}

// Undoes the token encoding: kTokenAlphabet without 'i' lists the units in index order; an
// escaped unit is the last of its letter there, a plain one the first.
Bytes TokenDecode(const std::string& text) {
    std::string units(kTokenAlphabet);
    units.erase(std::remove(units.begin(), units.end(), 'i'), units.end());
    Bytes out;
    unsigned acc = 0, bits = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        acc = acc << 6 | unsigned(text[i] == 'i' ? units.rfind(text[++i]) : units.find(text[i]));
        if ((bits += 6) >= 8) out.push_back(static_cast<unsigned char>(acc >> (bits -= 8)));
    }
    return out;
}
}  // namespace

TEST(TeaToken, AlphabetTailsAndAccountNumbers) {
    Bytes all(48);  // the indices 0..63 in order
    for (unsigned i = 0; i < 64; ++i)
        for (unsigned b = 0; b < 6; ++b)
            all[(i * 6 + b) / 8] |= ((i >> (5 - b)) & 1) << (7 - (i * 6 + b) % 8);
    EXPECT_EQ(Encode(all), kTokenAlphabet);
    EXPECT_EQ(Encode({0xFC}), "icA");        // trailing byte: 2 indices
    EXPECT_EQ(Encode({0x00, 0x10}), "ABA");  // trailing pair: 3 indices
    EXPECT_EQ(Encode(Bytes(9, 0xFF)).size(), vn::detail::tea_token_max_len(9));
    for (unsigned uin : {0u, 10001u, 0x80000000u, 0xFFFFFFFFu, 0x12345678u}) {
        vn::stream token;
        ASSERT_EQ(store_encrypt_uin_new(kKey, uin, token), 0);
        std::string text(reinterpret_cast<const char*>(token.c_str()), token.size());
        Bytes plain, want;  // the number's bytes, little-endian
        for (int shift = 0; shift < 32; shift += 8)
            want.push_back(static_cast<unsigned char>(uin >> shift));
        ASSERT_TRUE(Decrypt(2, TokenDecode(text), 4, &plain)) << text;
        EXPECT_EQ(plain, want) << text;
    }
}
