// CRC-32C (the Castagnoli polynomial, reflected 0x82F63B78, all-ones initial register and final
// XOR): the checksum of the saved index. A running value starts at 0 and is carried from piece
// to piece, so crc32c(crc32c(0, a), b) is the CRC-32C of a followed by b.
#pragma once

#include <cstddef>
#include <cstdint>

namespace chunksieve {

// Eight bytes per step through eight tables.
std::uint32_t crc32c(std::uint32_t crc, const std::uint8_t* data, std::size_t n);

// The reference: one bit at a time.
std::uint32_t crc32c_plain(std::uint32_t crc, const std::uint8_t* data, std::size_t n);

}  // namespace chunksieve
