// The driver loop: starts the filter coroutine and services its requests until the run is over.
// It owns no files; a StreamIo supplies the bytes and takes them.
#pragma once

#include <cstddef>
#include <cstdint>

#include "filter/dedup_filter.h"

namespace chunksieve {

class StreamIo {
  public:
    // Up to `capacity` bytes into buf: the count, 0 at end of input, -1 when the read failed.
    virtual std::ptrdiff_t read(std::uint8_t* buf, std::size_t capacity) = 0;
    // All n bytes, continuing after short writes: false when a write failed.
    virtual bool write_all(const std::uint8_t* buf, std::size_t n) = 0;

  protected:
    ~StreamIo() = default;
};

enum class RunStatus { complete, read_failed, write_failed, no_memory };

// One whole run of `filter`, whose index must have been created. The filter's buffers are
// refilled with at most STREAM_BLOCK bytes at a time, and full output buffers are written as
// they fill; after a failure the filter is left suspended and is not resumed. After no_memory
// (the index could not grow) the output holds what was written before, the start of the
// complete output; what the output buffer held is not written.
RunStatus run_filter(DedupFilter& filter, StreamIo& io);

}  // namespace chunksieve
