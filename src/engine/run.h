// The driver loop: starts the filter coroutine and services its requests until the run is over.
// It owns no files; a StreamIo supplies the bytes and takes them.
#pragma once

#include <cstddef>
#include <cstdint>

#include "filter/dedup_filter.h"
#include "stream/byte_sink.h"

namespace chunksieve {

// The input's source and the output's sink (write_all: all n bytes, continuing after short
// writes; false when a write failed).
class StreamIo : public ByteSink {
  public:
    // Up to `capacity` bytes into buf: the count, 0 at end of input, -1 when the read failed.
    virtual std::ptrdiff_t read(std::uint8_t* buf, std::size_t capacity) = 0;
    // The input's size when it is known before the run (a regular file), otherwise -1.
    virtual std::int64_t input_size() const { return -1; }

  protected:
    ~StreamIo() = default;
};

enum class RunStatus { complete, read_failed, write_failed, no_memory, map_failed };

// Who calls read and write. Either way the calls, their order and their sizes are the same, and
// so are the output bytes; only their timing differs.
enum class Overlap {
    // One thread: each read and each write happens between two steps of the filter. The
    // reference the overlapped driver is compared with.
    never,
    // A reader thread reads up to RING_BLOCKS blocks ahead (finding their chunk ends for
    // the block loop) and a writer thread writes full output blocks behind, while the filter
    // works on this thread.
    always,
    // `always` for a regular input of OVERLAP_MIN_INPUT bytes or more, and for an input of
    // unknown size (a pipe) once it has delivered OVERLAP_AFTER_READS blocks; `never` otherwise,
    // where the threads cost more than they save. The reader finds the chunk ends of the
    // blocks it reads, so the work splits in two: reading and ends on one core, keys, index and
    // output on the other, with writing on whichever has room. From a pipe the filter also no
    // longer waits for the pipe's writer between blocks (measured in bench/run.sh).
    automatic,
};
// Blocks in each of the overlapped driver's rings (input and output), 4 MiB in all: a waiting side
// sleeps until half a ring is ready, and the reader must stay busy while the filter keys a held
// stretch of long chunks (up to HELD_BLOCKS) at once. Sizes measured: docs/performance.md.
inline constexpr std::uint32_t RING_BLOCKS = 32;
static_assert(RING_BLOCKS >= 2 * HELD_BLOCKS);
// From a file the threads add processor time (the blocks cross between cores) and save wall time
// only on a large input.
inline constexpr std::int64_t OVERLAP_MIN_INPUT = std::int64_t(64) << 20;
// From a pipe the reader also takes on the waits for the pipe's writer, so the threads pay off
// sooner; started later, they would leave more of a long stream to one thread.
inline constexpr std::uint64_t OVERLAP_AFTER_READS = 256;

// One whole run of `filter`, whose index must have been created. The filter's buffers are
// refilled with at most STREAM_BLOCK bytes at a time, and full output buffers are written as
// they fill; after a failure the filter is left suspended and is not resumed. After no_memory
// (the index could not grow) the output holds what was written before, the start of the
// complete output; what the output buffer held is not written. No thread started here outlives
// the call: each has ended before it returns, and every block handed to the writer before a
// failure has been written (or its write has failed).
//
// `ends_room` is the most chunk ends the reader keeps for one block: a block with more is searched
// again by the filter, as when the reader cannot get the memory for its ends (tests lower it to
// stand for that).
RunStatus run_filter(DedupFilter& filter, StreamIo& io, Overlap overlap = Overlap::automatic,
                     std::uint32_t ends_room = MAX_BLOCK_CHUNKS);

}  // namespace chunksieve
