// TEA block, the two padded modes, the 4-byte frame cipher and the account-number token.
// The padded modes are checked against a reference written here from the cipher's
// definition, so the wire bytes (big-endian words, header layout, zero tail) are pinned
// independently of the random header and salt.
#include <gtest/gtest.h>

#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <random>
#include <string>
#include <vector>

#include "common/vnstream.h"
#include "crypto/vntea.h"
#include "crypto/vntea_internal.h"

namespace {

typedef std::vector<unsigned char> Bytes;

const unsigned char kKey[16] = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77,
                                0x88, 0x99, 0xaa, 0xbb, 0xcc, 0xdd, 0xee, 0xff};

uint32_t Be32(const unsigned char* p) {
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3];
}
void PutBe32(unsigned char* p, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<unsigned char>(v >> (24 - 8 * i));
}

// One 16-round TEA block, straight from the definition.
void RefTea(const unsigned char* in, unsigned char* out, bool decrypt) {
    uint32_t y = Be32(in), z = Be32(in + 4), k[4];
    for (int i = 0; i < 4; ++i)
        k[i] = Be32(kKey + 4 * i);
    const uint32_t delta = 0x9E3779B9;
    uint32_t sum = decrypt ? delta * 16 : 0;
    for (int i = 0; i < 16; ++i) {
        if (!decrypt) {
            sum += delta;
            y += ((z << 4) + k[0]) ^ (z + sum) ^ ((z >> 5) + k[1]);
            z += ((y << 4) + k[2]) ^ (y + sum) ^ ((y >> 5) + k[3]);
        } else {
            z -= ((y << 4) + k[2]) ^ (y + sum) ^ ((y >> 5) + k[3]);
            y -= ((z << 4) + k[0]) ^ (z + sum) ^ ((z >> 5) + k[1]);
            sum -= delta;
        }
    }
    PutBe32(out, y);
    PutBe32(out + 4, z);
}

// The chaining of both padded modes: x = p ^ prev_c; c = TEA(x) (mode 2: ^ prev_x).
Bytes RefChain(int mode, const Bytes& in, bool decrypt) {
    Bytes out(in.size());
    unsigned char prevC[8] = {0}, prevX[8] = {0}, x[8], t[8];
    for (size_t i = 0; i < in.size(); i += 8) {
        if (!decrypt) {
            for (int k = 0; k < 8; ++k)
                x[k] = in[i + k] ^ prevC[k];
            RefTea(x, t, false);
            for (int k = 0; k < 8; ++k)
                out[i + k] = t[k] ^ (mode == 2 ? prevX[k] : 0);
            memcpy(prevC, &out[i], 8);
        } else {
            for (int k = 0; k < 8; ++k)
                t[k] = in[i + k] ^ (mode == 2 ? prevX[k] : 0);
            RefTea(t, x, true);
            for (int k = 0; k < 8; ++k)
                out[i + k] = x[k] ^ prevC[k];
            memcpy(prevC, &in[i], 8);
        }
        memcpy(prevX, x, 8);
    }
    return out;
}

Bytes BodyOf(size_t n, unsigned seed) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i)
        b[i] = static_cast<unsigned char>(seed * 131 + i * 7 + 1);
    return b;
}

typedef void (*EncryptFn)(const unsigned char*, int, const unsigned char*, unsigned char*, int*);
typedef bool (*DecryptFn)(const unsigned char*, int, const unsigned char*, unsigned char*, int*);
struct Mode {
    int mode;
    EncryptFn encrypt;
    DecryptFn decrypt;
};
const Mode kModes[] = {{1, ku_symmetry_encrypt, ku_symmetry_decrypt},
                       {2, ku_symmetry_encrypt2, ku_symmetry_decrypt2}};

Bytes Encrypt(const Mode& m, const Bytes& body) {
    Bytes out(ku_symmetry_encrypt2_len(int(body.size())) + 8, 0xEE);
    int n = -1;
    m.encrypt(body.data(), int(body.size()), kKey, out.data(), &n);
    EXPECT_EQ(n, ku_symmetry_encrypt2_len(int(body.size())));
    EXPECT_EQ(Bytes(out.begin() + n, out.end()), Bytes(8, 0xEE));  // nothing written past it
    out.resize(n);
    return out;
}

