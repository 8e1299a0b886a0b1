// TEA block, the two padded modes, the 4-byte frame cipher and the account-number token.
// The padded modes are checked against a reference written here straight from the
// cipher's definition, so the wire bytes (big-endian words, header layout, zero tail) are
// pinned independently of the random header and salt.
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

// ---- Reference implementation, one step of the definition per line ----

uint32_t be32(const unsigned char* p) {
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3];
}
void put_be32(unsigned char* p, uint32_t v) {
    p[0] = v >> 24;
    p[1] = v >> 16;
    p[2] = v >> 8;
    p[3] = v;
}

void ref_tea(const unsigned char* in, const unsigned char* key, unsigned char* out, int rounds,
             bool decrypt) {
    uint32_t y = be32(in), z = be32(in + 4);
    uint32_t k[4] = {be32(key), be32(key + 4), be32(key + 8), be32(key + 12)};
    const uint32_t delta = 0x9E3779B9;
    if (!decrypt) {
        uint32_t sum = 0;
        for (int i = 0; i < rounds; ++i) {
            sum += delta;
            y += ((z << 4) + k[0]) ^ (z + sum) ^ ((z >> 5) + k[1]);
            z += ((y << 4) + k[2]) ^ (y + sum) ^ ((y >> 5) + k[3]);
        }
    } else {
        uint32_t sum = delta * uint32_t(rounds);
        for (int i = 0; i < rounds; ++i) {
            z -= ((y << 4) + k[2]) ^ (y + sum) ^ ((y >> 5) + k[3]);
            y -= ((z << 4) + k[0]) ^ (z + sum) ^ ((z >> 5) + k[1]);
            sum -= delta;
        }
    }
    put_be32(out, y);
    put_be32(out + 4, z);
}

void xor8(unsigned char* dst, const unsigned char* a, const unsigned char* b) {
    for (int i = 0; i < 8; ++i)
        dst[i] = a[i] ^ b[i];
}

// The padded plaintext with the given random bytes (header high bits, pad, salt).
Bytes ref_pad(const Bytes& body, unsigned char header_rand, const unsigned char* rnd) {
    int n = int(body.size()) + 10;
    int p = (8 - n % 8) % 8;
    Bytes m;
    m.push_back((header_rand & 0xF8) | p);
    for (int i = 0; i < p; ++i)
        m.push_back(rnd[i]);
    m.push_back(rnd[7]);
    m.push_back(rnd[8]);
    m.insert(m.end(), body.begin(), body.end());
    m.insert(m.end(), 7, 0);
    return m;
}

Bytes ref_encrypt(int mode, const Bytes& plain, const unsigned char* key) {
    Bytes out(plain.size());
    unsigned char prev_c[8] = {0}, prev_x[8] = {0}, x[8], t[8];
    for (size_t i = 0; i < plain.size(); i += 8) {
        xor8(x, &plain[i], prev_c);
        ref_tea(x, key, t, 16, false);
        if (mode == 2) {
            xor8(&out[i], t, prev_x);
            memcpy(prev_x, x, 8);
        } else {
            memcpy(&out[i], t, 8);
        }
        memcpy(prev_c, &out[i], 8);
    }
    return out;
}

// Undoes the chaining only; the caller inspects the padded plaintext.
Bytes ref_decrypt(int mode, const Bytes& cipher, const unsigned char* key) {
    Bytes out(cipher.size());
    unsigned char prev_c[8] = {0}, prev_x[8] = {0}, x[8], t[8];
    for (size_t i = 0; i < cipher.size(); i += 8) {
        if (mode == 2) {
            xor8(t, &cipher[i], prev_x);
            ref_tea(t, key, x, 16, true);
            memcpy(prev_x, x, 8);
        } else {
            ref_tea(&cipher[i], key, x, 16, true);
        }
        xor8(&out[i], x, prev_c);
        memcpy(prev_c, &cipher[i], 8);
    }
    return out;
}

Bytes hex(const char* s) {
    Bytes b;
    for (; s[0] && s[1]; s += 2)
        b.push_back(static_cast<unsigned char>(strtoul(std::string(s, 2).c_str(), nullptr, 16)));
    return b;
}

