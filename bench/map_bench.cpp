// vnstl::map against std::map under the task runtime's pattern: ids inserted in
// ascending order, the oldest erased, 10^6 operations over a window of live keys
// (10^4 by default; 10^3 and 10^5 show how the cost grows). The "height" counter is the
// tree height after the run: it must stay near log2(window).
#include <benchmark/benchmark.h>

#include <map>
#include <random>
#include <vector>

#include "common/vnstream.h"

namespace {

typedef vnstl::map<unsigned long, unsigned int> IdMap;
const int kOps = 1000000;

int Height(const IdMap::node* n) {
    if (!n) return 0;
    int l = Height(n->left), r = Height(n->right);
    return 1 + (l > r ? l : r);
}

void BM_TaskIds_vnstl(benchmark::State& state) {
    const unsigned long window = (unsigned long)state.range(0);
    int height = 0;
    for (auto _ : state) {
        IdMap m;
        unsigned long next = 1;
        for (; next <= window; ++next)
            m.insert(next, 1);
        for (int i = 0; i < kOps; ++i) {
            m.erase(m.begin());
            m.insert(next++, 1);
        }
        height = Height(m.root());
        benchmark::DoNotOptimize(m.size());
    }
    state.counters["height"] = height;
    state.SetItemsProcessed(state.iterations() * kOps);
}
BENCHMARK(BM_TaskIds_vnstl)->Arg(1000)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);

void BM_TaskIds_stdmap(benchmark::State& state) {
    const unsigned long window = (unsigned long)state.range(0);
    for (auto _ : state) {
        std::map<unsigned long, unsigned int> m;
        unsigned long next = 1;
        for (; next <= window; ++next)
            m.emplace(next, 1u);
        for (int i = 0; i < kOps; ++i) {
            m.erase(m.begin());
            m.emplace(next++, 1u);
        }
        benchmark::DoNotOptimize(m.size());
    }
    state.SetItemsProcessed(state.iterations() * kOps);
}
BENCHMARK(BM_TaskIds_stdmap)->Arg(1000)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);

// Cancelling: random look-ups of live ids in a window of 10^4.
template <class M>
void Lookups(benchmark::State& state, M& m) {
    std::mt19937 rng(3);
    std::vector<unsigned long> keys(4096);
    for (auto& k : keys)
        k = 1 + rng() % 10000;
    size_t i = 0;
    for (auto _ : state)
        benchmark::DoNotOptimize(m.find(keys[i++ & 4095]) != m.end());
}

void BM_Find_vnstl(benchmark::State& state) {
    IdMap m;
    for (unsigned long k = 1; k <= 10000; ++k)
        m.insert(k, 1);
    Lookups(state, m);
}
BENCHMARK(BM_Find_vnstl);

void BM_Find_stdmap(benchmark::State& state) {
    std::map<unsigned long, unsigned int> m;
    for (unsigned long k = 1; k <= 10000; ++k)
        m.emplace(k, 1u);
    Lookups(state, m);
}
BENCHMARK(BM_Find_stdmap);

}  // namespace

BENCHMARK_MAIN();
