// Runs with a map, and expand, in memory, for tests and fuzzers (no test framework needed): a
// chain of runs that share one filter's index, as runs with a saved index do, and expand over
// the sources and sinks of memory_io.h.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "chunking/kernels.h"
#include "engine/run.h"
#include "filter/dedup_filter.h"
#include "map/expand.h"
#include "memory_io.h"

namespace chunksieve {

using MapBytes = std::vector<std::uint8_t>;

struct MappedRun {
    RunStatus status = RunStatus::complete;
    MapBytes out, map;
    std::uint64_t index_id = 0;  // of the index the run left
};

// Runs that go on from each other's index, as runs with one saved index do; each writes a map.
// The filter is large: keep one chain per test, on the heap.
class MapChain {
  public:
    // With a reference loop (kernels nullptr) or a kernel set.
    explicit MapChain(const ChunkingKernels* kernels = &best_kernels());
    // As new: an empty index (a fresh mapping, so that only what a chain touches costs).
    void reset(const ChunkingKernels* kernels);
    bool ok() const { return ok_; }
    DedupFilter& filter() { return *filter_; }

    // The next run over `input`, read `piece` bytes at a time.
    MappedRun run(const MapBytes& input, std::size_t piece = STREAM_BLOCK,
                  Overlap overlap = Overlap::automatic);

  private:
    std::unique_ptr<DedupFilter> filter_;
    bool ok_ = false;
    std::uint64_t id_ = 0, next_ = 0;
    std::vector<std::uint8_t> section_;
};

// Expand in memory: the map and output read in pieces of `piece` bytes; `out_back` and
// `restored_back` say which of them can be read back (one must be); the restored bytes may
// not pass `limit`.
struct MemoryLink {
    const MapBytes* map;
    const MapBytes* data;
    bool data_is_input;
};

struct Expanded {
    ExpandReport report;
    MapBytes restored;
};

Expanded expand_in_memory(const MapBytes& map, const MapBytes& out,
                          const std::vector<MemoryLink>& links = {}, bool out_back = true,
                          bool restored_back = true, std::size_t piece = 1 << 20,
                          std::size_t limit = SIZE_MAX, const ChunkingKernels& k = best_kernels());

}  // namespace chunksieve
