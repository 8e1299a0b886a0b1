// The HTTP client over TLS against its anchors in one run, all talking to Debian's nginx on
// loopback with a throwaway authority and leaf (P-256) made here, and every side verifying
// the leaf against that authority:
//  - download: a 256 MiB file over https into a file on the same file system, against the
//    command-line curl (its own time_total, so its process start is not counted against it)
//    and, for reference, libcurl in this process;
//  - reuse: 2000 sequential GETs of a 1 KiB file over one kept TLS connection, the client
//    starting each next request from inside OnDownloadComplete, libcurl on one easy handle.
// nginx speaks TLS 1.3 with TLS_AES_128_GCM_SHA256 only, so every client ends up on the same
// suite whatever it offers (curl is told the same on its side). The "conns" counters are the
// connections nginx accepted during the benchmark (stub_status, its own readings left out),
// which shows the kept connections really were kept. Each download's size is checked. The
// sequential GETs wait on wake-ups more than on work, so their figures move with whatever
// else the machine runs: compare medians of interleaved repetitions,
//   build/bench/https_bench --benchmark_repetitions=10 --benchmark_enable_random_interleaving=true
// Every wait is bounded.
#include <benchmark/benchmark.h>
#include <curl/curl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>

#include "bench_http_client.h"
#include "http/client/vnhttpclient.h"
#include "support/http_peers.h"
#include "support/tls_pki.h"
#include "task/vntask.h"

namespace {

using namespace benchhttp;

constexpr unsigned long long kBigBytes = 256ull << 20;
constexpr int kGets = 2000;
const char kSuite[] = "TLS_AES_128_GCM_SHA256";

struct Fixture {
    std::unique_ptr<vntest::TestPki> pki;
    std::unique_ptr<vntest::NginxPeer> nginx;
    std::string dir;
    Fixture() {
        std::string why;
        pki = vntest::TestPki::Make(&why);
        if (!pki) {
            fprintf(stderr, "pki: %s\n", why.c_str());
            abort();
        }
        vntest::NginxOptions o;
        o.tls.push_back({pki->good.chain, pki->good.key});
        // Applied after the server block's ssl_protocols, so these win.
        o.httpExtra = std::string("  ssl_conf_command MinProtocol TLSv1.3;\n") +
                      "  ssl_conf_command Ciphersuites " + kSuite + ";\n";
        o.serverExtra = "    location = /status { stub_status; }\n";
        nginx = vntest::NginxPeer::Start(o, &why);
        if (!nginx) {
            fprintf(stderr, "nginx: %s\n", why.c_str());
            abort();
        }
        vntest::WriteTextFile(nginx->docroot() + "/big.bin", vntest::PatternBytes(kBigBytes, 1));
        vntest::WriteTextFile(nginx->docroot() + "/k1.bin", vntest::PatternBytes(1024, 2));
        dir = vntest::MakeTempDir("httpsbench");
    }
    ~Fixture() { vntest::RemoveTree(dir); }
};

Fixture& F() {
    static Fixture f;
    return f;
}

size_t Collect(char* p, size_t size, size_t n, void* out) {
    static_cast<std::string*>(out)->append(p, size * n);
    return size * n;
}

// Connections nginx accepted so far, the reading one included (-1 when it cannot be read).
long long Accepted() {
    std::string body;
    CURL* h = curl_easy_init();
    curl_easy_setopt(h, CURLOPT_URL, F().nginx->Url("/status").c_str());
    curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, Collect);
    curl_easy_setopt(h, CURLOPT_WRITEDATA, &body);
    curl_easy_setopt(h, CURLOPT_TIMEOUT, 10L);
    CURLcode rc = curl_easy_perform(h);
    curl_easy_cleanup(h);
    // "Active connections: 1 \nserver accepts handled requests\n 12 12 40 \n..."
    size_t at = body.find("requests\n");
    if (rc != CURLE_OK || at == std::string::npos) return -1;
    return atoll(body.c_str() + at + 9);
}

// The connections made between two Accepted() readings, not counting the second reading.
void CountConnections(benchmark::State& state, long long before) {
    long long after = Accepted();
    if (before >= 0 && after >= 0)
        state.counters["conns"] = static_cast<double>(after - before - 1);
}

// A client that trusts the throwaway authority.
struct TlsClientBox : ClientBox {
    TlsClientBox() {
        if (!client->SetTlsCaFile(F().pki->caFile.c_str())) {
            fprintf(stderr, "SetTlsCaFile refused %s\n", F().pki->caFile.c_str());
            abort();
        }
    }
};

// A download that ended early must not pass for a fast one.
bool WholeFile(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && static_cast<unsigned long long>(st.st_size) == kBigBytes;
}

// The same verification and suite as the other clients: the test authority, TLS 1.3 and
// the one suite nginx allows.
void CurlTls(CURL* h) {
    curl_easy_setopt(h, CURLOPT_CAINFO, F().pki->caFile.c_str());
    curl_easy_setopt(h, CURLOPT_SSLVERSION, static_cast<long>(CURL_SSLVERSION_TLSv1_3));
    curl_easy_setopt(h, CURLOPT_TLS13_CIPHERS, kSuite);
}

