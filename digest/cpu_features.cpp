#include "digest/kernels_internal.h"

#if __has_include(<sys/platform/x86.h>)
#if defined(__clang__) && defined(__cplusplus)
// The header is C: its functions return _Bool, which g++ accepts in C++ and clang++
// does not.
#define _Bool bool
#include <sys/platform/x86.h>
#undef _Bool
#else
#include <sys/platform/x86.h>
#endif
#define KSCAPI_GLIBC_CPU_FEATURES 1
#else
#include <cpuid.h>
#endif

namespace digest_kernels {

// The features come from what the C library's loader read at start when it can tell:
// CPUID traps to the hypervisor in a virtual machine, where each one costs tens of
// microseconds, and libgcc's own reading (__builtin_cpu_init) would add a dozen of them
// to every start of every program, hashing or not.
#ifdef KSCAPI_GLIBC_CPU_FEATURES

bool cpuHasShaNi() {
    return CPU_FEATURE_ACTIVE(SSE4_1) && CPU_FEATURE_ACTIVE(SHA);
}

bool cpuHasAvx2() {
    return CPU_FEATURE_ACTIVE(AVX2) && CPU_FEATURE_ACTIVE(BMI1) && CPU_FEATURE_ACTIVE(BMI2);
}

#else

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

#endif

}  // namespace digest_kernels
