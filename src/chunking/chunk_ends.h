// Finding chunk ends a block at a time, with a kernel set doing the per-byte work. Gives the
// same ends as testing chunk_end_after() after every byte, with the rolling hash running
// across blocks and the tail register cleared at every end.
#pragma once

#include <cstddef>
#include <cstdint>

#include "chunking/chunk_rules.h"
#include "chunking/kernels.h"

namespace chunksieve {

// A chunk end in a block: `end` is the offset just past the chunk's last byte.
struct ChunkCut {
    std::uint32_t end;
    ChunkEnd how;  // marker or hash (the hash rule includes the maximum length)
};

// What carries from one block to the next: the bytes of the unfinished chunk seen so far.
struct ChunkScan {
    std::uint32_t count = 0;  // < MAX_CHUNK_LENGTH
    bool operator==(const ChunkScan&) const = default;
};

// Room a block of `len` bytes needs for its ends: after the first, ends are at least 4 apart.
inline constexpr std::size_t max_chunk_ends(std::size_t len) {
    return len / 4 + 2;
}

// Bytes that must be readable before and after a block given to find_chunk_ends: the
// SCAN_HISTORY bytes before it hold the stream's previous bytes (zeros before its start); those
// after it may hold anything.
inline constexpr std::size_t SCAN_HISTORY = KERNEL_HISTORY;
inline constexpr std::size_t SCAN_SLACK = 64 + KERNEL_READ_SLACK;

// Appends the ends in data[0, len) to `cuts`, in order, and returns their number.
std::size_t find_chunk_ends(const ChunkingKernels& k, ChunkScan& scan, const std::uint8_t* data,
                            std::size_t len, ChunkCut* cuts);

// The end of a chunk that starts at a place the caller names, in a span where chunks do not
// follow one another directly: the records of an output, each padded after its chunk. A chunk's
// end depends on its own bytes only (the marker lies wholly within the chunk, and the hash's
// window ends MIN_CHUNK_LENGTH or more bytes in, so it too lies within the chunk), so the cut
// is the one the chunk had in its stream. Markers are rare: one search serves many chunks.
//
// The span must have SCAN_SLACK readable bytes after it; chunks are asked for in increasing
// order of their starts.
class ChunkEndFinder {
  public:
    ChunkEndFinder(const ChunkingKernels& k, const std::uint8_t* data, std::size_t len)
        : k_(k), data_(data), len_(len) {}

    // The cut of the chunk that starts at data + start: `end` is its length. `end` is 0 when
    // the span ends before the chunk does.
    ChunkCut chunk_at(std::size_t start);

  private:
    const ChunkingKernels& k_;
    const std::uint8_t* data_;
    std::size_t len_;
    std::size_t marker_ = 0;       // the first marker end at or after marker_from_, or len_
    std::size_t marker_from_ = 0;  // where the search that found it began
    bool marker_known_ = false;
};

}  // namespace chunksieve
