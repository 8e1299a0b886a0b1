// The HTTP client against its anchor, libcurl, in one run, both talking to Debian's nginx
// on loopback (started here with a generated configuration in a temporary directory):
//  - download: a 256 MiB file into a file on the same file system;
//  - reuse: 2000 sequential GETs of a 1 KiB file, the client starting each next request
//    from inside OnDownloadComplete on its kept connection, libcurl on one easy handle;
//  - memory: peak resident memory of the process while the client downloads the 256 MiB
//    file, against its idle figure just before (the kernel's high-water mark is reset first).
// Every wait is bounded.
#include <benchmark/benchmark.h>
#include <curl/curl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>

#include "bench_http_client.h"
#include "http/client/vnhttpclient.h"
#include "support/http_peers.h"
#include "task/vntask.h"

namespace {

using namespace benchhttp;

constexpr unsigned long long kBigBytes = 256ull << 20;
constexpr int kGets = 2000;

struct Fixture {
    std::unique_ptr<vntest::NginxPeer> nginx;
    std::string dir;
    Fixture() {
        std::string why;
        vntest::NginxOptions o;
        // Every answer under /close/ ends its connection: the next request connects anew.
        o.serverExtra = "    location /close/ { keepalive_timeout 0; }\n";
        nginx = vntest::NginxPeer::Start(o, &why);
        if (!nginx) {
            fprintf(stderr, "nginx: %s\n", why.c_str());
            abort();
        }
        vntest::WriteTextFile(nginx->docroot() + "/big.bin", vntest::PatternBytes(kBigBytes, 1));
        vntest::WriteTextFile(nginx->docroot() + "/k1.bin", vntest::PatternBytes(1024, 2));
        mkdir((nginx->docroot() + "/close").c_str(), 0755);
        vntest::WriteTextFile(nginx->docroot() + "/close/k1.bin", vntest::PatternBytes(1024, 2));
        dir = vntest::MakeTempDir("httpbench");
    }
    ~Fixture() { vntest::RemoveTree(dir); }
};

Fixture& F() {
    static Fixture f;
    return f;
}

void BM_ClientDownload256MiB(benchmark::State& state) {
    Fixture& f = F();
    ClientBox box;
    vn::strutf16 url = U(f.nginx->Url("/big.bin"));
    std::string dst = f.dir + "/client.bin";
    for (auto _ : state) {
        remove(dst.c_str());
        box.sink.Expect(1, nullptr);
        if (!box.client->Download(url, U(dst), nullptr, 0) || !box.sink.Wait()) {
            state.SkipWithError("download failed");
            break;
        }
    }
    state.SetBytesProcessed(static_cast<long long>(state.iterations() * kBigBytes));
    remove(dst.c_str());
}

void BM_CurlDownload256MiB(benchmark::State& state) {
    Fixture& f = F();
    std::string url = f.nginx->Url("/big.bin"), dst = f.dir + "/curl.bin";
    CURL* h = curl_easy_init();
    for (auto _ : state) {
        FILE* out = fopen(dst.c_str(), "wb");
        curl_easy_setopt(h, CURLOPT_URL, url.c_str());
        curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, WriteFile);
        curl_easy_setopt(h, CURLOPT_WRITEDATA, out);
        CURLcode rc = curl_easy_perform(h);
        fclose(out);
        if (rc != CURLE_OK) {
            state.SkipWithError("curl failed");
            break;
        }
    }
    curl_easy_cleanup(h);
    state.SetBytesProcessed(static_cast<long long>(state.iterations() * kBigBytes));
    remove(dst.c_str());
}

