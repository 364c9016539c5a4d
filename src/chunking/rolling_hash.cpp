#include "chunking/rolling_hash.h"

#include <cstring>

namespace chunksieve {

namespace {

struct PushTable {
    std::uint32_t entry[256];
    constexpr PushTable() : entry{} {
        for (std::uint32_t i = 0; i < 256; ++i) {
            std::uint32_t c = i;
            for (int k = 0; k < 8; ++k)
                c = (c & 1) ? (c >> 1) ^ 0xEDB88320u : c >> 1;
            // Stored at i XOR 0xFF and XORed with 0xFF000000: this folds the CRC's all-ones
            // initial register and final XOR into the table, so a window of bytes hashes to
            // its standard CRC-32 starting from a register of 0.
            entry[i ^ 0xFF] = c ^ 0xFF000000u;
        }
    }
};

constexpr PushTable PUSH_TABLE{};
static_assert(PUSH_TABLE.entry[0] == 0xD202EF8Du && PUSH_TABLE.entry[1] == 0xA505DF1Bu &&
              PUSH_TABLE.entry[255] == 0xFF000000u);

constexpr std::uint32_t zero_window_hash() {
    std::uint32_t z = 0;
    for (std::uint32_t k = 0; k < HASH_WINDOW; ++k)
        z = (z >> 8) ^ PUSH_TABLE.entry[z & 0xFF];
    return z;
}
static_assert(zero_window_hash() == HASH_OF_ZERO_WINDOW);

// SLICES.t[k][b]: the hash of a window holding only byte b, at position k, with the zero
// window's hash taken out.
struct WindowSlices {
    std::uint32_t t[HASH_WINDOW][256];
    constexpr WindowSlices() : t{} {
        for (std::uint32_t k = 0; k < HASH_WINDOW; ++k) {
            for (std::uint32_t b = 0; b < 256; ++b) {
                std::uint32_t h = 0;
                for (std::uint32_t i = 0; i < HASH_WINDOW; ++i) {
                    const std::uint32_t byte = i == k ? b : 0;
                    h = (h >> 8) ^ PUSH_TABLE.entry[(h ^ byte) & 0xFF];
                }
                t[k][b] = h ^ HASH_OF_ZERO_WINDOW;
            }
        }
    }
};

constexpr WindowSlices SLICES{};

}  // namespace

std::uint32_t window_hash_sliced(const std::uint8_t* end) {
    const std::uint8_t* w = end - HASH_WINDOW;
    std::uint32_t a =
        HASH_OF_ZERO_WINDOW ^ SLICES.t[0][w[0]] ^ SLICES.t[1][w[1]] ^ SLICES.t[2][w[2]];
    std::uint32_t b = SLICES.t[3][w[3]] ^ SLICES.t[4][w[4]] ^ SLICES.t[5][w[5]];
    std::uint32_t c = SLICES.t[6][w[6]] ^ SLICES.t[7][w[7]] ^ SLICES.t[8][w[8]];
    std::uint32_t d = SLICES.t[9][w[9]] ^ SLICES.t[10][w[10]] ^ SLICES.t[11][w[11]];
    return (a ^ b) ^ (c ^ d);
}

const std::uint32_t* crc_push_table() {
    return PUSH_TABLE.entry;
}

void RollingHash::init() {
    std::memcpy(push_table, PUSH_TABLE.entry, sizeof push_table);
    std::uint32_t z = 0;
    for (std::uint32_t k = 0; k < HASH_WINDOW; ++k)
        z = (z >> 8) ^ push_table[z & 0xFF];
    // pop_table[b] cancels byte b as it leaves the window: it is what b contributes after
    // HASH_WINDOW further shifts, with the zero-window constant taken out so that it cancels in
    // pairs.
    for (std::uint32_t i = 0; i < 256; ++i) {
        std::uint32_t x = push_table[i];
        for (std::uint32_t k = 0; k < HASH_WINDOW; ++k)
            x = (x >> 8) ^ push_table[x & 0xFF];
        pop_table[i] = x ^ z;
    }
    std::memset(ring, 0, sizeof ring);
    pos = 0;
    h = z;
}

std::uint32_t window_hash(const std::uint8_t* end) {
    std::uint32_t h = 0;
    for (const std::uint8_t* p = end - HASH_WINDOW; p != end; ++p)
        h = (h >> 8) ^ PUSH_TABLE.entry[(h ^ *p) & 0xFF];
    return h;
}

}  // namespace chunksieve
