// Chunk keys on AVX-512: thirty-two chunks keyed side by side, one per 32-bit lane of two ZMM
// registers' worth (two groups of sixteen).
//
// A chunk's mixes form a serial chain (each one starts from the block the previous one left), so
// the parallelism is across chunks. Every lane carries one chunk's 64-byte block, kept transposed:
// state[g][k] holds word k of group g's sixteen blocks. A step absorbs the next segment of every
// busy lane and runs the mixes of both groups interleaved, two independent chains that fill the
// time one of them would spend waiting on its own. A lane whose chunk has just had its final mix
// writes that chunk's key and takes the next job, so short and long chunks share the lanes without
// waiting for one another; a group whose lanes are all idle is left out of the step, other idle
// lanes run along, and the last chunk, once it is alone, is finished in scalar code.
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

// Lanes in one ZMM register, and registers' worth of lanes keyed together: a step's chain of 64
// dependent operations is latency-bound, so two independent sets of sixteen interleave in the
// time of about one and a half.
constexpr int VECTOR_LANES = 16;
constexpr int GROUPS = 2;
constexpr int LANES = VECTOR_LANES * GROUPS;
constexpr std::uint32_t GROUP_BITS = (1u << VECTOR_LANES) - 1;  // one group's lanes, from bit 0

// Each round's function of (b, c, d) as a VPTERNLOGD truth table, b being the first operand:
// F = b ? c : d (CA), G = d ? b : c (E4), H = b ^ c ^ d (96), I = c ^ (b | ~d) (39).
constexpr int ROUND_LOGIC[4] = {0xCA, 0xE4, 0x96, 0x39};

#define CHUNKSIEVE_INLINE inline __attribute__((always_inline))

__m512i splat(std::uint32_t v) {
    return _mm512_set1_epi32(static_cast<int>(v));
}

// One step in every group: a = b + ((a + f(b, c, d) + m + t) <<< s). The terms that do not depend
// on b are summed first, so that only the logic, one add, the rotate and one add wait for b.
template <int G, int I>
CHUNKSIEVE_INLINE void step(__m512i* a, const __m512i* b, const __m512i* c, const __m512i* d,
                            const __m512i (*m)[16]) {
    for (int g = 0; g < G; ++g)
        a[g] = _mm512_add_epi32(a[g],
                                _mm512_add_epi32(m[g][md5_step_word(I)], splat(MD5_STEP_ADD[I])));
    for (int g = 0; g < G; ++g)
        a[g] = _mm512_add_epi32(a[g],
                                _mm512_ternarylogic_epi32(b[g], c[g], d[g], ROUND_LOGIC[I / 16]));
    for (int g = 0; g < G; ++g)
        a[g] = _mm512_add_epi32(_mm512_rol_epi32(a[g], MD5_STEP_ROTATE[I / 16][I % 4]), b[g]);
}

template <int G, std::size_t... Q>
CHUNKSIEVE_INLINE void all_steps(__m512i* a, __m512i* b, __m512i* c, __m512i* d,
                                 const __m512i (*m)[16], std::index_sequence<Q...>) {
    ((step<G, 4 * Q>(a, b, c, d, m), step<G, 4 * Q + 1>(d, a, b, c, m),
      step<G, 4 * Q + 2>(c, d, a, b, m), step<G, 4 * Q + 3>(b, c, d, a, m)),
     ...);
}

