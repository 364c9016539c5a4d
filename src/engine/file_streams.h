// A run's streams on files the system has open, as the command and an embedding program hand
// them over: the input read front to back, the output and the map written from where they stand.
// Reads may come from the reader thread, writes from the writer thread: each side keeps its own
// error code.
#pragma once

#include <cstdint>

#include "engine/run.h"
#include "platform/file_io.h"
#include "stream/byte_sink.h"

namespace chunksieve {

class FileStreams final : public StreamIo {
  public:
    // Told the input's bytes read so far, after each read that gave some, on the reading thread.
    using Progress = void (*)(void* user, std::uint64_t bytes_read);

    FileStreams(FileHandle in, FileHandle out, Progress progress = nullptr, void* user = nullptr)
        : in_(in), out_(out), progress_(progress), user_(user) {}

    std::ptrdiff_t read(std::uint8_t* buf, std::size_t capacity) override {
        const std::ptrdiff_t got = read_file(in_, buf, capacity, read_error_);
        if (got > 0 && progress_) progress_(user_, read_ += std::uint64_t(got));
        return got;
    }
    bool write_all(const std::uint8_t* buf, std::size_t n) override {
        return write_file(out_, buf, n, write_error_);
    }
    std::int64_t input_size() const override { return regular_file_size(in_); }

    int read_error() const { return read_error_; }
    int write_error() const { return write_error_; }

  private:
    FileHandle in_, out_;
    Progress progress_;
    void* user_;
    std::uint64_t read_ = 0;
    int read_error_ = 0;
    int write_error_ = 0;
};

// The map's file.
class FileSink final : public ByteSink {
  public:
    explicit FileSink(FileHandle h) : h_(h) {}
    bool write_all(const std::uint8_t* data, std::size_t n) override {
        return write_file(h_, data, n, error_);
    }
    int error() const { return error_; }

  private:
    FileHandle h_;
    int error_ = 0;
};

}  // namespace chunksieve