// Decrypts into a heap block of exactly cap bytes, so that ASan sees any overrun.
bool Decrypt(const Mode& m, const Bytes& cipher, int cap, Bytes* body = nullptr) {
    unsigned char* out = static_cast<unsigned char*>(malloc(cap > 0 ? cap : 1));
    int len = cap;
    bool ok = m.decrypt(cipher.data(), int(cipher.size()), kKey, out, &len);
    if (ok && body != nullptr) body->assign(out, out + len);
    free(out);
    return ok;
}

}  // namespace

TEST(Tea, BlockKnownAnswerInPlaceAndFrame) {
    unsigned char block[8] = {0x01, 0x23, 0x45, 0x67, 0x89, 0xab, 0xcd, 0xef}, ref[8];
    const Bytes cipher = {0x7c, 0xf6, 0xc0, 0x03, 0x2c, 0x4a, 0xf3, 0x16};
    RefTea(block, ref, false);
    TeaEncryptECB(block, kKey, block);
    EXPECT_EQ(Bytes(block, block + 8), cipher);
    EXPECT_EQ(Bytes(ref, ref + 8), cipher);
    TeaDecryptECB(block, kKey, block);
    EXPECT_EQ(0x01, block[0]);
    // Frames: words above 0x7FFF show a sign or promotion slip.
    const unsigned short key[4] = {0x0102, 0x0304, 0x0506, 0x0708};
    unsigned short v[2] = {0x1234, 0xabcd};
    _4bytesEncryptAFrame(v, key);
    EXPECT_EQ(0x2d15, v[0]);
    EXPECT_EQ(0x1592, v[1]);
    _4bytesDecryptAFrame(v, key);
    EXPECT_EQ(0x1234, v[0]);
    EXPECT_EQ(0xabcd, v[1]);
}

TEST(TeaPadded, RoundTripAndWireLayoutEveryLength) {
    const int lens[][2] = {{0, 16},        {6, 16}, {7, 24}, {-1, 0}, {0x7FFFFFEE, 0x7FFFFFF8},
                           {0x7FFFFFEF, 0}};
    for (const auto& c : lens)
        EXPECT_EQ(c[1], ku_symmetry_encrypt2_len(c[0])) << c[0];
    for (const Mode& m : kModes) {
        for (int n = 0; n <= 40; ++n) {
            SCOPED_TRACE(testing::Message() << "mode " << m.mode << " length " << n);
            Bytes body = BodyOf(n, n), back;
            Bytes cipher = Encrypt(m, body);
            ASSERT_TRUE(Decrypt(m, cipher, n, &back));  // capacity exactly the body
            EXPECT_EQ(back, body);
            Bytes plain = RefChain(m.mode, cipher, true);
            int p = (8 - (n + 10) % 8) % 8;
            ASSERT_EQ(int(plain.size()), n + 10 + p);
            EXPECT_EQ(plain[0] & 7, p);
            EXPECT_EQ(Bytes(plain.begin() + 3 + p, plain.end() - 7), body);
            EXPECT_EQ(Bytes(plain.end() - 7, plain.end()), Bytes(7, 0));
            // And the library reads what the reference wrote.
            ASSERT_TRUE(Decrypt(m, RefChain(m.mode, plain, false), n, &back));
            EXPECT_EQ(back, body);
        }
    }
}

