// Splitting URL-encoded bodies into form fields must cost time in proportion
// to the body: both for many distinct names and for one name repeated, whose
// joined value grows with every pair. Sizes from 128 KB to 1 MB; the fitted
// complexity line shows the cost per byte and how well it fits O(N).
#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>

#include "engine/FormFields.h"

namespace {

// "123456=ab&": ten bytes per pair, so 1 MB holds about 100 000 distinct fields.
std::string DistinctFieldsBody(size_t bytes) {
    std::string body;
    body.reserve(bytes + 16);
    char pair[32];
    for (unsigned i = 0; body.size() + 10 <= bytes; ++i) {
        // Names arrive in scrambled order, as they would from a real form.
        std::snprintf(pair, sizeof pair, "%06u=ab&", i * 7919u % 1000000u);
        body += pair;
    }
    return body;
}

// "k=abcdefg&" with the name's letter case alternating: one field, about
// 100 000 values at 1 MB.
std::string RepeatedFieldBody(size_t bytes) {
    std::string body;
    body.reserve(bytes + 16);
    for (unsigned i = 0; body.size() + 10 <= bytes; ++i) body += (i % 2 ? "K=abcdefg&" : "k=abcdefg&");
    return body;
}

void Parse(benchmark::State& state, const std::string& body) {
    for (auto _ : state) {
        http::FormFieldList list;
        http::AddUrlEncodedFields(list, body);
        benchmark::DoNotOptimize(list.Count());
    }
    state.SetComplexityN(static_cast<int64_t>(body.size()));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(body.size()));
}

void BM_DistinctFields(benchmark::State& state) {
    Parse(state, DistinctFieldsBody(static_cast<size_t>(state.range(0))));
}

void BM_RepeatedField(benchmark::State& state) {
    Parse(state, RepeatedFieldBody(static_cast<size_t>(state.range(0))));
}

}  // namespace

BENCHMARK(BM_DistinctFields)->RangeMultiplier(2)->Range(128 << 10, 1 << 20)->Complexity(benchmark::oN)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RepeatedField)->RangeMultiplier(2)->Range(128 << 10, 1 << 20)->Complexity(benchmark::oN)
    ->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
