// Passes a run's reads and writes through, and keeps the CRC-32C and the count of the bytes
// read: what a map's end records of the input. The reads may come from the reader thread; the
// figures are read after the run, once that thread has ended.
#pragma once

#include <cstdint>

#include "driver/run.h"
#include "index/crc32c.h"

namespace chunksieve {

class ChecksumIo final : public StreamIo {
  public:
    explicit ChecksumIo(StreamIo& io) : io_(io) {}

    std::ptrdiff_t read(std::uint8_t* buf, std::size_t capacity) override {
        const std::ptrdiff_t got = io_.read(buf, capacity);
        if (got > 0) {
            crc_ = crc32c(crc_, buf, std::size_t(got));
            bytes_ += std::uint64_t(got);
        }
        return got;
    }
    bool write_all(const std::uint8_t* buf, std::size_t n) override {
        written_ += n;
        return io_.write_all(buf, n);
    }
    std::int64_t input_size() const override { return io_.input_size(); }

    std::uint32_t crc() const { return crc_; }
    std::uint64_t bytes_read() const { return bytes_; }
    std::uint64_t bytes_written() const { return written_; }

  private:
    StreamIo& io_;
    std::uint32_t crc_ = 0;
    std::uint64_t bytes_ = 0;
    std::uint64_t written_ = 0;
};

}  // namespace chunksieve