void BM_ClientHttpsDownload256MiB(benchmark::State& state) {
    Fixture& f = F();
    TlsClientBox box;
    vn::strutf16 url = U(f.nginx->TlsUrl(0, "/big.bin"));
    std::string dst = f.dir + "/client.bin";
    long long before = Accepted();
    for (auto _ : state) {
        remove(dst.c_str());
        box.sink.Expect(1, nullptr);
        if (!box.client->Download(url, U(dst), nullptr, 0) || !box.sink.Wait()) {
            state.SkipWithError(("download failed: " + box.Failure()).c_str());
            break;
        }
    }
    if (!state.error_occurred() && !WholeFile(dst)) state.SkipWithError("short file");
    CountConnections(state, before);
    state.SetBytesProcessed(static_cast<long long>(state.iterations() * kBigBytes));
    remove(dst.c_str());
}

// The command-line curl, one process per download; the iteration's time is curl's own
// time_total (connect, handshake and transfer), its start and exit are left out.
void BM_CurlCliHttpsDownload256MiB(benchmark::State& state) {
    Fixture& f = F();
    std::string dst = f.dir + "/curlcli.bin";
    std::string cmd = std::string("curl -s -S --max-time 120 --tlsv1.3 --tls13-ciphers ") + kSuite +
                      " --cacert '" + f.pki->caFile + "' -o '" + dst + "' -w '%{time_total}' '" +
                      f.nginx->TlsUrl(0, "/big.bin") + "'";
    double wall = 0;
    long long before = Accepted();
    for (auto _ : state) {
        remove(dst.c_str());
        auto t0 = std::chrono::steady_clock::now();
        FILE* p = popen(cmd.c_str(), "r");
        char out[64] = "";
        bool read = p != nullptr && fgets(out, sizeof(out), p) != nullptr;
        int rc = p != nullptr ? pclose(p) : -1;
        wall += std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        double total = read ? atof(out) : 0;
        if (rc != 0 || total <= 0) {
            state.SkipWithError("curl failed");
            break;
        }
        state.SetIterationTime(total);
    }
    if (!state.error_occurred() && !WholeFile(dst)) state.SkipWithError("short file");
    CountConnections(state, before);
    if (state.iterations() > 0) {
        state.counters["wall_ms"] = wall * 1000 / static_cast<double>(state.iterations());
    }
    state.SetBytesProcessed(static_cast<long long>(state.iterations() * kBigBytes));
    remove(dst.c_str());
}

void BM_LibcurlHttpsDownload256MiB(benchmark::State& state) {
    Fixture& f = F();
    std::string url = f.nginx->TlsUrl(0, "/big.bin"), dst = f.dir + "/libcurl.bin";
    CURL* h = curl_easy_init();
    CurlTls(h);
    long long before = Accepted();
    for (auto _ : state) {
        FILE* out = fopen(dst.c_str(), "wb");
        curl_easy_setopt(h, CURLOPT_URL, url.c_str());
        curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, WriteFile);
        curl_easy_setopt(h, CURLOPT_WRITEDATA, out);
        curl_easy_setopt(h, CURLOPT_TIMEOUT, static_cast<long>(kWaitSeconds));
        CURLcode rc = curl_easy_perform(h);
        fclose(out);
        if (rc != CURLE_OK) {
            state.SkipWithError(curl_easy_strerror(rc));
            break;
        }
    }
    curl_easy_cleanup(h);
    if (!state.error_occurred() && !WholeFile(dst)) state.SkipWithError("short file");
    CountConnections(state, before);
    state.SetBytesProcessed(static_cast<long long>(state.iterations() * kBigBytes));
    remove(dst.c_str());
}

void BM_ClientHttpsSequentialGets(benchmark::State& state) {
    Fixture& f = F();
    TlsClientBox box;
    vn::strutf16 url = U(f.nginx->TlsUrl(0, "/k1.bin"));
    long long before = Accepted();
    for (auto _ : state) {
        box.sink.Expect(kGets, &url);
        if (!box.client->Download(url, nullptr) || !box.sink.Wait()) {
            state.SkipWithError(("GETs failed: " + box.Failure()).c_str());
            break;
        }
    }
    CountConnections(state, before);
    state.SetItemsProcessed(state.iterations() * kGets);
}

void BM_LibcurlHttpsSequentialGets(benchmark::State& state) {
    Fixture& f = F();
    std::string url = f.nginx->TlsUrl(0, "/k1.bin");
    CURL* h = curl_easy_init();
    CurlTls(h);
    curl_easy_setopt(h, CURLOPT_URL, url.c_str());
    curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, Discard);
    curl_easy_setopt(h, CURLOPT_TIMEOUT, 10L);
    long long before = Accepted();
    for (auto _ : state) {
        for (int i = 0; i < kGets; ++i) {
            CURLcode rc = curl_easy_perform(h);
            if (rc != CURLE_OK) {
                state.SkipWithError(curl_easy_strerror(rc));
                break;
            }
        }
    }
    curl_easy_cleanup(h);
    CountConnections(state, before);
    state.SetItemsProcessed(state.iterations() * kGets);
}

}  // namespace

BENCHMARK(BM_ClientHttpsDownload256MiB)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(5)
    ->UseRealTime();
BENCHMARK(BM_CurlCliHttpsDownload256MiB)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(5)
    ->UseManualTime();
BENCHMARK(BM_LibcurlHttpsDownload256MiB)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(5)
    ->UseRealTime();
BENCHMARK(BM_ClientHttpsSequentialGets)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(5)
    ->UseRealTime();
BENCHMARK(BM_LibcurlHttpsSequentialGets)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(5)
    ->UseRealTime();

int main(int argc, char** argv) {
    curl_global_init(CURL_GLOBAL_DEFAULT);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    curl_global_cleanup();
    return 0;
}
