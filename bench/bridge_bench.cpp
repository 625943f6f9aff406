// The cost of one kscapi-bridge per page: a new host started and its first create
// answered (the module loaded, the origin admitted from the user's allowed list), against
// a create in a host already running; and the round trip of a trivial call, timed from
// this driver (request written, reply read), as median and 99th percentile over 10,000
// calls. Run in a private KSCAPI_HOME:
//   build/kscapi_bench --benchmark_filter=Bridge --benchmark_repetitions=3
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "host/bridge/origin_policy.h"
#include "platform/system/last_error.h"
#include "tests/bridge_process.h"

namespace {

constexpr const char* kOrigin = "https://bench.example";

// A private home with the module registered and kOrigin allowed for good.
bool prepareHome() {
    static const bool ready = [] {
        char folder[] = "/tmp/kscapi-bench-XXXXXX";
        if (!mkdtemp(folder)) return false;
        setenv("KSCAPI_HOME", folder, 1);
        std::string registering = std::string(KSCAPI_HOST_PATH) + " register >/dev/null";
        return std::system(registering.c_str()) == 0 &&
               bridge::rememberOrigin(kOrigin) == ERROR_SUCCESS;
    }();
    return ready;
}

bool create(testing_support::BridgeProcess& host) {
    nlohmann::json reply =
        host.request({{"id", 1}, {"type", "create"}, {"origin", kOrigin}, {"owner", "b"}});
    return reply.contains("object");
}

void BM_BridgeFirstCreate(benchmark::State& state) {
    if (!prepareHome()) return state.SkipWithError("cannot prepare the home");
    testing_support::TempDir dir;
    for (auto _ : state) {
        testing_support::BridgeProcess host(dir);
        if (!create(host)) return state.SkipWithError("create failed");
        state.PauseTiming();
        host.finish();
        state.ResumeTiming();
    }
}
BENCHMARK(BM_BridgeFirstCreate)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_BridgeLaterCreate(benchmark::State& state) {
    if (!prepareHome()) return state.SkipWithError("cannot prepare the home");
    testing_support::TempDir dir;
    testing_support::BridgeProcess host(dir);
    if (!create(host)) return state.SkipWithError("create failed");
    for (auto _ : state)
        if (!create(host)) return state.SkipWithError("create failed");
}
BENCHMARK(BM_BridgeLaterCreate)->Unit(benchmark::kMillisecond)->UseRealTime();

// Hash("abc", 3) calls on one object, each frame written whole and its reply read before
// the next; the counters are the driver's round trips in milliseconds.
void BM_BridgeHashCalls(benchmark::State& state) {
    if (!prepareHome()) return state.SkipWithError("cannot prepare the home");
    testing_support::TempDir dir;
    testing_support::BridgeProcess host(dir);
    nlohmann::json created =
        host.request({{"id", 1}, {"type", "create"}, {"origin", kOrigin}, {"owner", "b"}});
    if (!created.contains("object")) return state.SkipWithError("create failed");
    const std::string frame = testing_support::frame(nlohmann::json({{"id", 2},
                                                                     {"type", "call"},
                                                                     {"origin", kOrigin},
                                                                     {"owner", "b"},
                                                                     {"object", created["object"]},
                                                                     {"op", "Hash"},
                                                                     {"args", {"abc", 3}}})
                                                         .dump());
    constexpr size_t kCalls = 10000;
    std::vector<double> trips;
    trips.reserve(kCalls);
    using Clock = std::chrono::steady_clock;
    for (auto _ : state) {
        trips.clear();
        for (size_t i = 0; i < kCalls; ++i) {
            auto start = Clock::now();
            if (!host.write(frame) || !host.reply()) return state.SkipWithError("call failed");
            trips.push_back(
                std::chrono::duration<double, std::milli>(Clock::now() - start).count());
        }
    }
    std::sort(trips.begin(), trips.end());
    state.counters["median_ms"] = trips[trips.size() / 2];
    state.counters["p99_ms"] = trips[trips.size() * 99 / 100];
    state.counters["calls"] = static_cast<double>(kCalls);
}
BENCHMARK(BM_BridgeHashCalls)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
