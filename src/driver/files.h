// The two files of a run. One class for every platform: file_posix.cpp implements it on POSIX
// descriptors, file_win32.cpp on Windows handles; the build compiles exactly one of them.
#pragma once

#include <cstdint>

#include "driver/run.h"

namespace chunksieve {

class Files final : public StreamIo {
  public:
    Files() = default;
    Files(const Files&) = delete;
    Files& operator=(const Files&) = delete;

    // Opens the input read-only; it must exist and must not be a directory.
    bool open_input(const char* path);
    // Creates the output, or truncates an existing one, write-only. Refuses, before truncating
    // anything, an output that is the input itself (under any name).
    bool create_output(const char* path);
    std::int64_t input_size() const override;
    // Closes both files; false when closing the output failed (written data may be lost).
    bool close_all();

    std::ptrdiff_t read(std::uint8_t* buf, std::size_t capacity) override;
    bool write_all(const std::uint8_t* buf, std::size_t n) override;

  private:
    // A descriptor or a handle, -1 while closed (-1 is also INVALID_HANDLE_VALUE).
    std::intptr_t in_ = -1;
    std::intptr_t out_ = -1;
};

}  // namespace chunksieve
