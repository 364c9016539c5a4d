// DedupFilter: the whole state of one run, and the filter body that the driver runs as a
// coroutine. The body cuts the input into content-defined chunks, keys each chunk, asks the
// index, and writes only new chunks, each padded to a multiple of CHUNK_ALIGNMENT bytes:
//
//   output = for each chunk whose key the index did not hold, in input order:
//              its n bytes, then (64 - n mod 64) mod 64 fill bytes
//            (0x00 after a marker end, otherwise copies of the chunk's last byte)
//
// Bytes after the last chunk end are neither keyed nor written.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "chunking/chunk_digest.h"
#include "chunking/chunk_ends.h"
#include "chunking/chunk_rules.h"
#include "chunking/kernels.h"
#include "chunking/rolling_hash.h"
#include "index/fingerprint_index.h"
#include "map/map_writer.h"
#include "stream/stream_channel.h"

namespace chunksieve {

// The coroutine's own stack. The body keeps only a few scalars there; the margin is for
// sanitizers and for debug builds.
inline constexpr std::size_t FILTER_STACK_BYTES = 256 * 1024;
static_assert(FILTER_STACK_BYTES >= 65536);

// Chunks ending in one input block, at most.
inline constexpr std::size_t MAX_BLOCK_CHUNKS = max_chunk_ends(STREAM_BLOCK);

// A chunk's key is a serial chain of mixes, so a long chunk keyed alone leaves all lanes but one
// idle. Where a block's keys would be dominated by such a chunk, its chunks are held, and those of
// the next blocks with them, until enough work has gathered to fill the lanes: at most
// HELD_BLOCKS blocks (1 MiB), whose bytes are copied into the held area, together with the
// unfinished chunk, and at most MAX_HELD_CHUNKS chunks.
inline constexpr std::size_t HELD_BLOCKS = 16;
inline constexpr std::size_t HELD_BYTES = (HELD_BLOCKS + 1) * STREAM_BLOCK;
inline constexpr std::size_t MAX_HELD_CHUNKS = 2 * MAX_BLOCK_CHUNKS;
static_assert(HELD_BYTES >= MAX_CHUNK_LENGTH + STREAM_BLOCK, "an unfinished chunk and a block");

// An input block as the filter takes it from the driver: room in front, where the block scan puts
// the stream's bytes before the block, and room behind for what the kernels read past its end.
// The driver hands over only blocks of this shape (its own ring of them, or the filter's).
struct alignas(64) InputBlock {
    static constexpr std::size_t FRONT = 64;
    std::uint8_t area[FRONT + STREAM_BLOCK + SCAN_SLACK];

    std::uint8_t* data() { return area + FRONT; }
};
static_assert(SCAN_HISTORY <= InputBlock::FRONT);

// Where the search for chunk ends stands between two blocks of a stream: the unfinished chunk's
// bytes so far, and the stream's last bytes, which the first windows of the next block reach
// back into (zeros before the stream's start).
struct EndSearch {
    ChunkScan scan;
    std::uint8_t history[SCAN_HISTORY] = {};
    bool operator==(const EndSearch&) const = default;

    // Appends the ends in the next block's len bytes at data (an InputBlock's data: the history
    // goes into the room in front of it) to cuts, in order, and returns their number; the search
    // then stands after the block.
    std::size_t next_block(const ChunkingKernels& k, std::uint8_t* data, std::size_t len,
                           ChunkCut* cuts);
};

// The ends of one block, found ahead of the filter by the thread that reads its input, with the
// same kernels: the filter takes them in place of its own search. That thread may key the
// block's chunks as well, those that lie wholly in the block (all but a first chunk begun in an
// earlier block), when it is well ahead of the filter.
//
// The room for a block's ends and keys grows with the most a block has needed (a block can have
// up to MAX_BLOCK_CHUNKS, a few hundred is usual), as the reader holds those of a whole ring of
// blocks. When it cannot grow, the block keeps no ends and the filter searches it itself.
class BlockEnds {
  public:
    bool kept() const { return kept_; }  // cuts()[0, count()) hold the block's ends
    std::uint32_t count() const { return count_; }
    const ChunkCut* cuts() const { return cuts_.get(); }
    // keys()[j] holds chunk j's key for j in [keyed_from(), count()).
    std::uint32_t keyed_from() const { return keyed_from_; }
    const ChunkKey* keys() const { return keys_.get(); }
    // fills()[j] holds chunk j's fill byte, for every j in [0, count()): with these, the filter
    // need not touch the bytes of a chunk the index holds.
    const std::uint8_t* fills() const { return fills_.get(); }
    const EndSearch& before() const { return before_; }  // where the search stood before it
    const EndSearch& after() const { return after_; }    // and where it stands after it

