// The two files of a run, on POSIX descriptors.
#pragma once

#include <cstdint>

#include "driver/run.h"

namespace chunksieve {

class PosixFiles final : public StreamIo {
public:
    PosixFiles() = default;
    PosixFiles(const PosixFiles&) = delete;
    PosixFiles& operator=(const PosixFiles&) = delete;

    // Opens the input read-only; it must exist and must not be a directory.
    bool open_input(const char* path);
    // Creates the output, or truncates an existing one, write-only. Refuses, before truncating
    // anything, an output that is the input itself (under any name).
    bool create_output(const char* path);
    // The input's size when it is a regular file, otherwise -1.
    std::int64_t input_size() const;
    // Closes both files; false when closing the output failed (written data may be lost).
    bool close_all();

    std::ptrdiff_t read(std::uint8_t* buf, std::size_t capacity) override;
    bool write_all(const std::uint8_t* buf, std::size_t n) override;

private:
    int in_ = -1;
    int out_ = -1;
};

}  // namespace chunksieve