// The compression function from the initial values, feed-forward included, in every lane of G
// groups: out[g][0..3] = IV + compress(IV, m[g]).
template <int G>
CHUNKSIEVE_INLINE void compress_from_iv(const __m512i (*m)[16], __m512i (*out)[4]) {
    __m512i a[G], b[G], c[G], d[G];
    for (int g = 0; g < G; ++g) {
        a[g] = splat(MD5_IV[0]);
        b[g] = splat(MD5_IV[1]);
        c[g] = splat(MD5_IV[2]);
        d[g] = splat(MD5_IV[3]);
    }
    all_steps<G>(a, b, c, d, m, std::make_index_sequence<16>{});
    for (int g = 0; g < G; ++g) {
        out[g][0] = _mm512_add_epi32(a[g], splat(MD5_IV[0]));
        out[g][1] = _mm512_add_epi32(b[g], splat(MD5_IV[1]));
        out[g][2] = _mm512_add_epi32(c[g], splat(MD5_IV[2]));
        out[g][3] = _mm512_add_epi32(d[g], splat(MD5_IV[3]));
    }
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

// One step of groups g0 .. g0 + G - 1: absorbs the next segment of each of their lanes, mixes,
// and finishes the lanes whose chunks this step ended.
template <int G>
CHUNKSIEVE_INLINE void key_step(KeyLanes<LANES>& lanes, __m512i (*state)[16], int g0) {
    // Load each lane's segment, bytes past its length (into the read slack, or the next
    // segment) masked to zero, byte 63 included.
    alignas(64) std::uint32_t seg[G][VECTOR_LANES];
    __m512i m[G][16];
    std::uint32_t ended = 0;
    for (int g = 0; g < G; ++g) {
        __m512i w[16];
        for (int i = 0; i < VECTOR_LANES; ++i) {
            const std::uint8_t* at;
            seg[g][i] = lanes.take_segment((g0 + g) * VECTOR_LANES + i, at, ended);
            w[i] = _mm512_maskz_loadu_epi8((std::uint64_t(1) << seg[g][i]) - 1, at);
        }
        transpose16(w);
        for (int k = 0; k < 16; ++k)
            state[g0 + g][k] = m[g][k] = _mm512_xor_si512(state[g0 + g][k], w[k]);
        // The fill counter for this mix only: the state keeps byte 63 at zero.
        m[g][15] = _mm512_or_si512(m[g][15], _mm512_slli_epi32(_mm512_load_si512(seg[g]), 24));
    }
    ended &= lanes.busy;

    __m512i out[G][4];
    compress_from_iv<G>(m, out);
    for (int g = 0; g < G; ++g)
        for (int k = 0; k < 4; ++k)
            state[g0 + g][k] = _mm512_xor_si512(m[g][k], out[g][k]);

    for (int g = 0; g < G && ended != 0; ++g) {
        const int base = (g0 + g) * VECTOR_LANES;
        const std::uint32_t group_ended = (ended >> base) & GROUP_BITS;
        if (group_ended == 0) continue;
        alignas(64) std::uint32_t word[4][VECTOR_LANES];
        for (int k = 0; k < 4; ++k)
            _mm512_store_si512(word[k], state[g0 + g][k]);
        for (std::uint32_t e = group_ended; e != 0; e &= e - 1) {
            const int i = __builtin_ctz(e);
            const std::uint32_t w4[4] = {word[0][i], word[1][i], word[2][i], word[3][i]};
            lanes.finish(base + i, w4);
        }
        const __mmask16 keep = __mmask16(~group_ended);
        for (auto& s : state[g0 + g])
            s = _mm512_maskz_mov_epi32(keep, s);
    }
}

}  // namespace

void chunk_keys_avx512(const KeyJob* jobs, std::size_t count, ChunkKey* keys) {
    KeyLanes<LANES> lanes(jobs, count, keys);

    // Invariant between steps: each busy lane's block is its chunk's block after the mixes so
    // far, with byte 63 (the fill counter) zero; an idle lane's block is all zero. Lane i is lane
    // i % 16 of group i / 16.
    __m512i state[GROUPS][16];
    for (auto& group : state)
        for (auto& s : group)
            s = _mm512_setzero_si512();

    while (lanes.busy != 0) {
        if (lanes.alone()) {
            const int i = __builtin_ctz(lanes.busy);
            alignas(64) std::uint32_t lane_words[VECTOR_LANES];
            std::uint8_t block[64];
            for (int k = 0; k < 16; ++k) {
                _mm512_store_si512(lane_words, state[i / VECTOR_LANES][k]);
                std::memcpy(block + 4 * k, &lane_words[i % VECTOR_LANES], 4);
            }
            lanes.finish_alone(
                i, block, [](std::uint8_t* acc, const std::uint8_t* at, std::uint32_t len) {
                    const __m512i seg = _mm512_maskz_loadu_epi8((std::uint64_t(1) << len) - 1, at);
                    _mm512_storeu_si512(acc, _mm512_xor_si512(_mm512_loadu_si512(acc), seg));
                });
            break;
        }

        // A group whose lanes have all run out of work is left out of the step: a run of long
        // chunks may keep only the first group busy.
        static_assert(GROUPS == 2, "the step runs both groups, or the one still busy");
        const std::uint32_t first = lanes.busy & GROUP_BITS, second = lanes.busy >> VECTOR_LANES;
        if (first != 0 && second != 0) {
            key_step<2>(lanes, state, 0);
        } else {
            key_step<1>(lanes, state, first != 0 ? 0 : 1);
        }
    }
}

}  // namespace chunksieve
