// Passes a run's reads and writes through, and keeps the CRC-32C of the bytes read: what a map's
// end records of the input. The reads may come from the reader thread; the checksum is read
// after the run, once that thread has ended.
#pragma once

#include <cstdint>

#include "engine/run.h"
#include "index/crc32c.h"

namespace chunksieve {

class ChecksumIo final : public StreamIo {
  public:
    explicit ChecksumIo(StreamIo& io) : io_(io) {}

    std::ptrdiff_t read(std::uint8_t* buf, std::size_t capacity) override {
        const std::ptrdiff_t got = io_.read(buf, capacity);
        if (got > 0) crc_ = crc32c(crc_, buf, std::size_t(got));
        return got;
    }
    bool write_all(const std::uint8_t* buf, std::size_t n) override {
        return io_.write_all(buf, n);
    }
    std::int64_t input_size() const override { return io_.input_size(); }

    std::uint32_t crc() const { return crc_; }

  private:
    StreamIo& io_;
    std::uint32_t crc_ = 0;
};

}  // namespace chunksieve
