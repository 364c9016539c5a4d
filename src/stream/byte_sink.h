// Where bytes go in pieces: a saved index, a map.
#pragma once

#include <cstddef>
#include <cstdint>

namespace chunksieve {

class ByteSink {
  public:
    // All n bytes; false when they could not be written.
    virtual bool write_all(const std::uint8_t* data, std::size_t n) = 0;

  protected:
    ~ByteSink() = default;
};

}  // namespace chunksieve
