// The --progress line: bytes read, the share of the input and the time left where its size is
// known, and the speed, on standard error, redrawn at most four times a second.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include "driver/run.h"

namespace chunksieve {

// Passes a run's reads and writes through to `io`, and redraws the line as the input is read.
// Only the reads look at the clock: once per block of up to 64 KiB, far below the cost of the
// block itself.
class ProgressIo final : public StreamIo {
  public:
    using Clock = std::chrono::steady_clock;

    // input_size: the input's length, or -1 when it is not known (a pipe).
    ProgressIo(StreamIo& io, std::int64_t input_size, Clock::time_point started);

    std::ptrdiff_t read(std::uint8_t* buf, std::size_t capacity) override;
    bool write_all(const std::uint8_t* buf, std::size_t n) override;
    std::int64_t input_size() const override { return size_; }

    // Blanks the line, if one was drawn, and leaves the cursor at its start.
    void clear();

    // The line's text after `read_bytes` in `seconds`, for an input of `size` bytes (-1: unknown).
    static std::string line(std::uint64_t read_bytes, double seconds, std::int64_t size);

  private:
    void draw(const std::string& text);

    StreamIo& io_;
    const std::int64_t size_;
    const Clock::time_point started_;
    Clock::time_point next_draw_;
    std::uint64_t read_ = 0;
    std::size_t shown_ = 0;  // characters of the line now on the terminal
};

}  // namespace chunksieve
