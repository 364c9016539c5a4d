// Chunk-end mask kernels in bytes per second: each call covers 64 positions, and p steps by 64
// through a 64 KiB random buffer, warm in cache.
#include <benchmark/benchmark.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "chunking/kernels.h"
#include "filters.h"
#include "test_inputs.h"

namespace chunksieve {
namespace {

constexpr std::size_t BUFFER_BYTES = 64 * 1024;

// The positions, with the history the kernels read before them and the slack they read after.
struct Input {
    std::vector<std::uint8_t> bytes =
        test::random_bytes(KERNEL_HISTORY + BUFFER_BYTES + KERNEL_READ_SLACK, 42);
    const std::uint8_t* begin() const { return bytes.data() + KERNEL_HISTORY; }
};

const Input& input() {
    static const Input in;
    return in;
}

void run_mask_kernel(benchmark::State& state, std::uint64_t (*kernel)(const std::uint8_t*)) {
    const std::uint8_t* const begin = input().begin();
    for (auto _ : state) {
        std::uint64_t any = 0;
        for (std::size_t at = 0; at < BUFFER_BYTES; at += 64)
            any ^= kernel(begin + at);
        benchmark::DoNotOptimize(any);
    }
    state.SetBytesProcessed(std::int64_t(state.iterations()) * std::int64_t(BUFFER_BYTES));
}

// Only the sets this CPU can run; their names appear in the benchmark names.
[[maybe_unused]] const bool registered = [] {
    for (const ChunkingKernels* k : test::runnable_kernel_sets()) {
        const std::string set = k->name;
        benchmark::RegisterBenchmark(("MarkerMask64/" + set).c_str(), run_mask_kernel,
                                     k->marker_mask64);
        benchmark::RegisterBenchmark(("HashCandidates64/" + set).c_str(), run_mask_kernel,
                                     k->hash_candidates64);
    }
    return true;
}();

}  // namespace
}  // namespace chunksieve
