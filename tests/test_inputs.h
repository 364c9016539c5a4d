// Test inputs that need nothing but the standard library, shared by the unit tests and
// make_input (which writes them for the command-line tests).
#pragma once

#include <cstdint>
#include <vector>

namespace chunksieve::test {

using Bytes = std::vector<std::uint8_t>;

// The four bytes that end a chunk wherever they stand inside it, in stream order.
inline const Bytes MARKER = {0x99, 0x19, 0xD3, 0xFF};

}  // namespace chunksieve::test
