// Chunking kernels: the per-byte work of finding chunk ends and keying chunks, in one
// implementation per instruction set. A set is chosen once per run and applied a block at a
// time, never a byte at a time. The portable set is the readable reference that every other
// set is tested against.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "chunking/chunk_digest.h"
#include "platform/cpu_features.h"

namespace chunksieve {

// Bytes a kernel may read past the last byte it is given (its results never depend on them),
// and before the first (history the chunk-end kernels need, which callers provide).
inline constexpr std::size_t KERNEL_READ_SLACK = 64;
inline constexpr std::size_t KERNEL_HISTORY = 16;

// One chunk to key: `length` bytes (1 .. 65,535) at `data`.
struct KeyJob {
    const std::uint8_t* data;
    std::uint32_t length;
};

struct ChunkingKernels {
    const char* name;                 // "portable", "avx2", "avx512"
    std::uint32_t required_features;  // CpuFeature bits
    std::uint32_t key_lanes;          // chunks keyed side by side

    // Bit i (0..63) set exactly when p[i-3], p[i-2], p[i-1], p[i] are 99 19 D3 FF.
    // Reads p[-3] .. p[63 + KERNEL_READ_SLACK].
    std::uint64_t (*marker_mask64)(const std::uint8_t* p);

    // Bit i (0..63) set for every i where window_hash(p + i + 1), the hash of p[i-11] .. p[i],
    // is below HASH_THRESHOLD. May set further bits: callers confirm each with the exact hash
    // (window_hash_sliced, which gives the same value as window_hash).
    // Reads p[-12] .. p[63 + KERNEL_READ_SLACK].
    std::uint64_t (*hash_candidates64)(const std::uint8_t* p);

    // keys[j] = chunk_key(jobs[j].data, jobs[j].length) for j < count. Reads each job's bytes
    // and up to KERNEL_READ_SLACK bytes past them.
    void (*chunk_keys)(const KeyJob* jobs, std::size_t count, ChunkKey* keys);
};

// The sets compiled into this build, best first; the portable set is always last.
std::span<const ChunkingKernels* const> compiled_kernels();
// Whether this CPU (and its OS) can run the set.
bool kernels_supported(const ChunkingKernels& k);
// The first compiled set that this CPU supports; detected once.
const ChunkingKernels& best_kernels();
const ChunkingKernels& portable_kernels();
// A compiled set by name, or nullptr.
const ChunkingKernels* kernels_named(std::string_view name);

}  // namespace chunksieve