Bytes body_of(size_t n, unsigned seed) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i)
        b[i] = static_cast<unsigned char>(seed * 131 + i * 7 + 1);
    return b;
}

typedef void (*EncryptFn)(const unsigned char*, int, const unsigned char*, unsigned char*, int*);
typedef bool (*DecryptFn)(const unsigned char*, int, const unsigned char*, unsigned char*, int*);

struct ModeCase {
    int mode;
    EncryptFn encrypt;
    DecryptFn decrypt;
};

const ModeCase kModes[] = {{1, ku_symmetry_encrypt, ku_symmetry_decrypt},
                           {2, ku_symmetry_encrypt2, ku_symmetry_decrypt2}};

Bytes encrypt(const ModeCase& m, const Bytes& body, const unsigned char* key = kKey) {
    Bytes out(ku_symmetry_encrypt2_len(int(body.size())) + 8, 0xEE);
    int n = -1;
    m.encrypt(body.data(), int(body.size()), key, out.data(), &n);
    EXPECT_EQ(n, ku_symmetry_encrypt2_len(int(body.size())));
    // Nothing written past the announced length.
    for (size_t i = n; i < out.size(); ++i)
        EXPECT_EQ(out[i], 0xEE) << "byte " << i;
    out.resize(n);
    return out;
}

// Decrypts into a heap block of exactly `cap` bytes, so that a sanitizer build catches
// any write beyond the capacity.
bool decrypt(const ModeCase& m, const Bytes& cipher, int cap, Bytes* body,
             const unsigned char* key = kKey) {
    unsigned char* out = static_cast<unsigned char*>(malloc(cap > 0 ? cap : 1));
    int len = cap;
    bool ok = m.decrypt(cipher.data(), int(cipher.size()), key, out, &len);
    if (ok) {
        EXPECT_GE(len, 0);
        EXPECT_LE(len, cap);
        if (body) body->assign(out, out + len);
    }
    free(out);
    return ok;
}

}  // namespace

// ---- TEA block ----

TEST(TeaBlock, ReferenceMatchesPublishedFullTeaVector) {
    // The 32-round TEA of an all-zero block under an all-zero key is the published
    // 41ea3a0a 94baa940; this anchors the reference used below.
    unsigned char zero[16] = {0}, out[8];
    ref_tea(zero, zero, out, 32, false);
    EXPECT_EQ(Bytes(out, out + 8), hex("41ea3a0a94baa940"));
}

TEST(TeaBlock, KnownAnswerSixteenRoundsAlsoInPlace) {
    const Bytes plain = hex("0123456789abcdef");
    unsigned char block[8];
    memcpy(block, plain.data(), 8);
    TeaEncryptECB(block, kKey, block);
    EXPECT_EQ(Bytes(block, block + 8), hex("7cf6c0032c4af316"));
    TeaDecryptECB(block, kKey, block);
    EXPECT_EQ(Bytes(block, block + 8), plain);

    unsigned char zero[16] = {0}, out[8];
    TeaEncryptECB(zero, zero, out);
    EXPECT_EQ(Bytes(out, out + 8), hex("a889f798182d8083"));
}

// ---- Padded modes ----

TEST(TeaPadded, OutputLength) {
    // Up to the largest body whose padded length fits an int; 0 beyond it and below 0.
    const int cases[][2] = {{0, 16},         {6, 16},        {7, 24}, {14, 24},
                            {15, 32},        {22, 32},       {-1, 0}, {0x7FFFFFEE, 0x7FFFFFF8},
                            {0x7FFFFFEF, 0}, {0x7FFFFFFF, 0}};
    for (const auto& c : cases)
        EXPECT_EQ(c[1], ku_symmetry_encrypt2_len(c[0])) << c[0];
}

TEST(TeaPadded, RoundTripEveryLengthBothModes) {
    for (const ModeCase& m : kModes) {
        for (int n = 0; n <= 64; ++n) {
            SCOPED_TRACE(testing::Message() << "mode " << m.mode << " length " << n);
            Bytes body = body_of(n, n);
            Bytes cipher = encrypt(m, body);
            Bytes back;
            ASSERT_TRUE(decrypt(m, cipher, n, &back));  // capacity exactly the body
            EXPECT_EQ(back, body);
            ASSERT_TRUE(decrypt(m, cipher, n + 100, &back));
            EXPECT_EQ(back, body);
        }
    }
}

