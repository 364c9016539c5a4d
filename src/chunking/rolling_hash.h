// RollingHash: after every byte, the CRC-32 (reflected polynomial 0xEDB88320, all-ones initial
// register and final XOR) of the last 12 bytes of the stream, zero bytes standing in before its
// start. Chunk ends are chosen by this value, so equal content gives equal chunk ends wherever
// it lies in the input.
#pragma once

#include <cstdint>

namespace chunksieve {

// The window: how many trailing bytes the hash covers. The pop table and every batched
// chunk-end kernel are built for exactly this width.
inline constexpr std::uint32_t HASH_WINDOW = 12;
static_assert(HASH_WINDOW == 12, "the chunk-end rules and their reference outputs assume 12");

// Hash of a window of HASH_WINDOW zero bytes: the value before the first byte.
inline constexpr std::uint32_t HASH_OF_ZERO_WINDOW = 0x7BD5C66F;

struct RollingHash {
    std::uint32_t h;    // hash of the current window
    std::uint32_t pos;  // bytes pushed so far, modulo 2^32; only its low 8 bits index the ring
    std::uint32_t push_table[256];
    std::uint32_t pop_table[256];
    std::uint8_t ring[256];  // recent bytes, indexed by pos modulo 256

    void init();

    // Constant time: three table reads, one ring write, no branch.
    void push(std::uint8_t b) {
        const std::uint8_t out = ring[(pos - HASH_WINDOW) & 0xFF];
        h = (h >> 8) ^ push_table[(h ^ b) & 0xFF] ^ pop_table[out];
        ring[pos & 0xFF] = b;
        ++pos;
    }

    std::uint32_t value() const { return h; }
};

// The push table alone, for code that hashes whole windows rather than rolling.
const std::uint32_t* crc_push_table();

// Hash of the HASH_WINDOW bytes ending just before `end` (end[-12] .. end[-1]), computed
// directly rather than rolled: the value RollingHash holds after pushing those bytes last.
std::uint32_t window_hash(const std::uint8_t* end);

// The same value from twelve independent look-ups rather than a chain of twelve: the hash is
// affine over GF(2) in the window's bytes, h = HASH_OF_ZERO_WINDOW ^ T[0][w0] ^ ... ^ T[11][w11],
// T[k][b] being what byte b at window position k (0 = oldest) contributes.
std::uint32_t window_hash_sliced(const std::uint8_t* end);

}  // namespace chunksieve
