// Chunk-end masks with AVX2: one byte lane per position, two halves of 32 positions per call.
//
// Everything in this file is compiled for AVX2, so nothing here may run before the caller has
// checked the CPU: no namespace-scope objects with run-time initialisers, and only
// internal-linkage helpers (an inline function shared with other files could be merged with
// this file's copy of it and then run on a CPU without these instructions).
#include <immintrin.h>

#include "chunking/chunk_rules.h"
#include "chunking/kernels_isa.h"
#include "chunking/rolling_hash.h"

namespace chunksieve {

namespace {

constexpr int WINDOW = int(HASH_WINDOW);

// Any hash below HASH_THRESHOLD is below 2^25, so bits 25..31 of it, all in the top byte, are
// clear. Flagging the positions where those seven bits are clear therefore never misses a chunk
// end, and adds a false candidate in only about 1 of 700 positions.
static_assert(HASH_THRESHOLD <= (1u << 25));
constexpr std::uint8_t CANDIDATE_BITS = 0xFE;  // bits 25..31 of the hash, within its top byte

// The window hash is affine over GF(2) in the window's 96 bits: h = HASH_OF_ZERO_WINDOW XOR the
// contributions of its set bits, a bit's contribution being the hash of a window holding only
// that bit, with HASH_OF_ZERO_WINDOW taken out. So the candidate bits of h are the XOR over the
// window bytes k (0 = oldest) of what byte k's low nibble and its high nibble each contribute:
// two 16-entry tables per window byte, for VPSHUFB. The zero window's candidate bits are folded
// into the low-nibble table of byte 0, so that a candidate is a position whose XOR is zero.
// Each table is stored twice, once per 128-bit lane, as VPSHUFB looks up within lanes.
struct NibbleTables {
    alignas(32) std::uint8_t low[WINDOW][32];
    alignas(32) std::uint8_t high[WINDOW][32];
};

[[gnu::noinline, gnu::cold]] NibbleTables derive_nibble_tables() {
    std::uint8_t bit_top[WINDOW][8];  // candidate bits contributed by bit c of window byte k
    for (int k = 0; k < WINDOW; ++k) {
        for (int c = 0; c < 8; ++c) {
            std::uint8_t window[WINDOW] = {};
            window[k] = std::uint8_t(1u << c);
            const std::uint32_t h = window_hash(window + WINDOW) ^ HASH_OF_ZERO_WINDOW;
            bit_top[k][c] = std::uint8_t(h >> 24) & CANDIDATE_BITS;
        }
    }
    NibbleTables t{};
    for (int k = 0; k < WINDOW; ++k) {
        for (int n = 0; n < 16; ++n) {
            std::uint8_t low =
                k == 0 ? std::uint8_t(HASH_OF_ZERO_WINDOW >> 24) & CANDIDATE_BITS : 0;
            std::uint8_t high = 0;
            for (int c = 0; c < 4; ++c) {
                if (n >> c & 1) {
                    low ^= bit_top[k][c];
                    high ^= bit_top[k][c + 4];
                }
            }
            t.low[k][n] = t.low[k][n + 16] = low;
            t.high[k][n] = t.high[k][n + 16] = high;
        }
    }
    return t;
}

__m256i table(const std::uint8_t (&entries)[32]) {
    return _mm256_load_si256(reinterpret_cast<const __m256i*>(entries));
}

__m256i load32(const std::uint8_t* p) {
    return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
}

// Bit i set where p[i - 3] .. p[i] is the marker, for i in 0 .. 31.
std::uint32_t marker_mask32(const std::uint8_t* p) {
    const auto marker_byte = [](int d) { return char(CHUNK_MARKER >> (8 * d)); };
    __m256i eq = _mm256_cmpeq_epi8(load32(p), _mm256_set1_epi8(marker_byte(0)));
    eq = _mm256_and_si256(eq, _mm256_cmpeq_epi8(load32(p - 1), _mm256_set1_epi8(marker_byte(1))));
    eq = _mm256_and_si256(eq, _mm256_cmpeq_epi8(load32(p - 2), _mm256_set1_epi8(marker_byte(2))));
    eq = _mm256_and_si256(eq, _mm256_cmpeq_epi8(load32(p - 3), _mm256_set1_epi8(marker_byte(3))));
    return std::uint32_t(_mm256_movemask_epi8(eq));
}

// Candidate bits of the hash of the windows ending at p[0 .. 63], zero where they are all clear.
// Lane i of the load at w + k holds window byte k of position i; both halves share each pair of
// tables. Loads limit this loop (half of them split cache lines), so each vector is loaded once,
// with LDDQU, which GCC does not duplicate to fold into the AND as it does a plain load. The
// loop is kept rolled: unrolled, GCC regroups the XORs and spills the products.
std::uint64_t hash_candidates(const std::uint8_t* p, const NibbleTables& t) {
    const std::uint8_t* const w = p - (WINDOW - 1);
    const __m256i low4 = _mm256_set1_epi8(0x0F);
    // top ^= what the byte at each lane of `at` contributes through tables tl and th.
    const auto add = [low4](__m256i& top, __m256i tl, __m256i th, const std::uint8_t* at) {
        const __m256i v = _mm256_lddqu_si256(reinterpret_cast<const __m256i*>(at));
        top = _mm256_xor_si256(top, _mm256_shuffle_epi8(tl, _mm256_and_si256(v, low4)));
        top = _mm256_xor_si256(
            top, _mm256_shuffle_epi8(th, _mm256_and_si256(_mm256_srli_epi16(v, 4), low4)));
    };
    __m256i top0 = _mm256_setzero_si256(), top1 = _mm256_setzero_si256();
#pragma GCC unroll 1
    for (int k = 0; k < WINDOW; ++k) {
        const __m256i tl = table(t.low[k]), th = table(t.high[k]);
        add(top0, tl, th, w + k);
        add(top1, tl, th, w + 32 + k);
    }
    const __m256i zero = _mm256_setzero_si256();
    const auto m0 = std::uint32_t(_mm256_movemask_epi8(_mm256_cmpeq_epi8(top0, zero)));
    const auto m1 = std::uint32_t(_mm256_movemask_epi8(_mm256_cmpeq_epi8(top1, zero)));
    return m0 | std::uint64_t(m1) << 32;
}

}  // namespace

std::uint64_t marker_mask64_avx2(const std::uint8_t* p) {
    return marker_mask32(p) | std::uint64_t(marker_mask32(p + 32)) << 32;
}

std::uint64_t hash_candidates64_avx2(const std::uint8_t* p) {
    static const NibbleTables t = derive_nibble_tables();
    return hash_candidates(p, t);
}

}  // namespace chunksieve
