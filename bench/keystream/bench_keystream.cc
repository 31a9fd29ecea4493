// Throughput of keystream_add and keystream_sub beside a one-output-per-byte generator
// and beside memcpy of the same buffer.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "lib/cipher/keystream.h"
#include "lib/cipher/keystream_impl.h"
#include "tests/support/reference_mt.h"

namespace {

using brennic::keystream_path;

// The generator drawn one output at a time, with a division per byte.
using plain_mt = brennic::test::reference_mt;

std::vector<unsigned char> make_buffer(std::int64_t n) {
    std::vector<unsigned char> b(static_cast<std::size_t>(n));
    for (std::size_t i = 0; i < b.size(); ++i)
        b[i] = static_cast<unsigned char>(i * 131u);
    return b;
}

// Bytes per second, printed in decimal units: "G/s" is 10^9 bytes a second, as in GB/s.
// (SetBytesProcessed prints the same rate in binary units, 2^30 bytes for a "G".)
void count_bytes(benchmark::State &state) {
    state.counters["bytes_per_second"] =
        benchmark::Counter(static_cast<double>(state.iterations() * state.range(0)),
                           benchmark::Counter::kIsRate, benchmark::Counter::kIs1000);
}

template <bool kAdd> void run_keystream(benchmark::State &state, keystream_path path) {
    if (!brennic::select_keystream_path(path)) {
        state.SkipWithError("path not available on this CPU");
        return;
    }
    auto buf = make_buffer(state.range(0));
    brennic::mt_ptr g(brennic::mt_seed(4357));
    const auto n = static_cast<std::int32_t>(buf.size());
    for (auto _ : state) {
        if constexpr (kAdd)
            brennic::keystream_add(g.get(), buf.data(), n);
        else
            brennic::keystream_sub(g.get(), buf.data(), n);
        benchmark::DoNotOptimize(buf.data());
        benchmark::ClobberMemory();
    }
    count_bytes(state);
}

void BM_keystream_add(benchmark::State &state) { run_keystream<true>(state, keystream_path::avx2); }
void BM_keystream_sub(benchmark::State &state) {
    run_keystream<false>(state, keystream_path::avx2);
}
void BM_keystream_add_portable(benchmark::State &state) {
    run_keystream<true>(state, keystream_path::portable);
}
void BM_keystream_sub_portable(benchmark::State &state) {
    run_keystream<false>(state, keystream_path::portable);
}

void BM_reference_add(benchmark::State &state) {
    auto buf = make_buffer(state.range(0));
    plain_mt g(4357);
    for (auto _ : state) {
        for (auto &b : buf)
            b = static_cast<unsigned char>(b + g.next() % 255u);
        benchmark::DoNotOptimize(buf.data());
        benchmark::ClobberMemory();
    }
    count_bytes(state);
}

void BM_reference_sub(benchmark::State &state) {
    auto buf = make_buffer(state.range(0));
    plain_mt g(4357);
    for (auto _ : state) {
        for (auto &b : buf)
            b = static_cast<unsigned char>(b - g.next() % 255u);
        benchmark::DoNotOptimize(buf.data());
        benchmark::ClobberMemory();
    }
    count_bytes(state);
}

void BM_memcpy(benchmark::State &state) {
    const auto src = make_buffer(state.range(0));
    auto dst = make_buffer(state.range(0));
    for (auto _ : state) {
        std::memcpy(dst.data(), src.data(), src.size());
        benchmark::DoNotOptimize(dst.data());
        benchmark::ClobberMemory();
    }
    count_bytes(state);
}

#define BRENNIC_SIZES ->Arg(40)->Arg(1 << 10)->Arg(64 << 10)->Arg(64 << 20)

BENCHMARK(BM_keystream_add) BRENNIC_SIZES;
BENCHMARK(BM_keystream_sub) BRENNIC_SIZES;
BENCHMARK(BM_keystream_add_portable) BRENNIC_SIZES;
BENCHMARK(BM_keystream_sub_portable) BRENNIC_SIZES;
BENCHMARK(BM_reference_add) BRENNIC_SIZES;
BENCHMARK(BM_reference_sub) BRENNIC_SIZES;
BENCHMARK(BM_memcpy) BRENNIC_SIZES;

} // namespace

BENCHMARK_MAIN();
