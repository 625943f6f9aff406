#include "digest/kernels.h"

namespace digest_kernels {

bool cpuHasShaNi() {
    static const bool has = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("sha") && __builtin_cpu_supports("sse4.1");
    }();
    return has;
}

bool cpuHasAvx2() {
    static const bool has = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("bmi") &&
               __builtin_cpu_supports("bmi2");
    }();
    return has;
}

}  // namespace digest_kernels