TEST(TeaPadded, WireLayoutMatchesDefinition) {
    for (const ModeCase& m : kModes) {
        for (int n = 0; n <= 40; ++n) {
            SCOPED_TRACE(testing::Message() << "mode " << m.mode << " length " << n);
            Bytes body = body_of(n, 3);
            Bytes plain = ref_decrypt(m.mode, encrypt(m, body), kKey);
            int p = (8 - (n + 10) % 8) % 8;
            ASSERT_EQ(int(plain.size()), n + 10 + p);
            EXPECT_EQ(plain[0] & 7, p);
            EXPECT_EQ(Bytes(plain.begin() + 3 + p, plain.begin() + 3 + p + n), body);
            EXPECT_EQ(Bytes(plain.end() - 7, plain.end()), Bytes(7, 0));
        }
    }
}

TEST(TeaPadded, DecryptsReferenceCiphertext) {
    const unsigned char rnd[9] = {0xA1, 0xB2, 0xC3, 0xD4, 0xE5, 0xF6, 0x07, 0x18, 0x29};
    for (const ModeCase& m : kModes) {
        for (int n = 0; n <= 24; ++n) {
            Bytes body = body_of(n, 5);
            Bytes cipher = ref_encrypt(m.mode, ref_pad(body, 0x5D, rnd), kKey);
            Bytes back;
            ASSERT_TRUE(decrypt(m, cipher, n, &back)) << "mode " << m.mode << " length " << n;
            EXPECT_EQ(back, body);
        }
    }
}

TEST(TeaPadded, HeaderAndSaltAreRandom) {
    // Two encryptions of the same body differ: header bits, pad and salt come from the
    // generator, and the chaining spreads them over every block.
    for (const ModeCase& m : kModes) {
        Bytes body = body_of(30, 1);
        int differing = 0;
        Bytes first = encrypt(m, body);
        for (int i = 0; i < 8; ++i)
            differing += encrypt(m, body) != first;
        EXPECT_GE(differing, 7);
    }
}

TEST(TeaPadded, RejectsBadLengthsWithoutTouchingOutput) {
    for (const ModeCase& m : kModes) {
        Bytes good = encrypt(m, body_of(30, 2));  // 40 bytes
        for (int len : {0, 1, 7, 8, 9, 15, 17, 20, 23, 39, -8, -16}) {
            unsigned char out[64];
            memset(out, 0xCC, sizeof(out));
            int cap = sizeof(out);
            EXPECT_FALSE(m.decrypt(good.data(), len, kKey, out, &cap)) << len;
            EXPECT_EQ(cap, int(sizeof(out)));
            EXPECT_EQ(Bytes(out, out + sizeof(out)), Bytes(sizeof(out), 0xCC));
        }
    }
}

TEST(TeaPadded, RejectsShortCapacity) {
    for (const ModeCase& m : kModes) {
        for (int n : {1, 7, 22, 64}) {
            Bytes cipher = encrypt(m, body_of(n, 4));
            EXPECT_FALSE(decrypt(m, cipher, n - 1, nullptr));
            EXPECT_FALSE(decrypt(m, cipher, -1, nullptr));
            EXPECT_TRUE(decrypt(m, cipher, n, nullptr));
        }
        // An empty body needs no capacity at all, not even a buffer.
        Bytes cipher = encrypt(m, Bytes());
        int cap = 0;
        EXPECT_TRUE(m.decrypt(cipher.data(), int(cipher.size()), kKey, nullptr, &cap));
        EXPECT_EQ(cap, 0);
        cap = -1;
        EXPECT_FALSE(m.decrypt(cipher.data(), int(cipher.size()), kKey, nullptr, &cap));
    }
}

TEST(TeaPadded, AnyFlippedBitInLastBlockIsRejected) {
    for (const ModeCase& m : kModes) {
        for (int n : {0, 5, 22, 33}) {
            Bytes cipher = encrypt(m, body_of(n, 6));
            for (size_t bit = 0; bit < 64; ++bit) {
                Bytes bad = cipher;
                bad[bad.size() - 8 + bit / 8] ^= 0x80 >> (bit % 8);
                EXPECT_FALSE(decrypt(m, bad, 1000, nullptr))
                    << "mode " << m.mode << " length " << n << " bit " << bit;
            }
        }
    }
}

