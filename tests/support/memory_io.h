// The project's byte interfaces over memory, for tests, fuzzers and benchmarks (no test framework
// needed): the run's StreamIo, and the sinks and sources of saved indexes, maps and expand.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "engine/run.h"
#include "map/expand.h"
#include "stream/byte_sink.h"
#include "stream/stream_channel.h"

namespace chunksieve {

// A run's input and output: it records every call, hands out input in pieces of at most `piece`
// bytes (as a pipe does), and can be told to fail one read or one write.
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

// ReadBack over bytes in memory: up to n of them from `offset`, fewer only at their end.
inline std::ptrdiff_t copy_out(const std::vector<std::uint8_t>& bytes, std::uint8_t* buf,
                               std::size_t n, std::uint64_t offset) {
    if (offset >= bytes.size()) return 0;
    n = std::min<std::size_t>(n, bytes.size() - std::size_t(offset));
    std::memcpy(buf, bytes.data() + offset, n);
    return std::ptrdiff_t(n);
}

// Bytes written (a saved index, a map, expand's restored bytes), readable back. It refuses the
// write numbered `fail_at`, and any write that would take the bytes past `limit`.
class MemorySink final : public ByteSink, public ReadBack {
  public:
    explicit MemorySink(std::size_t limit = SIZE_MAX) : limit_(limit) {}
    bool write_all(const std::uint8_t* data, std::size_t n) override {
        if (std::ptrdiff_t(pieces) == fail_at || n > limit_ - bytes.size()) return false;
        bytes.insert(bytes.end(), data, data + n);
        ++pieces;
        return true;
    }
    std::ptrdiff_t read_at(std::uint8_t* buf, std::size_t n, std::uint64_t offset) override {
        return copy_out(bytes, buf, n, offset);
    }

    std::vector<std::uint8_t> bytes;
    std::size_t pieces = 0;       // writes taken
    std::ptrdiff_t fail_at = -1;  // the write that is refused, -1 for none

  private:
    std::size_t limit_;
};

// Bytes read in order, in pieces of at most `piece` bytes, and at random.
class MemorySource final : public ByteSource, public ReadBack {
  public:
    explicit MemorySource(const std::vector<std::uint8_t>& data, std::size_t piece = 1 << 20)
        : data_(data), piece_(piece) {}
    std::ptrdiff_t read(std::uint8_t* buf, std::size_t capacity) override {
        const std::size_t n = std::min({capacity, piece_, data_.size() - pos_});
        if (n > 0) std::memcpy(buf, data_.data() + pos_, n);
        pos_ += n;
        return std::ptrdiff_t(n);
    }
    std::ptrdiff_t read_at(std::uint8_t* buf, std::size_t n, std::uint64_t offset) override {
        return copy_out(data_, buf, n, offset);
    }

  private:
    const std::vector<std::uint8_t>& data_;
    std::size_t piece_;
    std::size_t pos_ = 0;
};

}  // namespace chunksieve