TEST(TeaPadded, RejectsWhatCannotBeAWholeMessage) {
    for (const Mode& m : kModes) {
        SCOPED_TRACE(m.mode);
        Bytes good = Encrypt(m, BodyOf(30, 2));  // 40 bytes
        for (int len : {0, 8, 9, 15, 39, -16}) {
            unsigned char out[64];
            memset(out, 0xCC, sizeof(out));
            int cap = sizeof(out);
            EXPECT_FALSE(m.decrypt(good.data(), len, kKey, out, &cap)) << len;
            EXPECT_EQ(Bytes(out, out + 64), Bytes(64, 0xCC));
        }
        EXPECT_FALSE(Decrypt(m, good, 29));  // short capacity
        EXPECT_FALSE(Decrypt(m, good, -1));
        // Any flipped bit of the last block breaks the zero tail.
        for (size_t bit = 0; bit < 64; ++bit) {
            Bytes bad = good;
            bad[bad.size() - 8 + bit / 8] ^= 0x80 >> (bit % 8);
            EXPECT_FALSE(Decrypt(m, bad, 1000)) << bit;
        }
        // A header announcing 7 pad bytes in 16 would make the body -1 bytes long.
        Bytes plain(16, 0);
        plain[0] = 0xF7;
        for (int cap : {0, 16, 1000})
            EXPECT_FALSE(Decrypt(m, RefChain(m.mode, plain, false), cap)) << cap;
        unsigned char o[16];
        int c = 16;
        EXPECT_FALSE(m.decrypt(nullptr, 16, kKey, o, &c));
        EXPECT_FALSE(m.decrypt(good.data(), 16, nullptr, o, &c));
        EXPECT_FALSE(m.decrypt(good.data(), 16, kKey, o, nullptr));
        EXPECT_FALSE(m.decrypt(good.data(), 40, kKey, nullptr, &c));
        Bytes empty = Encrypt(m, Bytes());  // an empty body needs no buffer at all
        c = 0;
        EXPECT_TRUE(m.decrypt(empty.data(), 16, kKey, nullptr, &c));
        // Lengths whose padded size does not fit an int write nothing.
        unsigned char out[16];
        memset(out, 0x5A, sizeof(out));
        int n = 99;
        m.encrypt(good.data(), 0x7FFFFFEF, kKey, out, &n);
        EXPECT_EQ(0, n);
        EXPECT_EQ(Bytes(out, out + 16), Bytes(16, 0x5A));
    }
}

namespace {
// Undoes the token's base-64 variant ('i' escapes indices 34, 62, 63); empty when malformed.
Bytes TokenDecode(const std::string& text) {
    const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghjklmnopqrstuvwxyz0123456789";
    Bytes out;
    unsigned acc = 0;
    int bits = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        size_t v = alphabet.find(text[i]);
        if (text[i] == 'i') {
            if (++i >= text.size() || !strchr("abc", text[i])) return Bytes();
            v = text[i] == 'a' ? 34 : text[i] == 'b' ? 62 : 63;
        } else if (v == std::string::npos) {
            return Bytes();
        } else if (v >= 34) {
            ++v;  // 'i' is left out of the table above
        }
        acc = (acc << 6) | unsigned(v);
        if ((bits += 6) >= 8) {
            bits -= 8;
            out.push_back(static_cast<unsigned char>(acc >> bits));
            acc &= (1u << bits) - 1;
        }
    }
    return out;
}

std::string Encode(const Bytes& in) {
    std::string s(vn::detail::tea_token_max_len(in.size()), '\0');
    s.resize(vn::detail::tea_token_encode(in.data(), in.size(), &s[0]));
    return s;
}
}  // namespace

TEST(TeaToken, EscapesAndRoundTrip) {
    EXPECT_EQ(Encode({0xFF, 0xFF, 0xFF}), "icicicic");  // index 63
    EXPECT_EQ(Encode({0xFB, 0xEF, 0xBE}), "ibibibib");  // index 62
    EXPECT_EQ(Encode({0x8A, 0x28, 0xA2}), "iaiaiaia");  // index 34
    EXPECT_EQ(Encode({0xFC}), "icA");                   // trailing byte: 2 indices
    EXPECT_EQ(Encode({0x00, 0x10}), "ABA");             // trailing pair: 3 indices
    EXPECT_EQ(Encode(Bytes(9, 0xFF)).size(), vn::detail::tea_token_max_len(9));
    std::mt19937 rng(3);
    std::vector<unsigned> uins = {0, 10001, 0x80000000u, 0xFFFFFFFFu};
    for (int i = 0; i < 100; ++i)
        uins.push_back(rng());
    for (unsigned uin : uins) {
        vn::stream token;
        ASSERT_EQ(store_encrypt_uin_new(kKey, uin, token), 0);
        std::string text(reinterpret_cast<const char*>(token.c_str()), token.size());
        Bytes cipher = TokenDecode(text);
        ASSERT_EQ(cipher.size(), 16u) << text;
        unsigned char plain[4];
        int len = sizeof(plain);
        ASSERT_TRUE(ku_symmetry_decrypt2(cipher.data(), 16, kKey, plain, &len));
        ASSERT_EQ(len, 4);
        EXPECT_EQ(unsigned(plain[0]) | unsigned(plain[1]) << 8 | unsigned(plain[2]) << 16 |
                      unsigned(plain[3]) << 24,
                  uin);  // little-endian number bytes
    }
}
