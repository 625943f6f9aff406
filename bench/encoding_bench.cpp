// Hex and Base64 of large inputs: the encoders must stay linear (a 10 MB text signed
// as PKCS#7 is Base64-encoded whole).
#include <benchmark/benchmark.h>

#include <random>
#include <string>

#include "core/byte_buffer.h"

namespace {

const std::string& input(size_t size) {
    static std::string data;
    if (data.size() != size) {
        data.resize(size);
        std::mt19937 rng(7);
        for (auto& c : data) c = static_cast<char>(rng());
    }
    return data;
}

void BM_EncodeHex(benchmark::State& state) {
    const std::string& in = input(static_cast<size_t>(state.range(0)));
    for (auto _ : state) {
        ByteBuffer b;
        benchmark::DoNotOptimize(b.encodeHex(in.data(), static_cast<int32_t>(in.size())));
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}

void BM_EncodeBase64(benchmark::State& state) {
    const std::string& in = input(static_cast<size_t>(state.range(0)));
    for (auto _ : state) {
        ByteBuffer b;
        benchmark::DoNotOptimize(b.encodeBase64(in.data(), static_cast<int32_t>(in.size())));
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}

void BM_DecodeBase64(benchmark::State& state) {
    const std::string& in = input(static_cast<size_t>(state.range(0)));
    ByteBuffer text;
    text.encodeBase64(in.data(), static_cast<int32_t>(in.size()));
    for (auto _ : state) {
        ByteBuffer b;
        benchmark::DoNotOptimize(b.decodeBase64Text(reinterpret_cast<const char*>(text.data())));
    }
    state.SetBytesProcessed(state.iterations() * text.length());
}

constexpr int64_t k50MiB = 50 << 20;

}  // namespace

BENCHMARK(BM_EncodeHex)->Arg(1 << 20)->Arg(k50MiB)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_EncodeBase64)->Arg(1 << 20)->Arg(k50MiB)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DecodeBase64)->Arg(1 << 20)->Arg(k50MiB)->Unit(benchmark::kMillisecond);
