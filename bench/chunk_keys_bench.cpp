// chunk_keys throughput, in chunk bytes per second, for every compiled set this CPU supports:
// a typical call (about 250 chunks of 100..412 bytes from a warm 64 KiB buffer) and the longest
// chunk alone (one lane busy, the rest idle).
#include <benchmark/benchmark.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "chunking/kernels.h"
#include "filters.h"
#include "test_inputs.h"

namespace chunksieve {
namespace {

constexpr std::size_t BUFFER = 64 * 1024;

struct Input {
    std::vector<std::uint8_t> bytes;
    std::vector<KeyJob> jobs;
    std::int64_t total = 0;
};

// Consecutive chunks of one random buffer, as the filter cuts them.
Input typical_jobs() {
    Input in;
    in.bytes = test::random_bytes(BUFFER + KERNEL_READ_SLACK, 42);
    std::mt19937_64 rng(42);
    rng.discard(in.bytes.size());  // the lengths go on from the draws the bytes took
    for (std::size_t at = 0; in.jobs.size() < 250;) {
        const std::uint32_t n = 100 + std::uint32_t(rng() % 313);
        if (at + n > BUFFER) at = 0;
        in.jobs.push_back({in.bytes.data() + at, n});
        in.total += n;
        at += n;
    }
    return in;
}

Input longest_job() {
    Input in;
    in.bytes = test::random_bytes(65535 + KERNEL_READ_SLACK, 43);
    in.jobs.push_back({in.bytes.data(), 65535});
    in.total = 65535;
    return in;
}

void run(benchmark::State& state, const ChunkingKernels* k, const Input* in) {
    std::vector<ChunkKey> keys(in->jobs.size());
    for (auto _ : state) {
        k->chunk_keys(in->jobs.data(), in->jobs.size(), keys.data());
        benchmark::DoNotOptimize(keys.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * in->total);
    state.counters["jobs"] = double(in->jobs.size());
}

const bool registered = [] {
    static const Input typical = typical_jobs();
    static const Input longest = longest_job();
    for (const ChunkingKernels* k : test::runnable_kernel_sets()) {
        const std::string name = std::string("ChunkKeys/") + k->name;
        benchmark::RegisterBenchmark((name + "/typical_250").c_str(), run, k, &typical);
        benchmark::RegisterBenchmark((name + "/one_65535").c_str(), run, k, &longest);
    }
    return true;
}();

}  // namespace
}  // namespace chunksieve
