// vnio_copyfile of a 256 MiB file against /bin/cp (which uses copy_file_range) in the same run:
// same source (hot in the page cache), same target folder, wall-clock time (cp runs in a child
// process). The copy is removed between iterations, outside the timed part.
//   build-h-io-bench/bench/io_bench --benchmark_repetitions=5
// The folder is $TMPDIR (or /tmp); both copies must land on the same file system.
#include <benchmark/benchmark.h>

#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <random>
#include <string>
#include <vector>

#include "io/vnio.h"

extern char** environ;

namespace {

constexpr long long kSize = 256ll << 20;

std::string g_dir;
std::string g_src;
std::string g_dst;

bool MakeSource() {
    const char* tmp = getenv("TMPDIR");
    std::string tmpl = std::string(tmp && tmp[0] ? tmp : "/tmp") + "/vnio_bench_XXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    if (!mkdtemp(buf.data())) return false;
    g_dir = buf.data();
    g_src = g_dir + "/source.bin";
    g_dst = g_dir + "/copy.bin";
    FILE* f = fopen(g_src.c_str(), "wb");
    if (!f) return false;
    std::mt19937_64 rng(1);
    std::vector<unsigned long long> block(1 << 17);  // 1 MiB
    for (long long done = 0; done < kSize; done += 1 << 20) {
        for (auto& w : block)
            w = rng();
        if (fwrite(block.data(), 1, 1 << 20, f) != 1 << 20) {
            fclose(f);
            return false;
        }
    }
    // Written back now, so that no benchmark pays for the source's writeback.
    bool ok = fflush(f) == 0 && fsync(fileno(f)) == 0;
    return fclose(f) == 0 && ok;
}

void BM_CopyFile_vnio(benchmark::State& state) {
    for (auto _ : state) {
        if (!vnio_copyfile(g_src.c_str(), g_dst.c_str())) {
            state.SkipWithError("vnio_copyfile failed");
            break;
        }
        state.PauseTiming();
        unlink(g_dst.c_str());
        state.ResumeTiming();
    }
    state.SetBytesProcessed(state.iterations() * kSize);
}
BENCHMARK(BM_CopyFile_vnio)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(3);

void BM_CopyFile_cp(benchmark::State& state) {
    for (auto _ : state) {
        char* argv[] = {const_cast<char*>("cp"), const_cast<char*>(g_src.c_str()),
                        const_cast<char*>(g_dst.c_str()), nullptr};
        pid_t pid;
        int status = 0;
        if (posix_spawn(&pid, "/bin/cp", nullptr, nullptr, argv, environ) != 0 ||
            waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            state.SkipWithError("cp failed");
            break;
        }
        state.PauseTiming();
        unlink(g_dst.c_str());
        state.ResumeTiming();
    }
    state.SetBytesProcessed(state.iterations() * kSize);
}
BENCHMARK(BM_CopyFile_cp)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(3);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    bool ok = MakeSource();
    if (ok)
        benchmark::RunSpecifiedBenchmarks();
    else
        fprintf(stderr, "io_bench: cannot write the 256 MiB source under %s\n", g_dir.c_str());
    unlink(g_dst.c_str());
    unlink(g_src.c_str());
    if (!g_dir.empty()) rmdir(g_dir.c_str());
    benchmark::Shutdown();
    return ok ? 0 : 1;
}
