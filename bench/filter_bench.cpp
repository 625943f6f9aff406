// The certificate filter over a personal store of 10,000 certificates: each one is read
// through a view, its names rendered, cut into items and matched. Goal: under 50 ms per
// 1,000 certificates (counter ms_per_1000).
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "bench/bench_store.h"
#include "platform/text/codepage.h"
#include "store/cert_list.h"
#include "store/cert_store.h"
#include "store/filter.h"

namespace {

using namespace bench_store;

void runSearch(benchmark::State& state, const std::string& utf8Filter, int32_t flags,
               size_t expected) {
    const std::vector<PCCERT_CONTEXT>& contexts = store().contexts();
    std::string filter = utf8ToAnsi(utf8Filter);
    for (auto _ : state) {
        CertList list;
        DWORD platformError = 0;
        ErrorCode code = searchCertificates(enumerateContexts(contexts), &list, filter, flags, 0x80,
                                            CertSearch::AllWithMode, platformError);
        if (code != 0 || list.size() != expected) {
            state.SkipWithError("unexpected search result");
            break;
        }
    }
    state.counters["certs"] = static_cast<double>(contexts.size());
    // Seconds per (certificates / 10^6) is milliseconds per 1,000 certificates.
    state.counters["ms_per_1000"] = benchmark::Counter(
        static_cast<double>(contexts.size()) / 1e6,
        benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

// Filter-driven on subject and issuer, with the validity test: all 10,000 accepted.
void BM_FindAllMatching(benchmark::State& state) {
    runSearch(state, "S_O=Bench Org,S_CN=王小明,I_CN=Bench Issuing CA", 0x8 | 0x4, kCertificates);
}

// Mode 2, latest end of validity: every certificate matches, one is kept.
void BM_FindBest(benchmark::State& state) {
    runSearch(state, "S_O=Bench Org,S_CN=王小明", 0x8 | 0x4 | 0x40 | 2, 1);
}

// Certificate-driven: every component named, exactly one certificate matches.
void BM_FindOneByFullName(benchmark::State& state) {
    runSearch(state, "S_C=TW,S_O=Bench Org,S_OU=Unit 4,S_CN=王小明 1234", 0x4, 1);
}

void BM_FindCertificatesInMy(benchmark::State& state) {
    static PersonalStore personal;
    std::string filter = utf8ToAnsi("S_O=Bench Org,S_CN=王小明,I_CN=Bench Issuing CA");
    for (auto _ : state) {
        CertStore my;
        CertList list;
        if (my.OpenMy() != 0 || my.FindCertificates(list, filter, 0x8 | 0x4, 0x80) != 0 ||
            list.size() != static_cast<size_t>(kCertificates)) {
            state.SkipWithError("unexpected search result");
            break;
        }
    }
    state.counters["certs"] = kCertificates;
    state.counters["ms_per_1000"] =
        benchmark::Counter(kCertificates / 1e6, benchmark::Counter::kIsIterationInvariantRate |
                                                    benchmark::Counter::kInvert);
}

}  // namespace

BENCHMARK(BM_FindCertificatesInMy)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FindAllMatching)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FindBest)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FindOneByFullName)->Unit(benchmark::kMillisecond);
