// The two files of a run, opened and checked before it: the run itself reads and writes them
// through the library (file_io.h). One class for every platform: file_posix.cpp implements it on
// POSIX descriptors, file_win32.cpp on Windows handles; the build compiles exactly one of them.
// Nothing here prints: a failed step leaves the system's error code behind for the command's
// message.
#pragma once

#include <cstdint>
#include <string>

#include "platform/file_io.h"

namespace chunksieve {

// Why an output was refused before anything was truncated.
enum class OutputClash {
    none,
    same_file,       // the input itself, under any name or link
    input_on_device  // the block device the input is (or lies on)
};

class Files {
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
    std::int64_t input_size() const { return regular_file_size(in_); }
    FileHandle input() const { return in_; }
    FileHandle output() const { return out_; }
    // Closes both files; false when closing the output failed (written data may be lost).
    bool close_all();

    // The system's error code of the last step that failed (errno, or GetLastError() on
    // Windows); 0 when the step was refused for a clash.
    int error() const { return error_; }
    OutputClash clash() const { return clash_; }

  private:
    bool check_input();
    bool check_output(bool truncate);

    // A descriptor or a handle, -1 while closed (-1 is also INVALID_HANDLE_VALUE).
    FileHandle in_ = NO_FILE;
    FileHandle out_ = NO_FILE;
    int error_ = 0;
    OutputClash clash_ = OutputClash::none;
};

// The system's text for an error code from Files::error() or last_system_error(), one line.
std::string system_message(int code);
// The calling thread's last system error code (errno, or GetLastError() on Windows).
int last_system_error();

}  // namespace chunksieve