TEST(TeaPadded, WrongKeyOrWrongModeIsRejected) {
    unsigned char other[16];
    memcpy(other, kKey, 16);
    other[15] ^= 1;
    for (const ModeCase& m : kModes) {
        for (int n : {0, 9, 40}) {
            Bytes cipher = encrypt(m, body_of(n, 8));
            EXPECT_FALSE(decrypt(m, cipher, 1000, nullptr, other));
            // A one-block difference would not show; two or more blocks always chain.
            const ModeCase& wrong = kModes[m.mode == 1 ? 1 : 0];
            EXPECT_FALSE(decrypt(wrong, cipher, 1000, nullptr));
        }
    }
}

TEST(TeaPadded, HeaderAnnouncingMorePaddingThanTheInputHoldsIsRejected) {
    // A 16-byte message whose header says 7 pad bytes would need 17 bytes: the body
    // length comes out as -1. Six pad bytes in 16 make an empty body, accepted. Built
    // with the reference so the tail is zero.
    for (const ModeCase& m : kModes) {
        Bytes plain(16, 0);
        plain[0] = 0xF7;
        Bytes cipher = ref_encrypt(m.mode, plain, kKey);
        for (int cap : {0, 1, 16, 1000})
            EXPECT_FALSE(decrypt(m, cipher, cap, nullptr)) << cap;
        plain[0] = 0x06;
        Bytes back(1, 0xAB);
        EXPECT_TRUE(decrypt(m, ref_encrypt(m.mode, plain, kKey), 0, &back));
        EXPECT_TRUE(back.empty());
    }
}

TEST(TeaPadded, NullArgumentsAndUnencryptableLengths) {
    for (const ModeCase& m : kModes) {
        Bytes cipher = encrypt(m, body_of(3, 1));
        unsigned char out[16];
        int cap = sizeof(out);
        EXPECT_FALSE(m.decrypt(nullptr, 16, kKey, out, &cap));
        EXPECT_FALSE(m.decrypt(cipher.data(), 16, nullptr, out, &cap));
        EXPECT_FALSE(m.decrypt(cipher.data(), 16, kKey, out, nullptr));
        EXPECT_FALSE(m.decrypt(cipher.data(), 16, kKey, nullptr, &cap));
        for (int len : {-5, -1, 0x7FFFFFEF, 0x7FFFFFFF}) {
            memset(out, 0x5A, sizeof(out));
            int n = 99;
            m.encrypt(cipher.data(), len, kKey, out, &n);
            EXPECT_EQ(n, 0);
            EXPECT_EQ(Bytes(out, out + 16), Bytes(16, 0x5A));
        }
    }
}

// ---- 4-byte frames ----

TEST(TeaFrame, KnownAnswer) {
    const unsigned short key[4] = {0x0102, 0x0304, 0x0506, 0x0708};
    const unsigned short zero_key[4] = {0, 0, 0, 0};
    // {key, plain, cipher}: both words above 0x7FFF in some case, so a sign or promotion
    // slip in the 16-bit arithmetic shows.
    const struct {
        const unsigned short* key;
        unsigned short plain[2], cipher[2];
    } cases[] = {{key, {0x1234, 0xabcd}, {0x2d15, 0x1592}}, {zero_key, {0, 0}, {0x925e, 0x5398}}};
    for (const auto& c : cases) {
        unsigned short v[2] = {c.plain[0], c.plain[1]};
        _4bytesEncryptAFrame(v, c.key);
        EXPECT_EQ(v[0], c.cipher[0]);
        EXPECT_EQ(v[1], c.cipher[1]);
        _4bytesDecryptAFrame(v, c.key);
        EXPECT_EQ(v[0], c.plain[0]);
        EXPECT_EQ(v[1], c.plain[1]);
    }
}

// ---- Account-number token ----