void BM_ClientSequentialGets(benchmark::State& state) {
    Fixture& f = F();
    ClientBox box;
    vn::strutf16 url = U(f.nginx->Url("/k1.bin"));
    for (auto _ : state) {
        box.sink.Expect(kGets, &url);
        if (!box.client->Download(url, nullptr) || !box.sink.Wait()) {
            state.SkipWithError("GETs failed");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations() * kGets);
}

// Sequential GETs that each connect anew (the peer closes after every answer): the way to a
// server, resolution included, on every request. Arg 0: by address, 1: by name.
void BM_ClientFreshConnectionGets(benchmark::State& state) {
    Fixture& f = F();
    ClientBox box;
    std::string host = state.range(0) == 0 ? "127.0.0.1" : "localhost";
    vn::strutf16 url =
        U("http://" + host + ":" + std::to_string(f.nginx->port()) + "/close/k1.bin");
    constexpr int kFresh = 300;
    for (auto _ : state) {
        box.sink.Expect(kFresh, &url);
        if (!box.client->Download(url, nullptr) || !box.sink.Wait()) {
            state.SkipWithError("GETs failed");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations() * kFresh);
}

void BM_CurlSequentialGets(benchmark::State& state) {
    Fixture& f = F();
    std::string url = f.nginx->Url("/k1.bin");
    CURL* h = curl_easy_init();
    curl_easy_setopt(h, CURLOPT_URL, url.c_str());
    curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, Discard);
    for (auto _ : state) {
        for (int i = 0; i < kGets; ++i) {
            if (curl_easy_perform(h) != CURLE_OK) {
                state.SkipWithError("curl failed");
                break;
            }
        }
    }
    curl_easy_cleanup(h);
    state.SetItemsProcessed(state.iterations() * kGets);
}

// kB value of a /proc/self/status line such as "VmHWM:".
long long StatusKb(const char* key) {
    FILE* s = fopen("/proc/self/status", "r");
    if (s == nullptr) return -1;
    char line[256];
    long long v = -1;
    while (fgets(line, sizeof(line), s) != nullptr)
        if (strncmp(line, key, strlen(key)) == 0) v = atoll(line + strlen(key));
    fclose(s);
    return v;
}

void BM_ClientDownloadPeakRss(benchmark::State& state) {
    Fixture& f = F();
    ClientBox box;
    vn::strutf16 url = U(f.nginx->Url("/big.bin"));
    std::string dst = f.dir + "/rss.bin";
    long long idle = 0, peak = 0;
    for (auto _ : state) {
        remove(dst.c_str());
        FILE* c = fopen("/proc/self/clear_refs", "w");  // 5: reset the high-water mark
        if (c != nullptr) {
            fputs("5", c);
            fclose(c);
        }
        idle = StatusKb("VmRSS:");
        box.sink.Expect(1, nullptr);
        if (!box.client->Download(url, U(dst), nullptr, 0) || !box.sink.Wait()) {
            state.SkipWithError("download failed");
            break;
        }
        peak = StatusKb("VmHWM:");
    }
    state.counters["idle_MiB"] = static_cast<double>(idle) / 1024;
    state.counters["peak_MiB"] = static_cast<double>(peak) / 1024;
    state.counters["delta_MiB"] = static_cast<double>(peak - idle) / 1024;
    remove(dst.c_str());
}

}  // namespace

BENCHMARK(BM_ClientDownload256MiB)->Unit(benchmark::kMillisecond)->Iterations(5)->UseRealTime();
BENCHMARK(BM_CurlDownload256MiB)->Unit(benchmark::kMillisecond)->Iterations(5)->UseRealTime();
BENCHMARK(BM_ClientSequentialGets)->Unit(benchmark::kMillisecond)->Iterations(5)->UseRealTime();
BENCHMARK(BM_ClientFreshConnectionGets)
    ->Arg(0)
    ->Arg(1)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(5)
    ->UseRealTime();
BENCHMARK(BM_CurlSequentialGets)->Unit(benchmark::kMillisecond)->Iterations(5)->UseRealTime();
BENCHMARK(BM_ClientDownloadPeakRss)->Unit(benchmark::kMillisecond)->Iterations(1)->UseRealTime();

int main(int argc, char** argv) {
    curl_global_init(CURL_GLOBAL_DEFAULT);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    curl_global_cleanup();
    return 0;
}
