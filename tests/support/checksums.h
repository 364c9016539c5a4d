// Checksums made to match again after a test or a fuzzer has changed a saved file's bytes, so
// that the change is read for what it says rather than refused as damage.
#pragma once

#include <cstdint>
#include <vector>

namespace chunksieve::test {

// A saved index: its last four bytes made the CRC-32C of the rest, little-endian. A file
// shorter than four bytes is left as it is.
void reseal_state(std::vector<std::uint8_t>& file);

// A map: every checksum recomputed, the header's, each frame's and the end frame's, as far as
// the map is laid out as whole frames.
void reseal_map(std::vector<std::uint8_t>& map);

}  // namespace chunksieve::test
