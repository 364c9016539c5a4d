// CPU features, and the one way an implementation is chosen by them: each instruction-set form
// of a routine is a named object that says what it requires, in a list from the fastest down to
// a form that requires nothing, and the first this CPU runs is taken, once. Platform code.
#pragma once

#include <cstdint>
#include <span>

namespace chunksieve {

// What a form may require (each also needs the OS to save the registers it uses).
enum CpuFeature : std::uint32_t {
    CPU_AVX2 = 1u << 0,    // AVX2 and BMI2
    CPU_AVX512 = 1u << 1,  // AVX-512 F, BW and VL
    CPU_GFNI = 1u << 2,
    CPU_SSE42 = 1u << 3,  // SSE4.2
};

// What this CPU has and its OS saves, asked of the CPU each time.
std::uint32_t detect_cpu_features();
// The same, asked once per process.
std::uint32_t cpu_features();

inline bool cpu_has(std::uint32_t required) {
    return (cpu_features() & required) == required;
}

// The first form in `forms` whose `required_features` this CPU has; the last must require none.
template <class Form>
const Form& first_supported(std::span<const Form* const> forms) {
    for (const Form* f : forms)
        if (cpu_has(f->required_features)) return *f;
    return *forms.back();
}

}  // namespace chunksieve
