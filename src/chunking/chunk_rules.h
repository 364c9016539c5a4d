// Where chunks end. After each byte of the current chunk, in this order:
//   1. the chunk's last four bytes are CHUNK_MARKER           -> end, fill byte 0x00
//   2. fewer than MIN_CHUNK_LENGTH bytes                        -> no end
//   3. hash < HASH_THRESHOLD, or MAX_CHUNK_LENGTH bytes reached -> end, fill byte = last byte
// The tail register that holds the chunk's last four bytes starts at 0 with every chunk, so a
// marker is seen only when all four of its bytes belong to the current chunk.
#pragma once

#include <cstdint>

namespace chunksieve {

inline constexpr std::uint32_t CHUNK_MARKER = 0x9919D3FF;  // bytes 99 19 D3 FF in stream order
inline constexpr std::uint32_t MIN_CHUNK_LENGTH = 100;
inline constexpr std::uint32_t HASH_THRESHOLD = 0x01A16D3F;  // 2^32 / 157: one end in ~157
inline constexpr std::uint32_t MAX_CHUNK_LENGTH = 65535;     // the key stores it in 16 bits
inline constexpr std::uint32_t CHUNK_ALIGNMENT = 64;         // output records and block numbers

static_assert(MAX_CHUNK_LENGTH <= 0xFFFF, "chunk lengths are stored in two key bytes");
static_assert((CHUNK_ALIGNMENT & (CHUNK_ALIGNMENT - 1)) == 0);

enum class ChunkEnd : std::uint8_t { none, marker, hash };

// The test after a byte: `tail` holds the chunk's last up to four bytes (most recent lowest),
// `count` its length including this byte, `h` the rolling hash after this byte.
inline ChunkEnd chunk_end_after(std::uint32_t tail, std::uint32_t count, std::uint32_t h) {
    if (tail == CHUNK_MARKER) return ChunkEnd::marker;
    if (count < MIN_CHUNK_LENGTH) return ChunkEnd::none;
    if (h < HASH_THRESHOLD || count >= MAX_CHUNK_LENGTH) return ChunkEnd::hash;
    return ChunkEnd::none;
}

// The byte that pads a new chunk's record to the alignment: 0x00 after a marker end, otherwise
// the chunk's last byte.
inline std::uint8_t fill_byte(ChunkEnd how, std::uint8_t last) {
    return how == ChunkEnd::marker ? 0x00 : last;
}

// A chunk's length rounded up to the output alignment.
inline std::uint64_t padded_length(std::uint64_t n) {
    return (n + CHUNK_ALIGNMENT - 1) & ~std::uint64_t(CHUNK_ALIGNMENT - 1);
}

}  // namespace chunksieve
