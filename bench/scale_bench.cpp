// The operations at scale: signer selection and mobile export over a personal store of
// 10,000 certificates plus one with a key, and a PKCS #7 signature over 100 MiB next to
// `openssl cms -sign` on the same bytes. Peak resident memory is the process's
// high-water mark in MiB (before the signature too, as the content itself is 100 MiB),
// and openssl's own as /usr/bin/time reports it.
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>

#include "bench/bench_store.h"
#include "control/capi_engine.h"

namespace {

const std::string kSign = std::string(KSCAPI_SOURCE_DIR) + "/tests/fixtures/sign/";
const char16_t kSigner[] = u"S_C=TW,S_O=Kestrune Test,S_CN=Sign Good";
constexpr size_t kContentChars = 50u << 20;  // 100 MiB of UTF-16

double peakMiB(int who) {
    struct rusage usage {};
    getrusage(who, &usage);
    return static_cast<double>(usage.ru_maxrss) / 1024.0;
}

// The 10,000 certificates and the signer's keyed certificate in "MY".
const bench_store::PersonalStore& largeStore() {
    static bench_store::PersonalStore personal;
    static const bool imported = [] {
        CapiEngine engine;
        std::string folder = kSign.substr(0, kSign.size() - 1);
        return engine.ImportPfxToIE(std::u16string(folder.begin(), folder.end()), u"good.pfx",
                                    u"secret", 1, 0) == 0;
    }();
    (void)imported;
    return personal;
}

void BM_SelectSignerMode2InLargeStore(benchmark::State& state) {
    largeStore();
    int32_t ret = -1;
    for (auto _ : state) {
        CapiEngine engine;
        ret = engine.SelectSigner(u"", 2, 0);
        benchmark::DoNotOptimize(ret);
    }
    state.counters["ret"] = ret;
    state.counters["peak_MiB"] = peakMiB(RUSAGE_SELF);
}

void BM_ExportMobileFromIEWithFilterInLargeStore(benchmark::State& state) {
    largeStore();
    for (auto _ : state) {
        CapiEngine engine;
        std::string record = engine.ExportMobileFromIE(kSigner, u"secret", 0, 0);
        if (record.empty()) {
            state.SkipWithError("export failed");
            break;
        }
    }
    state.counters["peak_MiB"] = peakMiB(RUSAGE_SELF);
}

// One signature over 100 MiB, then the openssl command line over the same bytes; the
// ratio is ours to theirs (wall time).
void BM_SignPkcs7Of100MiB(benchmark::State& state) {
    largeStore();
    const std::u16string content(kContentChars, u'x');
    const std::string file = largeStore().home() + "/content.bin";
    {
        std::ofstream out(file, std::ios::binary);
        out.write(reinterpret_cast<const char*>(content.data()),
                  static_cast<std::streamsize>(content.size() * 2));
    }
    CapiEngine engine;
    if (engine.SelectSigner(kSigner, 0, 0) != 0) {
        state.SkipWithError("no signer");
        return;
    }
    state.counters["peak_before_MiB"] = peakMiB(RUSAGE_SELF);
    double ours = 0;
    for (auto _ : state) {
        auto start = std::chrono::steady_clock::now();
        std::string signature = engine.SignPkcs7(content, 0);
        ours = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        if (signature.empty()) {
            state.SkipWithError("signing failed");
            break;
        }
    }
    state.counters["peak_MiB"] = peakMiB(RUSAGE_SELF);

    // SHA-1, as our default signature uses; the signer certificate converted beforehand.
    const std::string leaf = largeStore().home() + "/leaf.pem";
    if (std::system(
            ("openssl x509 -inform DER -in " + kSign + "good.leaf.der -out " + leaf).c_str()) !=
        0) {
        state.SkipWithError("openssl x509 failed");
        return;
    }
    const std::string rss = largeStore().home() + "/openssl.rss";
    const std::string command =
        "/usr/bin/time -f %M -o " + rss + " openssl cms -sign -binary -nodetach -md sha1 -in " +
        file + " -signer " + leaf + " -inkey " + kSign + "good.key.pem -outform DER -out /dev/null";
    auto start = std::chrono::steady_clock::now();
    int status = std::system(command.c_str());
    double theirs = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (status != 0) {
        state.SkipWithError("openssl cms -sign failed");
        return;
    }
    state.counters["openssl_s"] = theirs;
    state.counters["ours_s"] = ours;
    state.counters["ratio"] = ours / theirs;
    // The child's own high-water mark (KiB): getrusage(RUSAGE_CHILDREN) would report
    // the forking parent's.
    std::ifstream rssIn(rss);
    double childKiB = 0;
    rssIn >> childKiB;
    state.counters["openssl_peak_MiB"] = childKiB / 1024.0;
    std::remove(file.c_str());
}

}  // namespace

BENCHMARK(BM_SelectSignerMode2InLargeStore)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_ExportMobileFromIEWithFilterInLargeStore)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(3);
BENCHMARK(BM_SignPkcs7Of100MiB)->Unit(benchmark::kSecond)->Iterations(1);
