#include <cpuid.h>

#include "digest/kernels.h"

namespace digest_kernels {

bool cpuHasShaNi() {
    static const bool has = [] {
        // Read from CPUID itself (leaf 1: SSE4.1, leaf 7: SHA), because not every
        // compiler's __builtin_cpu_supports knows the "sha" feature.
        unsigned a = 0, b = 0, c = 0, d = 0;
        if (!__get_cpuid(1, &a, &b, &c, &d) || !(c & bit_SSE4_1)) return false;
        if (!__get_cpuid_count(7, 0, &a, &b, &c, &d)) return false;
        return (b & bit_SHA) != 0;
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
