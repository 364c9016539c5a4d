// A StreamIo over memory for tests and fuzzers (no test framework needed): it records every
// call, hands out input in pieces of at most `piece` bytes (as a pipe does), and can be told to
// fail one read or one write.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "driver/run.h"
#include "stream/stream_channel.h"

namespace chunksieve {

class MemoryIo final : public StreamIo {
  public:
    MemoryIo(const std::uint8_t* data, std::size_t size, std::size_t piece = STREAM_BLOCK)
        : data_(data), size_(size), piece_(piece) {}
    explicit MemoryIo(const std::vector<std::uint8_t>& input, std::size_t piece = STREAM_BLOCK)
        : MemoryIo(input.data(), input.size(), piece) {}

    std::ptrdiff_t read(std::uint8_t* buf, std::size_t capacity) override {
        if (std::ptrdiff_t(reads.size()) == fail_read_at) return -1;
        const std::size_t n = std::min({capacity, piece_, size_ - offset_});
        if (n > 0) std::memcpy(buf, data_ + offset_, n);  // an empty input may have no data
        offset_ += n;
        reads.push_back(n);
        return std::ptrdiff_t(n);
    }

    bool write_all(const std::uint8_t* buf, std::size_t n) override {
        if (std::ptrdiff_t(writes.size()) == fail_write_at) return false;
        output.insert(output.end(), buf, buf + n);
        writes.push_back(n);
        return true;
    }

    std::ptrdiff_t fail_read_at = -1;   // index of the read call that fails, -1 for none
    std::ptrdiff_t fail_write_at = -1;  // index of the write call that fails, -1 for none

    std::vector<std::uint8_t> output;
    std::vector<std::size_t> reads;   // bytes delivered by each successful read
    std::vector<std::size_t> writes;  // bytes taken by each successful write

  private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t piece_;
    std::size_t offset_ = 0;
};

}  // namespace chunksieve
