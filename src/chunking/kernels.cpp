// Kernel selection: a priority list walked down to the portable set, once per process.
#include "chunking/kernels.h"

#include "chunking/kernels_isa.h"

namespace chunksieve {

namespace {

constexpr ChunkingKernels PORTABLE{
    "portable", 0, 1, marker_mask64_portable, hash_candidates64_portable, chunk_keys_portable};
#if CHUNKSIEVE_X86_KERNELS
constexpr ChunkingKernels AVX2{
    "avx2", CPU_AVX2, 16, marker_mask64_avx2, hash_candidates64_avx2, chunk_keys_avx2};
constexpr ChunkingKernels AVX512{"avx512",
                                 CPU_AVX2 | CPU_AVX512 | CPU_GFNI,
                                 32,
                                 marker_mask64_avx512,
                                 hash_candidates64_avx512,
                                 chunk_keys_avx512};
constexpr const ChunkingKernels* COMPILED[] = {&AVX512, &AVX2, &PORTABLE};
#else
constexpr const ChunkingKernels* COMPILED[] = {&PORTABLE};
#endif

}  // namespace

std::span<const ChunkingKernels* const> compiled_kernels() {
    return COMPILED;
}

bool kernels_supported(const ChunkingKernels& k) {
    return cpu_has(k.required_features);
}

const ChunkingKernels& best_kernels() {
    static const ChunkingKernels& best =
        first_supported(std::span<const ChunkingKernels* const>(COMPILED));
    return best;
}

const ChunkingKernels& portable_kernels() {
    return PORTABLE;
}

const ChunkingKernels* kernels_named(std::string_view name) {
    for (const ChunkingKernels* k : COMPILED)
        if (name == k->name) return k;
    return nullptr;
}

}  // namespace chunksieve
