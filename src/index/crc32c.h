// CRC-32C (the Castagnoli polynomial, reflected 0x82F63B78, all-ones initial register and final
// XOR): the checksum of the saved index. A running value starts at 0 and is carried from piece
// to piece, so crc32c(crc32c(0, a), b) is the CRC-32C of a followed by b.
#pragma once

#include <cstddef>
#include <cstdint>

namespace chunksieve {

// The fastest form the CPU has: crc32c_instruction where there is one, else crc32c_sliced.
std::uint32_t crc32c(std::uint32_t crc, const std::uint8_t* data, std::size_t n);

// Eight bytes per step through eight tables.
std::uint32_t crc32c_sliced(std::uint32_t crc, const std::uint8_t* data, std::size_t n);

// The reference: one bit at a time.
std::uint32_t crc32c_plain(std::uint32_t crc, const std::uint8_t* data, std::size_t n);

// SSE4.2's CRC-32C instruction, eight bytes at a time, where the build and the CPU have it:
// crc32c_instruction is nullptr otherwise.
using Crc32cForm = std::uint32_t (*)(std::uint32_t, const std::uint8_t*, std::size_t);
Crc32cForm crc32c_instruction();

}  // namespace chunksieve