namespace {
// Undoes the escaping and the base-64 variant; empty on any malformed text. Indices 62 and
// 63 never appear bare, and 34 ('i') only as the escape "ia".
Bytes token_decode(const std::string& text) {
    const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghjklmnopqrstuvwxyz0123456789";
    Bytes out;
    unsigned acc = 0;
    int bits = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        size_t v = alphabet.find(text[i]);
        if (v != std::string::npos && v >= 34) ++v;  // 'i' left out of the table above
        if (text[i] == 'i') {
            const char* esc = i + 1 < text.size() ? strchr("abc", text[++i]) : nullptr;
            if (!esc || !*esc) return Bytes();
            v = *esc == 'a' ? 34 : *esc == 'b' ? 62 : 63;
        } else if (v == std::string::npos) {
            return Bytes();
        }
        acc = (acc << 6) | unsigned(v);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out.push_back(static_cast<unsigned char>(acc >> bits));
            acc &= (1u << bits) - 1;
        }
    }
    return out;
}

std::string encode(const Bytes& in) {
    std::string s(vn::detail::tea_token_max_len(in.size()), '\0');
    s.resize(vn::detail::tea_token_encode(in.data(), in.size(), &s[0]));
    return s;
}
}  // namespace

TEST(TeaToken, EncodingAndEscapes) {
    EXPECT_EQ(encode(Bytes()), "");
    EXPECT_EQ(encode({0, 0, 0}), "AAAA");
    EXPECT_EQ(encode({0xFF, 0xFF, 0xFF}), "icicicic");  // index 63 four times
    EXPECT_EQ(encode({0xFB, 0xEF, 0xBE}), "ibibibib");  // index 62 four times
    EXPECT_EQ(encode({0x8A, 0x28, 0xA2}), "iaiaiaia");  // index 34 four times
    EXPECT_EQ(encode({0x04, 0x20, 0xC4}), "BCDE");
    EXPECT_EQ(encode({0xFC}), "icA");        // trailing byte: 2 indices
    EXPECT_EQ(encode({0x00, 0x10}), "ABA");  // trailing pair: 3 indices
    EXPECT_EQ(encode({0x69}), "aQ");         // 'i' the byte is not index 34
    // Never longer than the bound; all-ones input reaches it when no bits are left over.
    for (int n = 0; n <= 20; ++n) {
        Bytes worst(n, 0xFF);
        EXPECT_LE(encode(worst).size(), vn::detail::tea_token_max_len(n));
        if (n % 3 == 0) {
            EXPECT_EQ(encode(worst).size(), vn::detail::tea_token_max_len(n));
        }
    }
}

TEST(TeaToken, TokenDecryptsBackToTheNumber) {
    std::mt19937 rng(3);
    std::vector<unsigned> uins = {0, 1, 10001, 0x7FFFFFFF, 0x80000000u, 0xFFFFFFFFu};
    for (int i = 0; i < 300; ++i)
        uins.push_back(rng());
    for (unsigned uin : uins) {
        vn::stream token;
        ASSERT_EQ(store_encrypt_uin_new(kKey, uin, token), 0);
        std::string text(reinterpret_cast<const char*>(static_cast<unsigned char*>(token)),
                         token.size());
        SCOPED_TRACE(text);
        EXPECT_GE(text.size(), 22u);
        EXPECT_LE(text.size(), 44u);
        for (size_t k = 0; k < text.size(); ++k) {
            if (text[k] != 'i') continue;
            ASSERT_LT(k + 1, text.size());
            EXPECT_TRUE(text[k + 1] == 'a' || text[k + 1] == 'b' || text[k + 1] == 'c');
            ++k;
        }
        EXPECT_EQ(text.find('*'), std::string::npos);
        EXPECT_EQ(text.find('_'), std::string::npos);

        Bytes cipher = token_decode(text);
        ASSERT_EQ(cipher.size(), 16u);
        unsigned char plain[4];
        int len = sizeof(plain);
        ASSERT_TRUE(ku_symmetry_decrypt2(cipher.data(), 16, kKey, plain, &len));
        ASSERT_EQ(len, 4);
        EXPECT_EQ(unsigned(plain[0]) | unsigned(plain[1]) << 8 | unsigned(plain[2]) << 16 |
                      unsigned(plain[3]) << 24,
                  uin);
    }
}