    // Finds the ends of the block's len bytes at data with `search`, which then stands after the
    // block; `scratch` is room for MAX_BLOCK_CHUNKS ends. Keeps them when they number at most
    // `room` (MAX_BLOCK_CHUNKS keeps every block's) and the memory for them can be had.
    void find(const ChunkingKernels& k, EndSearch& search, std::uint8_t* data, std::size_t len,
              ChunkCut* scratch, std::uint32_t room = MAX_BLOCK_CHUNKS);
    // Keys the chunks that lie wholly in the block at data, unless the filter would hold the
    // block for its long chunks (where it keys them with others, lanes full). `jobs` is room for
    // MAX_BLOCK_CHUNKS.
    void key(const ChunkingKernels& k, const std::uint8_t* data, KeyJob* jobs);

  private:
    bool kept_ = false;
    std::uint32_t count_ = 0;
    std::uint32_t keyed_from_ = 0;
    std::uint32_t capacity_ = 0;  // of cuts_, keys_ and fills_
    EndSearch before_;
    EndSearch after_;
    std::unique_ptr<ChunkCut[]> cuts_;
    std::unique_ptr<ChunkKey[]> keys_;
    std::unique_ptr<std::uint8_t[]> fills_;
};

// What a run has done, counted once per chunk, the same way by both loops. The input's length
// is chunk_bytes + tail_bytes; the output's is new_bytes + fill_bytes.
struct FilterCounts {
    std::uint64_t chunks = 0;       // chunks ended
    std::uint64_t chunk_bytes = 0;  // their bytes
    std::uint64_t new_chunks = 0;   // of them, the chunks the index did not hold: written
    std::uint64_t new_bytes = 0;    // their bytes
    std::uint64_t fill_bytes = 0;   // fill written after them
    std::uint64_t tail_bytes = 0;   // at the end: the unfinished last chunk, never written

    void add_chunk(std::uint32_t n, std::uint64_t padded, bool found) {
        ++chunks;
        chunk_bytes += n;
        if (found) return;
        ++new_chunks;
        new_bytes += n;
        fill_bytes += padded - n;
    }
    bool operator==(const FilterCounts&) const = default;
};

// The filter: what its callers set and read between runs is public; the state of a run in
// progress is its body's own (FilterSteps, in dedup_filter.cpp).
//
// A run: start() points the channel at the filter's own buffers and runs the body on the
// filter's stack up to its first request; the driver then serves the requests on the channel,
// handing over input blocks (InputBlock data: the filter's own input_buffer(), or a ring's) and
// taking full output blocks, until the body finishes. A driver that searched a block for its
// chunk ends ahead of the filter, going on from where end_search() stood, hands them over with
// the block (take_ends).
class DedupFilter {
  public:
    StreamChannel channel;
    FilterCounts counts;  // of the last run (the one in progress, before its end)

    // How chunk ends are found and chunks keyed: a kernel set, block by block; or, with
    // nullptr, the plain loop that takes one byte at a time (the reference).
    const ChunkingKernels* kernels = &best_kernels();

    FingerprintIndex index;
    // When set, every chunk is told to the map as well, and the index keeps each key's value:
    // the ordinal of its chunk, plus one (see map_format.h).
    MapWriter* map = nullptr;

