#include "platform/cpu_features.h"

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <cpuid.h>
#endif

namespace chunksieve {

std::uint32_t cpu_features() {
    static const std::uint32_t features = detect_cpu_features();
    return features;
}

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))

namespace {

std::uint64_t read_xcr0() {
    std::uint32_t lo, hi;
    __asm__ volatile("xgetbv" : "=a"(lo), "=d"(hi) : "c"(0));
    return (std::uint64_t(hi) << 32) | lo;
}

}  // namespace

std::uint32_t detect_cpu_features() {
    unsigned a, b, c, d;
    if (!__get_cpuid(1, &a, &b, &c, &d)) return 0;
    std::uint32_t f = 0;
    if (c & (1u << 20)) f |= CPU_SSE42;  // no extra register state to check
    const bool osxsave = c & (1u << 27);
    const bool avx = c & (1u << 28);
    if (!osxsave || !avx) return f;
    const std::uint64_t xcr0 = read_xcr0();
    const bool ymm_saved = (xcr0 & 0x6) == 0x6;    // SSE and AVX state
    const bool zmm_saved = (xcr0 & 0xE6) == 0xE6;  // plus opmask and ZMM state
    if (!ymm_saved || __get_cpuid_max(0, nullptr) < 7) return f;
    __cpuid_count(7, 0, a, b, c, d);
    // The AVX2 files are also built with BMI2 (the compiler emits shlx and friends there).
    if ((b & (1u << 5)) && (b & (1u << 8))) f |= CPU_AVX2;
    const bool avx512 = (b & (1u << 16)) && (b & (1u << 30)) && (b & (1u << 31));  // F, BW, VL
    if (avx512 && zmm_saved) f |= CPU_AVX512;
    if (c & (1u << 8)) f |= CPU_GFNI;
    return f;
}

#else

std::uint32_t detect_cpu_features() {
    return 0;
}

#endif

}  // namespace chunksieve
