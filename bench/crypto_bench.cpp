// Throughput of the checksums and ciphers on 1 MiB, each beside its reference in the same
// run: CRC32 against zlib's crc32, MD5 against OpenSSL's, and TEA mode 2 on its own.
//   build-bench/bench/crypto_bench --benchmark_min_time=1
#include <benchmark/benchmark.h>

#include <openssl/evp.h>
#include <zlib.h>

#include <random>
#include <vector>

#include "crypto/vncrc32.h"
#include "crypto/vnmd5.h"
#include "crypto/vntea.h"

namespace {

constexpr size_t kSize = 1 << 20;

const std::vector<unsigned char>& input() {
    static const std::vector<unsigned char> data = [] {
        std::vector<unsigned char> v(kSize);
        std::mt19937 rng(1);
        for (auto& b : v)
            b = static_cast<unsigned char>(rng());
        return v;
    }();
    return data;
}

void BM_Crc32_vnbase(benchmark::State& state) {
    const auto& data = input();
    for (auto _ : state) {
        benchmark::DoNotOptimize(CRC32(0, data.data(), data.size()));
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * kSize);
}
BENCHMARK(BM_Crc32_vnbase);

void BM_Crc32_zlib(benchmark::State& state) {
    const auto& data = input();
    for (auto _ : state) {
        benchmark::DoNotOptimize(crc32_z(0, data.data(), data.size()));
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * kSize);
}
BENCHMARK(BM_Crc32_zlib);

void BM_Md5_vnbase(benchmark::State& state) {
    const auto& data = input();
    unsigned char digest[16];
    for (auto _ : state) {
        Md5HashBuffer(digest, data.data(), data.size());
        benchmark::DoNotOptimize(digest);
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * kSize);
}
BENCHMARK(BM_Md5_vnbase);

void BM_Md5_openssl(benchmark::State& state) {
    const auto& data = input();
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int n = 0;
    const EVP_MD* md = EVP_md5();
    for (auto _ : state) {
        EVP_Digest(data.data(), data.size(), digest, &n, md, nullptr);
        benchmark::DoNotOptimize(digest);
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * kSize);
}
BENCHMARK(BM_Md5_openssl);

const unsigned char kKey[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};

void BM_TeaMode2Encrypt(benchmark::State& state) {
    const auto& data = input();
    std::vector<unsigned char> out(ku_symmetry_encrypt2_len(int(kSize)));
    for (auto _ : state) {
        int n = 0;
        ku_symmetry_encrypt2(data.data(), int(kSize), kKey, out.data(), &n);
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * kSize);
}
BENCHMARK(BM_TeaMode2Encrypt);

void BM_TeaMode2Decrypt(benchmark::State& state) {
    const auto& data = input();
    std::vector<unsigned char> cipher(ku_symmetry_encrypt2_len(int(kSize)));
    int n = 0;
    ku_symmetry_encrypt2(data.data(), int(kSize), kKey, cipher.data(), &n);
    std::vector<unsigned char> out(kSize);
    for (auto _ : state) {
        int len = int(out.size());
        benchmark::DoNotOptimize(ku_symmetry_decrypt2(cipher.data(), n, kKey, out.data(), &len));
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * kSize);
}
BENCHMARK(BM_TeaMode2Decrypt);

}  // namespace

BENCHMARK_MAIN();
