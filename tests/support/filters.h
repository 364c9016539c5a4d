// The filter's parts set up for tests, fuzzers and benchmarks (no test framework needed): the
// kernel sets this CPU runs, a filter made as new for its next run, and index keys with a chosen
// home slot.
#pragma once

#include <cstdint>
#include <vector>

#include "chunking/chunk_digest.h"
#include "chunking/kernels.h"
#include "filter/dedup_filter.h"

namespace chunksieve::test {

// The compiled kernel sets that this CPU runs, best first; the portable set is always among them.
std::vector<const ChunkingKernels*> runnable_kernel_sets();

// Makes `f` as new for its next run without a new filter (about 2 MiB of buffers and stack): an
// empty index, keeping values or not, in a fresh mapping so that only the pages the run touches
// cost anything; the given kernels (nullptr: the per-byte loop); a running total of 0. What else
// a run reads, run_filter and the filter body set. False when the index found no memory.
bool renew_filter(DedupFilter& f, const ChunkingKernels* kernels, bool keep_values = false);

// A key with the given home slot in the index; `tag` makes keys with one home distinct, and
// `length` is the chunk length the key records.
ChunkKey key_at(std::uint32_t home, std::uint32_t tag, std::uint16_t length = 100);

}  // namespace chunksieve::test