    // Padded lengths of all chunks ended so far, found or new, in every input this filter has
    // taken: a new run goes on from here, as its index goes on from the entries it holds.
    std::uint64_t total = 0;

    // Starts a run (see above).
    void start();
    // Points the channel's output at the filter's own block, empty: for a driver that wrote the
    // last one out.
    void reset_output() {
        channel.output_cursor = channel.output_start = output_buffer_;
        channel.output_end = output_buffer_ + STREAM_BLOCK;
    }
    std::uint8_t* input_buffer() { return input_.data(); }

    // Where the search for chunk ends stands, between two blocks: where a driver's own search
    // for the next blocks begins.
    const EndSearch& end_search() const { return search_; }
    // The ends of the block handed over next, found by the driver (nullptr: none); the filter
    // takes them with that block alone.
    void take_ends(const BlockEnds* ends) { found_ends_ = ends; }

  private:
    friend struct FilterSteps;
    friend void filter_body(void* filter);
    friend bool finish_map(DedupFilter& f, std::uint32_t input_crc, std::uint64_t index_id);

    // Chunker state: the plain loop's, then the block loop's.
    RollingHash hash_;
    std::uint32_t count_ = 0;  // bytes in the current chunk
    ChunkDigest digest_;
    EndSearch search_;
    const BlockEnds* found_ends_ = nullptr;
    // At the end of an input: its bytes after the last chunk end (counts.tail_bytes of them),
    // which stay here until the filter is started again.
    const std::uint8_t* tail_ = nullptr;

    // Each buffer has room after it for what the kernels read beyond its end.
    // The held area: the held chunks back to back, then the unfinished chunk's bytes so far.
    alignas(64) std::uint8_t held_area_[HELD_BYTES + SCAN_SLACK];
    InputBlock input_;
    alignas(64) std::uint8_t output_buffer_[STREAM_BLOCK];

    // The chunks of the current block (when the driver did not find them), then those about to
    // be keyed, asked for and written.
    ChunkCut cuts_[MAX_BLOCK_CHUNKS];
    KeyJob jobs_[MAX_HELD_CHUNKS];
    std::uint8_t fills_[MAX_HELD_CHUNKS];  // each chunk's fill byte
    ChunkKey keys_[MAX_HELD_CHUNKS];

    alignas(64) std::uint8_t stack_[FILTER_STACK_BYTES];
};

// The value the index stores with a new chunk's key: the chunk's block number, its place in
// 64-byte units among all chunks so far (found or new, each padded to 64 bytes), plus one. It is
// never 0, which marks an empty slot. A slot keeps 40 bits, so the number is exact up to
// 2^40 - 1 (chunks totalling under 64 TiB once padded) and stays at 2^40 - 1 beyond: cut to 40
// bits it would read 0 at every 2^40th block, and the entry would vanish from its run.
inline std::uint64_t block_number(std::uint64_t total) {
    const std::uint64_t n = total / CHUNK_ALIGNMENT + 1;
    return n < FingerprintIndex::VALUE_MASK ? n : FingerprintIndex::VALUE_MASK;
}

// The id of the index that the run `f` has just completed (with a map) leaves, going on from the
// index of id `from` (0: none), for an input of checksum `input_crc`: next_index_id over the
// run's counts.
std::uint64_t run_index_id(const DedupFilter& f, std::uint64_t from, std::uint32_t input_crc);

// Ends the map of the run `f` has just completed: its tail bytes and its end, with the input's
// checksum and, when the run leaves a saved index, that index's id (0: none). False when the
// map's sink refused bytes.
bool finish_map(DedupFilter& f, std::uint32_t input_crc, std::uint64_t index_id);

// The filter body; `filter` is a DedupFilter. DedupFilter::start() starts it once for each input,
// whose end it meets with finish().
void filter_body(void* filter);

}  // namespace chunksieve
