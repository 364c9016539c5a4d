// Shared helpers for the unit tests: in-memory runs of the whole filter, and test inputs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "driver/run.h"
#include "filter/dedup_filter.h"

namespace chunksieve::test {

using Bytes = std::vector<std::uint8_t>;

// A StreamIo over memory that records every call, can hand out input in short pieces (as a
// pipe does), and can be told to fail a read or a write.
class MemoryIo final : public StreamIo {
  public:
    explicit MemoryIo(const Bytes& input, std::size_t piece = STREAM_BLOCK)
        : input_(input), piece_(piece) {}

    std::ptrdiff_t read(std::uint8_t* buf, std::size_t capacity) override;
    bool write_all(const std::uint8_t* buf, std::size_t n) override;

    int fail_read_at = -1;   // index of the read call that fails, -1 for none
    int fail_write_at = -1;  // index of the write call that fails, -1 for none

    Bytes output;
    std::vector<std::size_t> reads;   // bytes delivered by each read
    std::vector<std::size_t> writes;  // bytes taken by each write

  private:
    const Bytes& input_;
    std::size_t piece_;
    std::size_t offset_ = 0;
};

// A fresh filter with its index created (each one maps its own table, released with it).
std::unique_ptr<DedupFilter> make_filter();

// The whole filter over `input`, refilled `piece` bytes at a time; fails the test on a failed run.
Bytes run_in_memory(const Bytes& input, std::size_t piece = STREAM_BLOCK);

// The test stream: x0 = 1, x = (1103515245 x + 12345) mod 2^31, byte = (x >> 16) & 0xFF.
Bytes lcg_stream(std::size_t n);

// Deterministic pseudo-random bytes.
Bytes random_bytes(std::size_t n, std::uint64_t seed);

}  // namespace chunksieve::test
