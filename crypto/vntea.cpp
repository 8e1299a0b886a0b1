// TEA block cipher, the two padded message modes, the 4-byte frame cipher and the
// account-number token. Stateless; callable from any thread.
#include "crypto/vntea.h"

#include <stdint.h>
#include <string.h>

#include "base/vntime.h"
#include "common/vnstream.h"
#include "crypto/vntea_internal.h"

namespace {

constexpr uint32_t kDelta = 0x9E3779B9u;
constexpr int kRounds = 16;
// kRounds * kDelta modulo 2^32: where decryption starts its sum.
constexpr uint32_t kDecryptSum = 0xE3779B90u;
static_assert(static_cast<uint32_t>(kRounds * static_cast<uint64_t>(kDelta)) == kDecryptSum,
              "decryption sum must be rounds * delta");

// Header byte + salt bytes before the body, 7 zero bytes after it.
constexpr int kSaltLen = 2;
constexpr int kZeroLen = 7;
constexpr int kOverhead = 1 + kSaltLen + kZeroLen;

inline uint32_t load_be32(const unsigned char* p) {
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | uint32_t(p[3]);
}

inline void store_be32(unsigned char* p, uint32_t v) {
    p[0] = static_cast<unsigned char>(v >> 24);
    p[1] = static_cast<unsigned char>(v >> 16);
    p[2] = static_cast<unsigned char>(v >> 8);
    p[3] = static_cast<unsigned char>(v);
}

// One block as its two big-endian words. XOR of the words equals XOR of the bytes, so
// the chaining can stay in this form between TEA calls.
struct Block {
    uint32_t y;
    uint32_t z;
};

inline Block load_block(const unsigned char* p) {
    return Block{load_be32(p), load_be32(p + 4)};
}

inline void store_block(unsigned char* p, Block b) {
    store_be32(p, b.y);
    store_be32(p + 4, b.z);
}

inline Block operator^(Block a, Block b) {
    return Block{a.y ^ b.y, a.z ^ b.z};
}

struct Key {
    uint32_t k0, k1, k2, k3;
};

inline Key load_key(const unsigned char* p) {
    return Key{load_be32(p), load_be32(p + 4), load_be32(p + 8), load_be32(p + 12)};
}

inline Block tea_encrypt(Block b, const Key& k) {
    uint32_t y = b.y, z = b.z, sum = 0;
    for (int i = 0; i < kRounds; ++i) {
        sum += kDelta;
        y += ((z << 4) + k.k0) ^ (z + sum) ^ ((z >> 5) + k.k1);
        z += ((y << 4) + k.k2) ^ (y + sum) ^ ((y >> 5) + k.k3);
    }
    return Block{y, z};
}

inline Block tea_decrypt(Block b, const Key& k) {
    uint32_t y = b.y, z = b.z, sum = kDecryptSum;
    for (int i = 0; i < kRounds; ++i) {
        z -= ((y << 4) + k.k2) ^ (y + sum) ^ ((y >> 5) + k.k3);
        y -= ((z << 4) + k.k0) ^ (z + sum) ^ ((z >> 5) + k.k1);
        sum -= kDelta;
    }
    return Block{y, z};
}

inline unsigned char random_byte() {
    return static_cast<unsigned char>(vn_rand() & 0xFF);
}

// Longest body whose padded length still fits an int.
constexpr int kMaxBody = 0x7FFFFFFF - kOverhead - 7;

// Pad bytes that bring body + overhead to a multiple of 8: 0 to 7.
inline int pad_len(int body) {
    return -(body + kOverhead) & 7;
}

int padded_len(int body) {
    return (body + kOverhead + 7) & ~7;
}

// Produces the padded plaintext one block at a time without building it in memory:
// header byte, p random pad bytes, 2 random salt bytes, the body, zeros to the end.
class PaddedReader {
public:
    PaddedReader(const unsigned char* body, int len) : m_pBody(body), m_nBody(len) {
        int pad = pad_len(len);
        m_nHead = 1 + pad + kSaltLen;
        m_head[0] = static_cast<unsigned char>((random_byte() & 0xF8) | pad);
        for (int i = 1; i < m_nHead; ++i)
            m_head[i] = random_byte();
    }

