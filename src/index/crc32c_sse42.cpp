// Compiled with -msse4.2: called only where the CPU has SSE4.2 (crc32c.cpp checks).
#include <nmmintrin.h>

#include <cstring>

#include "index/crc32c.h"

namespace chunksieve {

namespace {

// The instruction takes three cycles to give its result and can start one a cycle: a long input is
// cut into rounds of three adjacent spans of SPAN bytes, each span run through its own register
// from zero, and the three joined after the round.
//
// Joining: the register (before the final inversion) after bytes A then B is the register after A
// carried through |B| zero bytes, XOR the register after B alone from zero. Carrying a register
// through SPAN zero bytes is linear in its 32 bits, so it is four look-ups, one per byte.
constexpr std::size_t SPAN = 1024;
static_assert(SPAN % 8 == 0);

std::uint64_t load_u64(const std::uint8_t* p) {
    std::uint64_t w;
    std::memcpy(&w, p, 8);  // the instruction takes the bytes in little-endian order
    return w;
}

struct SpanShift {
    std::uint32_t t[4][256];  // t[k][b]: the register b << 8k carried through SPAN zero bytes

    SpanShift() {
        std::uint32_t bit_image[32];
        for (int i = 0; i < 32; ++i) {
            std::uint64_t c = std::uint32_t(1) << i;
            for (std::size_t j = 0; j < SPAN; j += 8)
                c = _mm_crc32_u64(c, 0);
            bit_image[i] = std::uint32_t(c);
        }
        for (int k = 0; k < 4; ++k)
            for (std::uint32_t b = 0; b < 256; ++b) {
                std::uint32_t image = 0;
                for (int i = 0; i < 8; ++i)
                    if (b >> i & 1) image ^= bit_image[8 * k + i];
                t[k][b] = image;
            }
    }

    std::uint64_t operator()(std::uint64_t c) const {
        return t[0][c & 0xFF] ^ t[1][c >> 8 & 0xFF] ^ t[2][c >> 16 & 0xFF] ^ t[3][c >> 24 & 0xFF];
    }
};

}  // namespace

std::uint32_t crc32c_sse42(std::uint32_t crc, const std::uint8_t* p, std::size_t n) {
    std::uint64_t c = ~crc;
    if (n >= 3 * SPAN) {
        static const SpanShift shift;
        for (; n >= 3 * SPAN; n -= 3 * SPAN, p += 3 * SPAN) {
            std::uint64_t c1 = 0, c2 = 0;
            const bool next_round = n >= 6 * SPAN;
            for (std::size_t i = 0; i < SPAN; i += 8) {
                if (next_round && i % 64 == 0) {
                    // The next round's lines, asked for a round ahead: a state read from the
                    // page cache comes from memory, in pages the hardware does not run ahead into.
                    for (std::size_t k = 3; k < 6; ++k)
                        _mm_prefetch(reinterpret_cast<const char*>(p + k * SPAN + i), _MM_HINT_T0);
                }
                c = _mm_crc32_u64(c, load_u64(p + i));
                c1 = _mm_crc32_u64(c1, load_u64(p + SPAN + i));
                c2 = _mm_crc32_u64(c2, load_u64(p + 2 * SPAN + i));
            }
            c = shift(shift(c) ^ c1) ^ c2;
        }
    }
    for (; n >= 8; n -= 8, p += 8)
        c = _mm_crc32_u64(c, load_u64(p));
    auto c32 = std::uint32_t(c);
    for (; n > 0; --n, ++p)
        c32 = _mm_crc32_u8(c32, *p);
    return ~c32;
}

}  // namespace chunksieve
