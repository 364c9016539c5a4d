// Shared helpers for the unit tests: in-memory runs of the whole filter, and test inputs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "chunking/kernels.h"
#include "driver/run.h"
#include "filter/dedup_filter.h"
#include "memory_io.h"
#include "test_inputs.h"

namespace chunksieve::test {

using chunksieve::MemoryIo;

// A fresh filter with its index created (each one maps its own table, released with it).
std::unique_ptr<DedupFilter> make_filter();

// The whole filter over `input`, refilled `piece` bytes at a time; fails the test on a failed run.
// With `f`, that filter's next run, going on from its index; without, a fresh filter's.
Bytes run_in_memory(DedupFilter& f, const Bytes& input, std::size_t piece = STREAM_BLOCK);
Bytes run_in_memory(const Bytes& input, std::size_t piece = STREAM_BLOCK);

// The parts, one after the other.
Bytes cat(std::initializer_list<Bytes> parts);

// The test stream: x0 = 1, x = (1103515245 x + 12345) mod 2^31, byte = (x >> 16) & 0xFF.
Bytes lcg_stream(std::size_t n);

// Deterministic pseudo-random bytes.
Bytes random_bytes(std::size_t n, std::uint64_t seed);

// The compiled kernel sets that this CPU runs, best first; the portable set is always among them.
std::vector<const ChunkingKernels*> runnable_kernel_sets();

// A key with the given home slot in the index; `tag` makes keys with one home distinct, and
// `length` is the chunk length the key records.
ChunkKey key_at(std::uint32_t home, std::uint32_t tag, std::uint16_t length = 100);

}  // namespace chunksieve::test
