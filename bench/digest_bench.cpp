// Our digests and 3DES-CBC beside OpenSSL's EVP implementations on the same inputs.
// Ours/... and OpenSsl/... report bytes per second each; Ratio/... runs both in turns
// within one benchmark, so that both see the same machine load, and reports the
// counter ratio = our throughput / OpenSSL's.
// The table of ratios, as medians of three runs:
//   build/kscapi_bench --benchmark_filter=Ratio --benchmark_min_time=0.2
//       --benchmark_repetitions=3 --benchmark_report_aggregates_only=true
#include <benchmark/benchmark.h>
#include <openssl/evp.h>

#include <chrono>
#include <cstdint>
#include <vector>

#include "digest/digests.h"
#include "mobile/des_cipher_internal.h"

namespace {

enum class Primitive { MD5, SHA1, SHA256, SHA512, TripleDesCbc };

const BYTE kKey[24] = {0x01, 0x23, 0x45, 0x67, 0x89, 0xab, 0xcd, 0xef, 0xfe, 0xdc, 0xba, 0x98,
                       0x76, 0x54, 0x32, 0x10, 0x89, 0xab, 0xcd, 0xef, 0x01, 0x23, 0x45, 0x67};

std::vector<BYTE> input(size_t n) {
    std::vector<BYTE> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = static_cast<BYTE>(i * 131 + 7);
    return v;
}

template <class Digest>
void oursDigest(const std::vector<BYTE>& in) {
    Digest d;
    d.compute(in.data(), static_cast<int32_t>(in.size()));
    benchmark::DoNotOptimize(d.result.data());
}

// One whole operation of `p` by our code: a digest, or a 3DES-CBC encryption with its
// key schedule.
void ours(Primitive p, const std::vector<BYTE>& in, DesCipher& des) {
    switch (p) {
        case Primitive::MD5:
            return oursDigest<Md5Digest>(in);
        case Primitive::SHA1:
            return oursDigest<Sha1Digest>(in);
        case Primitive::SHA256:
            return oursDigest<Sha256Digest>(in);
        case Primitive::SHA512:
            return oursDigest<Sha512Digest>(in);
        case Primitive::TripleDesCbc:
            des.encrypt(in.data(), static_cast<int32_t>(in.size()));
            benchmark::DoNotOptimize(des.output.data());
            return;
    }
}

// The same operation by OpenSSL's EVP interface.
void openssl(Primitive p, const std::vector<BYTE>& in, std::vector<BYTE>& out) {
    if (p == Primitive::TripleDesCbc) {
        unsigned char iv[8] = {};
        int n = 0, tail = 0;
        EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
        EVP_EncryptInit_ex(ctx, EVP_des_ede3_cbc(), nullptr, kKey, iv);
        EVP_EncryptUpdate(ctx, out.data(), &n, in.data(), static_cast<int>(in.size()));
        EVP_EncryptFinal_ex(ctx, out.data() + n, &tail);
        EVP_CIPHER_CTX_free(ctx);
    } else {
        const EVP_MD* md = p == Primitive::MD5      ? EVP_md5()
                           : p == Primitive::SHA1   ? EVP_sha1()
                           : p == Primitive::SHA256 ? EVP_sha256()
                                                    : EVP_sha512();
        unsigned int n = 0;
        EVP_Digest(in.data(), in.size(), out.data(), &n, md, nullptr);
    }
    benchmark::DoNotOptimize(out.data());
}

struct Fixture {
    explicit Fixture(size_t n) : in(input(n)), out(n + 64) {
        des.setAlgorithm(CALG_3DES);
        des.setKey(kKey, sizeof(kKey));
    }
    std::vector<BYTE> in, out;
    DesCipher des;
};

void BM_Ours(benchmark::State& state, Primitive p) {
    Fixture f(static_cast<size_t>(state.range(0)));
    for (auto _ : state) ours(p, f.in, f.des);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

void BM_OpenSsl(benchmark::State& state, Primitive p) {
    Fixture f(static_cast<size_t>(state.range(0)));
    for (auto _ : state) openssl(p, f.in, f.out);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

// Each iteration times a batch of ours, then a batch of OpenSSL's, of at least 64 KiB
// each, so that clock reads are lost in the work.
void BM_Ratio(benchmark::State& state, Primitive p) {
    const auto n = static_cast<size_t>(state.range(0));
    Fixture f(n);
    const size_t batch = n >= 65536 ? 1 : 65536 / n;
    using Clock = std::chrono::steady_clock;
    Clock::duration oursTime{}, theirsTime{};
    for (auto _ : state) {
        auto t0 = Clock::now();
        for (size_t i = 0; i < batch; ++i) ours(p, f.in, f.des);
        auto t1 = Clock::now();
        for (size_t i = 0; i < batch; ++i) openssl(p, f.in, f.out);
        auto t2 = Clock::now();
        oursTime += t1 - t0;
        theirsTime += t2 - t1;
    }
    const double bytes = static_cast<double>(state.iterations()) * batch * n;
    const double oursRate = bytes / std::chrono::duration<double>(oursTime).count();
    const double theirsRate = bytes / std::chrono::duration<double>(theirsTime).count();
    state.counters["ours_Bps"] = oursRate;
    state.counters["openssl_Bps"] = theirsRate;
    state.counters["ratio"] = oursRate / theirsRate;
}

void sizes(benchmark::internal::Benchmark* b) {
    for (int64_t n : {64, 1024, 16384, 1048576}) b->Arg(n);
}

#define KSCAPI_PRIMITIVE_BENCHMARKS(name)                               \
    BENCHMARK_CAPTURE(BM_Ours, name, Primitive::name)->Apply(sizes);    \
    BENCHMARK_CAPTURE(BM_OpenSsl, name, Primitive::name)->Apply(sizes); \
    BENCHMARK_CAPTURE(BM_Ratio, name, Primitive::name)->Apply(sizes)->UseRealTime();

KSCAPI_PRIMITIVE_BENCHMARKS(MD5)
KSCAPI_PRIMITIVE_BENCHMARKS(SHA1)
KSCAPI_PRIMITIVE_BENCHMARKS(SHA256)
KSCAPI_PRIMITIVE_BENCHMARKS(SHA512)
KSCAPI_PRIMITIVE_BENCHMARKS(TripleDesCbc)

}  // namespace
