// Chunk keys on AVX-512: sixteen chunks keyed side by side, one per 32-bit lane of a ZMM register.
//
// A chunk's mixes form a serial chain (each one starts from the block the previous one left), so
// the parallelism is across chunks. Every lane carries one chunk's 64-byte block, kept transposed:
// state[k] holds word k of all sixteen blocks. A step absorbs the next segment of every busy lane
// and runs the sixteen mixes at once. A lane whose chunk has just had its final mix writes that
// chunk's key and takes the next job, so short and long chunks share the lanes without waiting
// for one another; lanes left without work at the end run idle, and the last chunk, once it is
// alone, is finished in scalar code.
// GCC 12's AVX-512 intrinsics start from a deliberately undefined register that its
// maybe-uninitialized analysis then reports wherever they are inlined; silenced for the header
// alone.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <immintrin.h>
#pragma GCC diagnostic pop
#else
#include <immintrin.h>
#endif

#include <cstring>
#include <utility>

#include "chunking/kernels_isa.h"
#include "chunking/key_lanes.h"

namespace chunksieve {

namespace {

constexpr int LANES = 16;

// Each round's function of (b, c, d) as a VPTERNLOGD truth table, b being the first operand:
// F = b ? c : d (CA), G = d ? b : c (E4), H = b ^ c ^ d (96), I = c ^ (b | ~d) (39).
constexpr int ROUND_LOGIC[4] = {0xCA, 0xE4, 0x96, 0x39};

#define CHUNKSIEVE_INLINE inline __attribute__((always_inline))

__m512i splat(std::uint32_t v) {
    return _mm512_set1_epi32(static_cast<int>(v));
}

// One step: a = b + ((a + f(b, c, d) + m + t) <<< s). The terms that do not depend on b are
// summed first, so that only the logic, one add, the rotate and one add wait for b.
template <int I>
CHUNKSIEVE_INLINE void step(__m512i& a, __m512i b, __m512i c, __m512i d, const __m512i* m) {
    a = _mm512_add_epi32(a, _mm512_add_epi32(m[md5_step_word(I)], splat(MD5_STEP_ADD[I])));
    a = _mm512_add_epi32(a, _mm512_ternarylogic_epi32(b, c, d, ROUND_LOGIC[I / 16]));
    a = _mm512_add_epi32(_mm512_rol_epi32(a, MD5_STEP_ROTATE[I / 16][I % 4]), b);
}

template <std::size_t... Q>
CHUNKSIEVE_INLINE void all_steps(__m512i& a, __m512i& b, __m512i& c, __m512i& d, const __m512i* m,
                                 std::index_sequence<Q...>) {
    ((step<4 * Q>(a, b, c, d, m), step<4 * Q + 1>(d, a, b, c, m), step<4 * Q + 2>(c, d, a, b, m),
      step<4 * Q + 3>(b, c, d, a, m)),
     ...);
}

// The compression function from the initial values, feed-forward included, in every lane:
// out[0..3] = IV + compress(IV, m).
CHUNKSIEVE_INLINE void compress_from_iv(const __m512i* m, __m512i* out) {
    __m512i a = splat(MD5_IV[0]), b = splat(MD5_IV[1]), c = splat(MD5_IV[2]), d = splat(MD5_IV[3]);
    all_steps(a, b, c, d, m, std::make_index_sequence<16>{});
    out[0] = _mm512_add_epi32(a, splat(MD5_IV[0]));
    out[1] = _mm512_add_epi32(b, splat(MD5_IV[1]));
    out[2] = _mm512_add_epi32(c, splat(MD5_IV[2]));
    out[3] = _mm512_add_epi32(d, splat(MD5_IV[3]));
}

// r[i] holds lane i's block (16 words); afterwards r[k] holds word k of every lane's block.
CHUNKSIEVE_INLINE void transpose16(__m512i* r) {
    __m512i t[16], u[16];
    for (int i = 0; i < 16; i += 2) {
        t[i] = _mm512_unpacklo_epi32(r[i], r[i + 1]);
        t[i + 1] = _mm512_unpackhi_epi32(r[i], r[i + 1]);
    }
    // Each 128-bit quarter j of u[4g + q] now holds word 4j + q of rows 4g .. 4g + 3.
    for (int g = 0; g < 16; g += 4) {
        u[g] = _mm512_unpacklo_epi64(t[g], t[g + 2]);
        u[g + 1] = _mm512_unpackhi_epi64(t[g], t[g + 2]);
        u[g + 2] = _mm512_unpacklo_epi64(t[g + 1], t[g + 3]);
        u[g + 3] = _mm512_unpackhi_epi64(t[g + 1], t[g + 3]);
    }
    for (int q = 0; q < 4; ++q) {
        const __m512i even_lo = _mm512_shuffle_i32x4(u[q], u[4 + q], 0x88);
        const __m512i odd_lo = _mm512_shuffle_i32x4(u[q], u[4 + q], 0xDD);
        const __m512i even_hi = _mm512_shuffle_i32x4(u[8 + q], u[12 + q], 0x88);
        const __m512i odd_hi = _mm512_shuffle_i32x4(u[8 + q], u[12 + q], 0xDD);
        r[q] = _mm512_shuffle_i32x4(even_lo, even_hi, 0x88);
        r[4 + q] = _mm512_shuffle_i32x4(odd_lo, odd_hi, 0x88);
        r[8 + q] = _mm512_shuffle_i32x4(even_lo, even_hi, 0xDD);
        r[12 + q] = _mm512_shuffle_i32x4(odd_lo, odd_hi, 0xDD);
    }
}

}  // namespace

void chunk_keys_avx512(const KeyJob* jobs, std::size_t count, ChunkKey* keys) {
    KeyLanes<LANES> lanes(jobs, count, keys);

    // Invariant between steps: each busy lane's block is its chunk's block after the mixes so
    // far, with byte 63 (the fill counter) zero; an idle lane's block is all zero.
    __m512i state[16];
    for (auto& s : state)
        s = _mm512_setzero_si512();

    while (lanes.busy != 0) {
        if (lanes.alone()) {
            const int i = __builtin_ctz(lanes.busy);
            alignas(64) std::uint32_t lane_words[LANES];
            std::uint8_t block[64];
            for (int k = 0; k < 16; ++k) {
                _mm512_store_si512(lane_words, state[k]);
                std::memcpy(block + 4 * k, &lane_words[i], 4);
            }
            lanes.finish_alone(
                i, block, [](std::uint8_t* acc, const std::uint8_t* at, std::uint32_t len) {
                    const __m512i seg = _mm512_maskz_loadu_epi8((std::uint64_t(1) << len) - 1, at);
                    _mm512_storeu_si512(acc, _mm512_xor_si512(_mm512_loadu_si512(acc), seg));
                });
            break;
        }

        // Load each lane's segment, bytes past its length (into the read slack, or the next
        // segment) masked to zero, byte 63 included.
        alignas(64) std::uint32_t seg[LANES];
        __m512i w[16];
        std::uint32_t ended = 0;
        for (int i = 0; i < LANES; ++i) {
            const std::uint8_t* at;
            seg[i] = lanes.take_segment(i, at, ended);
            w[i] = _mm512_maskz_loadu_epi8((std::uint64_t(1) << seg[i]) - 1, at);
        }
        ended &= lanes.busy;
        transpose16(w);

        __m512i m[16];
        for (int k = 0; k < 16; ++k)
            state[k] = m[k] = _mm512_xor_si512(state[k], w[k]);
        // The fill counter for this mix only: the state keeps byte 63 at zero.
        m[15] = _mm512_or_si512(m[15], _mm512_slli_epi32(_mm512_load_si512(seg), 24));
        __m512i out[4];
        compress_from_iv(m, out);
        for (int k = 0; k < 4; ++k)
            state[k] = _mm512_xor_si512(m[k], out[k]);

        if (ended == 0) continue;
        alignas(64) std::uint32_t word[4][LANES];
        for (int k = 0; k < 4; ++k)
            _mm512_store_si512(word[k], state[k]);
        for (std::uint32_t e = ended; e != 0; e &= e - 1) {
            const int i = __builtin_ctz(e);
            const std::uint32_t w4[4] = {word[0][i], word[1][i], word[2][i], word[3][i]};
            lanes.finish(i, w4);
        }
        const __mmask16 keep = __mmask16(~ended);
        for (auto& s : state)
            s = _mm512_maskz_mov_epi32(keep, s);
    }
}

}  // namespace chunksieve
