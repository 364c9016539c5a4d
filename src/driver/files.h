// The two files of a run. One class for every platform: file_posix.cpp implements it on POSIX
// descriptors, file_win32.cpp on Windows handles; the build compiles exactly one of them.
// Nothing here prints: a failed step leaves the system's error code behind for the command's
// message.
#pragma once

#include <cstdint>
#include <string>

#include "driver/run.h"

namespace chunksieve {

// Why an output was refused before anything was truncated.
enum class OutputClash {
    none,
    same_file,       // the input itself, under any name or link
    input_on_device  // the block device the input is (or lies on)
};

class Files final : public StreamIo {
  public:
    Files() = default;
    Files(const Files&) = delete;
    Files& operator=(const Files&) = delete;

    // Opens the input read-only; it must exist and must not be a directory.
    bool open_input(const char* path);
    // Takes the process's standard input as the input, with the same checks.
    bool use_standard_input();
    // Creates the output, or truncates an existing one, write-only. Refuses, before truncating
    // anything, an output that is the input itself (under any name): clash() tells why.
    bool create_output(const char* path);
    // Takes the process's standard output as the output, with the same refusals; it is written
    // from where it stands and never truncated (the shell has opened it as the user asked).
    bool use_standard_output();
    std::int64_t input_size() const override;
    // Closes both files; false when closing the output failed (written data may be lost).
    bool close_all();

    // The system's error code of the last step that failed (errno, or GetLastError() on
    // Windows); 0 when the step was refused for a clash. Reads and writes keep theirs apart:
    // they may run on two threads at once.
    int error() const { return error_; }
    int read_error() const { return read_error_; }
    int write_error() const { return write_error_; }
    OutputClash clash() const { return clash_; }

    std::ptrdiff_t read(std::uint8_t* buf, std::size_t capacity) override;
    bool write_all(const std::uint8_t* buf, std::size_t n) override;

  private:
    bool check_input();
    bool check_output(bool truncate);

    // A descriptor or a handle, -1 while closed (-1 is also INVALID_HANDLE_VALUE).
    std::intptr_t in_ = -1;
    std::intptr_t out_ = -1;
    int error_ = 0;
    int read_error_ = 0;
    int write_error_ = 0;
    OutputClash clash_ = OutputClash::none;
};

// The system's text for an error code from Files::error() or last_system_error(), one line.
std::string system_message(int code);
// The calling thread's last system error code (errno, or GetLastError() on Windows).
int last_system_error();

}  // namespace chunksieve