    // Plaintext block starting at byte offset pos (a multiple of 8).
    Block block(int pos) const {
        int from = pos - m_nHead;  // offset into the body of the block's first byte
        if (from >= 0 && from + 8 <= m_nBody) return load_block(m_pBody + from);
        unsigned char b[8];
        for (int j = 0; j < 8; ++j) {
            int at = pos + j;
            if (at < m_nHead) {
                b[j] = m_head[at];
            } else if (at - m_nHead < m_nBody) {
                b[j] = m_pBody[at - m_nHead];
            } else {
                b[j] = 0;
            }
        }
        return load_block(b);
    }

private:
    const unsigned char* m_pBody;
    int m_nBody;
    int m_nHead;  // header + pad + salt: 3 to 10 bytes
    unsigned char m_head[1 + 7 + kSaltLen];
};

enum class Mode { kCbc, kDoubleChain };

void encrypt_padded(Mode mode, const unsigned char* in, int len, const unsigned char* key,
                    unsigned char* out, int* outlen) {
    if (len < 0 || len > kMaxBody) {
        if (outlen) *outlen = 0;
        return;
    }
    const Key k = load_key(key);
    const PaddedReader reader(in, len);
    const int total = padded_len(len);
    Block prev_c{0, 0};  // C(i-1)
    Block prev_x{0, 0};  // X(i-1), mode 2 only
    for (int pos = 0; pos < total; pos += 8) {
        Block x = reader.block(pos) ^ prev_c;
        Block c = tea_encrypt(x, k);
        if (mode == Mode::kDoubleChain) {
            c = c ^ prev_x;
            prev_x = x;
        }
        store_block(out + pos, c);
        prev_c = c;
    }
    if (outlen) *outlen = total;
}

// The walk over the input is bounded by len alone: every block read lies inside
// [0, len), and a byte reaches the output only while its body offset is below the body
// length, which was checked against the capacity first. A header that announces more
// padding than the input holds gives a negative body length and is rejected before any
// output is written.
bool decrypt_padded(Mode mode, const unsigned char* in, int len, const unsigned char* key,
                    unsigned char* out, int* outlen) {
    if (!in || !key || !outlen) return false;
    if (len < 16 || len % 8 != 0) return false;
    const Key k = load_key(key);

    Block prev_c{0, 0};
    Block prev_x{0, 0};
    auto next = [&](int pos) {
        Block c = load_block(in + pos);
        Block plain;
        if (mode == Mode::kDoubleChain) {
            Block x = tea_decrypt(c ^ prev_x, k);
            plain = x ^ prev_c;
            prev_x = x;
        } else {
            plain = tea_decrypt(c, k) ^ prev_c;
        }
        prev_c = c;
        return plain;
    };

    Block first = next(0);
    const int pad = static_cast<int>(first.y >> 24) & 7;
    const int body = len - pad - kOverhead;
    if (body < 0 || *outlen < body) return false;
    *outlen = body;
    if (body > 0 && !out) return false;

    const int head = 1 + pad + kSaltLen;
    const int tail = head + body;  // the zero bytes start here and run to len
    unsigned char b[8];
    for (int pos = 0; pos < len; pos += 8) {
        Block plain = pos == 0 ? first : next(pos);
        int from = pos - head;
        if (from >= 0 && pos + 8 <= tail) {
            store_block(out + from, plain);
            continue;
        }
        store_block(b, plain);
        for (int j = 0; j < 8; ++j) {
            int at = pos + j;
            if (at < head) continue;
            if (at < tail) {
                out[at - head] = b[j];
            } else if (b[j] != 0) {
                return false;
            }
        }
    }
    return true;
}

const char kTokenAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789*_";

inline char* put_token_index(char* out, unsigned idx) {
    switch (idx) {
        case 34:  // 'i' itself, the escape character
            *out++ = 'i';
            *out++ = 'a';
            break;
        case 62:
            *out++ = 'i';
            *out++ = 'b';
            break;
        case 63:
            *out++ = 'i';
            *out++ = 'c';
            break;
        default:
            *out++ = kTokenAlphabet[idx];
            break;
    }
    return out;
}

}  // namespace

namespace vn {
namespace detail {

size_t tea_token_encode(const unsigned char* in, size_t n, char* out) {
    char* const start = out;
    size_t i = 0;
    for (; i + 3 <= n; i += 3) {
        unsigned v = (unsigned(in[i]) << 16) | (unsigned(in[i + 1]) << 8) | in[i + 2];
        out = put_token_index(out, (v >> 18) & 63);
        out = put_token_index(out, (v >> 12) & 63);
        out = put_token_index(out, (v >> 6) & 63);
        out = put_token_index(out, v & 63);
    }
    if (n - i == 1) {
        unsigned v = unsigned(in[i]) << 16;
        out = put_token_index(out, (v >> 18) & 63);
        out = put_token_index(out, (v >> 12) & 63);
    } else if (n - i == 2) {
        unsigned v = (unsigned(in[i]) << 16) | (unsigned(in[i + 1]) << 8);
        out = put_token_index(out, (v >> 18) & 63);
        out = put_token_index(out, (v >> 12) & 63);
        out = put_token_index(out, (v >> 6) & 63);
    }
    return static_cast<size_t>(out - start);
}

}  // namespace detail
}  // namespace vn

