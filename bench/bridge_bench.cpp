// The cost of one kscapi-bridge per page: a new host started and its first create
// answered (the module loaded, the origin admitted from the user's allowed list), against
// a create in a host already running. Run in a private KSCAPI_HOME.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <string>

#include "host/bridge/origin_policy.h"
#include "platform/last_error.h"
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

}  // namespace
