// Chunk keys on AVX2: chunks keyed side by side, one per 32-bit lane of a YMM register.
//
// A chunk's mixes form a serial chain (each one starts from the block the previous one left), so
// the parallelism is across chunks. Every lane carries one chunk's 64-byte block, kept transposed:
// state[k] holds word k of the blocks of a register's eight lanes. A step absorbs the next
// segment of every busy lane and runs all the mixes at once. A lane whose chunk has just had its
// final mix writes that chunk's key and takes the next job, so short and long chunks share the
// lanes without waiting for one another; lanes left without work at the end run idle (on zero
// bytes) until the last chunk is done.
//
// Without a rotate or three-input logic instruction a step's dependency chain is long (about six
// cycles), so two registers' worth of lanes, sixteen chunks, are mixed step by step interleaved:
// with one register the vector units mostly wait, with two they are about as busy as the chain.
// A chunk left alone at the end (one long chunk, typically) is finished in scalar code, whose
// chain is shorter still and which no longer drags fifteen idle lanes along.
#include <immintrin.h>

#include <cstring>
#include <utility>

#include "chunking/kernels_isa.h"
#include "chunking/key_lanes.h"

namespace chunksieve {

namespace {

constexpr int GROUPS = 2;  // registers of eight lanes, mixed interleaved
constexpr int LANES = 8 * GROUPS;

#define CHUNKSIEVE_INLINE inline __attribute__((always_inline))

__m256i splat(std::uint32_t v) {
    return _mm256_set1_epi32(static_cast<int>(v));
}

// The round functions, written so that b (the word just computed) enters last.
template <int ROUND>
CHUNKSIEVE_INLINE __m256i round_logic(__m256i b, __m256i c, __m256i d) {
    if constexpr (ROUND == 0)  // F = b ? c : d
        return _mm256_xor_si256(d, _mm256_and_si256(b, _mm256_xor_si256(c, d)));
    else if constexpr (ROUND == 1)  // G = d ? b : c
        return _mm256_or_si256(_mm256_and_si256(d, b), _mm256_andnot_si256(d, c));
    else if constexpr (ROUND == 2)  // H = b ^ c ^ d
        return _mm256_xor_si256(b, _mm256_xor_si256(c, d));
    else  // I = c ^ (b | ~d) = ~c ^ (~b & d)
        return _mm256_xor_si256(_mm256_xor_si256(c, _mm256_set1_epi32(-1)),
                                _mm256_andnot_si256(b, d));
}

template <int S>
CHUNKSIEVE_INLINE __m256i rotl(__m256i x) {
    return _mm256_or_si256(_mm256_slli_epi32(x, S), _mm256_srli_epi32(x, 32 - S));
}

// A register per group of eight lanes.
struct Word {
    __m256i v[GROUPS];
};

// One step in every group: a = b + ((a + f(b, c, d) + m + t) <<< s). The terms that do not
// depend on b are summed first, so that only the logic, one add, the rotate and one add wait
// for b.
template <int I>
CHUNKSIEVE_INLINE void step(Word& a, const Word& b, const Word& c, const Word& d, const Word* m) {
    for (int g = 0; g < GROUPS; ++g) {
        __m256i x = _mm256_add_epi32(
            a.v[g], _mm256_add_epi32(m[md5_step_word(I)].v[g], splat(MD5_STEP_ADD[I])));
        x = _mm256_add_epi32(x, round_logic<I / 16>(b.v[g], c.v[g], d.v[g]));
        a.v[g] = _mm256_add_epi32(rotl<MD5_STEP_ROTATE[I / 16][I % 4]>(x), b.v[g]);
    }
}

template <std::size_t... Q>
CHUNKSIEVE_INLINE void all_steps(Word& a, Word& b, Word& c, Word& d, const Word* m,
                                 std::index_sequence<Q...>) {
    ((step<4 * Q>(a, b, c, d, m), step<4 * Q + 1>(d, a, b, c, m), step<4 * Q + 2>(c, d, a, b, m),
      step<4 * Q + 3>(b, c, d, a, m)),
     ...);
}

// The compression function from the initial values, feed-forward included, in every lane:
// m[0..3] ^= IV + compress(IV, m).
CHUNKSIEVE_INLINE void mix(Word* m) {
    Word h[4];
    for (int k = 0; k < 4; ++k)
        for (int g = 0; g < GROUPS; ++g)
            h[k].v[g] = splat(MD5_IV[k]);
    all_steps(h[0], h[1], h[2], h[3], m, std::make_index_sequence<16>{});
    for (int k = 0; k < 4; ++k)
        for (int g = 0; g < GROUPS; ++g)
            m[k].v[g] = _mm256_xor_si256(m[k].v[g], _mm256_add_epi32(h[k].v[g], splat(MD5_IV[k])));
}

// r[i] holds 8 words of lane i; afterwards r[k] holds word k of every lane.
CHUNKSIEVE_INLINE void transpose8(__m256i* r) {
    __m256i t[8], u[8];
    for (int i = 0; i < 8; i += 2) {
        t[i] = _mm256_unpacklo_epi32(r[i], r[i + 1]);
        t[i + 1] = _mm256_unpackhi_epi32(r[i], r[i + 1]);
    }
    // Each 128-bit half j of u[4g + q] now holds word 4j + q of rows 4g .. 4g + 3.
    for (int g = 0; g < 8; g += 4) {
        u[g] = _mm256_unpacklo_epi64(t[g], t[g + 2]);
        u[g + 1] = _mm256_unpackhi_epi64(t[g], t[g + 2]);
        u[g + 2] = _mm256_unpacklo_epi64(t[g + 1], t[g + 3]);
        u[g + 3] = _mm256_unpackhi_epi64(t[g + 1], t[g + 3]);
    }
    for (int q = 0; q < 4; ++q) {
        r[q] = _mm256_permute2x128_si256(u[q], u[4 + q], 0x20);
        r[4 + q] = _mm256_permute2x128_si256(u[q], u[4 + q], 0x31);
    }
}

// 64 bytes kept, then 64 dropped: the 32 bytes at KEEP + 64 - n keep exactly their first n
// bytes (n <= 32), and those at KEEP + 96 - n keep the first n - 32 bytes of the next 32.
alignas(64) constexpr std::uint8_t KEEP[128] = {
    0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
    0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
    0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
    0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
};

CHUNKSIEVE_INLINE __m256i load32(const std::uint8_t* p) {
    return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
}

// The len (0..63) bytes at p as the two halves of a block, every byte from len on (read slack,
// or the next segment's bytes) zeroed, byte 63 included.
CHUNKSIEVE_INLINE void load_segment(const std::uint8_t* p, std::uint32_t len, __m256i& lo,
                                    __m256i& hi) {
    lo = _mm256_and_si256(load32(p), load32(KEEP + 64 - len));
    hi = _mm256_and_si256(load32(p + 32), load32(KEEP + 96 - len));
}

}  // namespace

void chunk_keys_avx2(const KeyJob* jobs, std::size_t count, ChunkKey* keys) {
    KeyLanes<LANES> lanes(jobs, count, keys);

    // Invariant between steps: each busy lane's block is its chunk's block after the mixes so
    // far, with byte 63 (the fill counter) zero; an idle lane's block is all zero.
    Word state[16];
    for (auto& s : state)
        for (auto& v : s.v)
            v = _mm256_setzero_si256();

    while (lanes.busy != 0) {
        if (lanes.alone()) {
            const int i = __builtin_ctz(lanes.busy);
            alignas(32) std::uint32_t lane_words[8];
            std::uint8_t block[64];
            for (int k = 0; k < 16; ++k) {
                _mm256_store_si256(reinterpret_cast<__m256i*>(lane_words), state[k].v[i / 8]);
                std::memcpy(block + 4 * k, &lane_words[i % 8], 4);
            }
            lanes.finish_alone(
                i, block, [](std::uint8_t* acc, const std::uint8_t* at, std::uint32_t len) {
                    __m256i lo, hi;
                    load_segment(at, len, lo, hi);
                    auto* half =
                        reinterpret_cast<__m256i*>(acc);  // unaligned loads and stores only
                    _mm256_storeu_si256(half, _mm256_xor_si256(_mm256_loadu_si256(half), lo));
                    _mm256_storeu_si256(half + 1,
                                        _mm256_xor_si256(_mm256_loadu_si256(half + 1), hi));
                });
            break;
        }

        alignas(32) std::uint32_t seg[LANES];
        std::uint32_t ended = 0;
        Word m[16];
        for (int g = 0; g < GROUPS; ++g) {
            // Each lane's next segment, transposed; its byte 63 (read slack, or the first byte
            // of the segment after) is masked to zero like every byte past the segment.
            __m256i lo[8], hi[8];
            for (int r = 0; r < 8; ++r) {
                const int i = 8 * g + r;
                const std::uint8_t* at;
                seg[i] = lanes.take_segment(i, at, ended);
                load_segment(at, seg[i], lo[r], hi[r]);
            }
            transpose8(lo);
            transpose8(hi);
            for (int k = 0; k < 8; ++k) {
                state[k].v[g] = m[k].v[g] = _mm256_xor_si256(state[k].v[g], lo[k]);
                state[8 + k].v[g] = m[8 + k].v[g] = _mm256_xor_si256(state[8 + k].v[g], hi[k]);
            }
            // The fill counter for this mix only: the state keeps byte 63 at zero.
            const __m256i counter = _mm256_slli_epi32(
                _mm256_load_si256(reinterpret_cast<const __m256i*>(seg + 8 * g)), 24);
            m[15].v[g] = _mm256_or_si256(m[15].v[g], counter);
        }
        ended &= lanes.busy;
        mix(m);
        for (int k = 0; k < 4; ++k)
            state[k] = m[k];

        if (ended == 0) continue;
        alignas(32) std::uint32_t word[4][LANES];
        for (int k = 0; k < 4; ++k)
            for (int g = 0; g < GROUPS; ++g)
                _mm256_store_si256(reinterpret_cast<__m256i*>(word[k] + 8 * g), state[k].v[g]);
        for (std::uint32_t e = ended; e != 0; e &= e - 1) {
            const int i = __builtin_ctz(e);
            const std::uint32_t w4[4] = {word[0][i], word[1][i], word[2][i], word[3][i]};
            lanes.finish(i, w4);
        }
        // Clear the ended lanes' blocks for their next chunks.
        for (int g = 0; g < GROUPS; ++g) {
            const __m256i bit = _mm256_setr_epi32(1, 2, 4, 8, 16, 32, 64, 128);
            const __m256i ended_lanes = _mm256_cmpeq_epi32(
                _mm256_and_si256(_mm256_set1_epi32(int(ended >> (8 * g))), bit), bit);
            for (auto& s : state)
                s.v[g] = _mm256_andnot_si256(ended_lanes, s.v[g]);
        }
    }
}

}  // namespace chunksieve