void TeaEncryptECB(const unsigned char* pInBuf, const unsigned char* pKey, unsigned char* pOutBuf) {
    store_block(pOutBuf, tea_encrypt(load_block(pInBuf), load_key(pKey)));
}

void TeaDecryptECB(const unsigned char* pInBuf, const unsigned char* pKey, unsigned char* pOutBuf) {
    store_block(pOutBuf, tea_decrypt(load_block(pInBuf), load_key(pKey)));
}

int ku_symmetry_encrypt2_len(int nInBufLen) {
    return nInBufLen < 0 || nInBufLen > kMaxBody ? 0 : padded_len(nInBufLen);
}

void ku_symmetry_encrypt(const unsigned char* pInBuf, int nInBufLen, const unsigned char* pKey,
                         unsigned char* pOutBuf, int* pOutBufLen) {
    encrypt_padded(Mode::kCbc, pInBuf, nInBufLen, pKey, pOutBuf, pOutBufLen);
}

bool ku_symmetry_decrypt(const unsigned char* pInBuf, int nInBufLen, const unsigned char* pKey,
                         unsigned char* pOutBuf, int* pOutBufLen) {
    return decrypt_padded(Mode::kCbc, pInBuf, nInBufLen, pKey, pOutBuf, pOutBufLen);
}

void ku_symmetry_encrypt2(const unsigned char* pInBuf, int nInBufLen, const unsigned char* pKey,
                          unsigned char* pOutBuf, int* pOutBufLen) {
    encrypt_padded(Mode::kDoubleChain, pInBuf, nInBufLen, pKey, pOutBuf, pOutBufLen);
}

bool ku_symmetry_decrypt2(const unsigned char* pInBuf, int nInBufLen, const unsigned char* pKey,
                          unsigned char* pOutBuf, int* pOutBufLen) {
    return decrypt_padded(Mode::kDoubleChain, pInBuf, nInBufLen, pKey, pOutBuf, pOutBufLen);
}

namespace {
constexpr uint16_t kFrameDelta = 0x325F;
constexpr int kFrameRounds = 32;
// kFrameRounds * kFrameDelta modulo 2^16.
constexpr uint16_t kFrameDecryptSum = 0x4BE0;
static_assert(static_cast<uint16_t>(kFrameRounds * kFrameDelta) == kFrameDecryptSum,
              "frame decryption sum must be rounds * delta");
}  // namespace

// Integer promotion turns every 16-bit operand into int; each assignment back to
// uint16_t truncates, which is the modulo 2^16 the cipher is defined with. z >> 5 is
// taken of the 16-bit value, so it stays a logical shift.
void _4bytesEncryptAFrame(unsigned short* v, const unsigned short* k) {
    uint16_t y = v[0], z = v[1], sum = 0;
    for (int i = 0; i < kFrameRounds; ++i) {
        sum = static_cast<uint16_t>(sum + kFrameDelta);
        y = static_cast<uint16_t>(y + ((((z << 4) + k[0]) ^ ((z >> 5) + k[1]) ^ (z + sum))));
        z = static_cast<uint16_t>(z + ((((y << 4) + k[2]) ^ ((y >> 5) + k[3]) ^ (y + sum))));
    }
    v[0] = y;
    v[1] = z;
}

void _4bytesDecryptAFrame(unsigned short* v, const unsigned short* k) {
    uint16_t y = v[0], z = v[1], sum = kFrameDecryptSum;
    for (int i = 0; i < kFrameRounds; ++i) {
        z = static_cast<uint16_t>(z - ((((y << 4) + k[2]) ^ ((y >> 5) + k[3]) ^ (y + sum))));
        y = static_cast<uint16_t>(y - ((((z << 4) + k[0]) ^ ((z >> 5) + k[1]) ^ (z + sum))));
        sum = static_cast<uint16_t>(sum - kFrameDelta);
    }
    v[0] = y;
    v[1] = z;
}

int store_encrypt_uin_new(const unsigned char* pKey, unsigned int uin, vn::stream& out) {
    // The number as it lies in memory on the little-endian hosts the token was defined on.
    unsigned char plain[4] = {static_cast<unsigned char>(uin), static_cast<unsigned char>(uin >> 8),
                              static_cast<unsigned char>(uin >> 16),
                              static_cast<unsigned char>(uin >> 24)};
    unsigned char cipher[16];
    int n = 0;
    ku_symmetry_encrypt2(plain, sizeof(plain), pKey, cipher, &n);
    VN_CHECK(n == static_cast<int>(sizeof(cipher)));
    char text[vn::detail::tea_token_max_len(sizeof(cipher))];
    size_t len = vn::detail::tea_token_encode(cipher, sizeof(cipher), text);
    out.assign(reinterpret_cast<const unsigned char*>(text), static_cast<unsigned>(len));
    return 0;
}
