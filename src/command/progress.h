// The --progress line: bytes read, the share of the input and the time left where its size is
// known, and the speed, on standard error, redrawn at most four times a second.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace chunksieve {

// Told the bytes read so far, on the run's reading thread, and redraws the line from them.
// Only these calls look at the clock: once per read of up to 64 KiB, far below the cost of the
// read itself.
class Progress {
  public:
    using Clock = std::chrono::steady_clock;

    // input_size: the input's length, or -1 when it is not known (a pipe).
    Progress(std::int64_t input_size, Clock::time_point started);

    void read_so_far(std::uint64_t bytes);
    // Blanks the line, if one was drawn, and leaves the cursor at its start.
    void clear();

    // The line's text after `read_bytes` in `seconds`, for an input of `size` bytes (-1: unknown).
    static std::string line(std::uint64_t read_bytes, double seconds, std::int64_t size);

  private:
    void draw(const std::string& text);

    const std::int64_t size_;
    const Clock::time_point started_;
    Clock::time_point next_draw_;
    std::size_t shown_ = 0;  // characters of the line now on the terminal
};

}  // namespace chunksieve
