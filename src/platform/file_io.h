// Reads and writes on a file the system has open: a descriptor on POSIX, a HANDLE on Windows,
// held as an std::intptr_t (-1, which is also INVALID_HANDLE_VALUE, for none). file_io_posix.cpp
// and file_io_win32.cpp implement them; the build compiles one. Nothing here opens or closes a
// file: that is the caller's, and so is what a failure means (each gives the system's error code).
#pragma once

#include <cstddef>
#include <cstdint>

namespace chunksieve {

using FileHandle = std::intptr_t;
inline constexpr FileHandle NO_FILE = -1;

// Up to `capacity` bytes: the count, 0 at the end (for a pipe: once its writing end is closed),
// -1 with `error` set when the read failed. Goes on after an interruption.
std::ptrdiff_t read_file(FileHandle h, std::uint8_t* buf, std::size_t capacity, int& error);

// All n bytes, going on after short writes and interruptions: false with `error` set when a
// write failed, or made no progress without saying why.
bool write_file(FileHandle h, const std::uint8_t* buf, std::size_t n, int& error);

// A regular file's size; -1 for anything else (a pipe, a terminal, a device) or when it cannot
// be told.
std::int64_t regular_file_size(FileHandle h);

}  // namespace chunksieve
