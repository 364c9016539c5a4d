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

namespace chunksieve {

namespace {

constexpr int LANES = 16;

// The compression function's 64 steps: additive constant, message word and rotation.
constexpr std::uint32_t STEP_ADD[64] = {
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
    0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
    0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
    0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
    0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
    0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
    0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391,
};

constexpr int step_word(int i) {
    return i < 16 ? i : i < 32 ? (1 + 5 * i) % 16 : i < 48 ? (5 + 3 * i) % 16 : (7 * i) % 16;
}

constexpr int STEP_ROTATE[4][4] = {
    {7, 12, 17, 22}, {5, 9, 14, 20}, {4, 11, 16, 23}, {6, 10, 15, 21}};

// Each round's function of (b, c, d) as a VPTERNLOGD truth table, b being the first operand:
// F = b ? c : d (CA), G = d ? b : c (E4), H = b ^ c ^ d (96), I = c ^ (b | ~d) (39).
constexpr int ROUND_LOGIC[4] = {0xCA, 0xE4, 0x96, 0x39};

constexpr std::uint32_t IV[4] = {0x67452301, 0xEFCDAB89, 0x98BADCFE, 0x10325476};

#define CHUNKSIEVE_INLINE inline __attribute__((always_inline))

__m512i splat(std::uint32_t v) {
    return _mm512_set1_epi32(static_cast<int>(v));
}

// One step: a = b + ((a + f(b, c, d) + m + t) <<< s). The terms that do not depend on b are
// summed first, so that only the logic, one add, the rotate and one add wait for b.
template <int I>
CHUNKSIEVE_INLINE void step(__m512i& a, __m512i b, __m512i c, __m512i d, const __m512i* m) {
    a = _mm512_add_epi32(a, _mm512_add_epi32(m[step_word(I)], splat(STEP_ADD[I])));
    a = _mm512_add_epi32(a, _mm512_ternarylogic_epi32(b, c, d, ROUND_LOGIC[I / 16]));
    a = _mm512_add_epi32(_mm512_rol_epi32(a, STEP_ROTATE[I / 16][I % 4]), b);
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
    __m512i a = splat(IV[0]), b = splat(IV[1]), c = splat(IV[2]), d = splat(IV[3]);
    all_steps(a, b, c, d, m, std::make_index_sequence<16>{});
    out[0] = _mm512_add_epi32(a, splat(IV[0]));
    out[1] = _mm512_add_epi32(b, splat(IV[1]));
    out[2] = _mm512_add_epi32(c, splat(IV[2]));
    out[3] = _mm512_add_epi32(d, splat(IV[3]));
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
    // Per lane: where its next segment starts, the bytes of its chunk not yet absorbed, and its
    // job. A lane is busy while its bit in `busy` is set; an idle lane has nothing left, so it
    // loads nothing (its byte mask is empty) and never ends a chunk.
    static const std::uint8_t idle_data[1] = {};
    const std::uint8_t* next[LANES];
    std::uint32_t left[LANES];
    std::size_t job_of[LANES];
    std::uint32_t busy = 0;
    std::size_t taken = 0;
    for (int i = 0; i < LANES; ++i) {
        next[i] = idle_data;
        left[i] = 0;
        job_of[i] = 0;
        if (taken < count) {
            next[i] = jobs[taken].data;
            left[i] = jobs[taken].length;
            job_of[i] = taken++;
            busy |= 1u << i;
        }
    }

    // Invariant between steps: each busy lane's block is its chunk's block after the mixes so
    // far, with byte 63 (the fill counter) zero; an idle lane's block is all zero.
    __m512i state[16];
    for (auto& s : state)
        s = _mm512_setzero_si512();

    while (busy != 0) {
        if (taken == count && (busy & (busy - 1)) == 0) {
            // One chunk left (a long one, typically): sixteen lanes would carry fifteen idle
            // ones, so its block leaves the registers and goes on in scalar code.
            const int i = __builtin_ctz(busy);
            alignas(64) std::uint32_t lane_words[LANES];
            ChunkDigest d;
            for (int k = 0; k < 16; ++k) {
                _mm512_store_si512(lane_words, state[k]);
                std::memcpy(d.block + 4 * k, &lane_words[i], 4);
            }
            for (;;) {
                const std::uint32_t len =
                    left[i] < DIGEST_SPAN ? left[i] : std::uint32_t(DIGEST_SPAN);
                const __m512i seg = _mm512_maskz_loadu_epi8((std::uint64_t(1) << len) - 1, next[i]);
                _mm512_storeu_si512(d.block, _mm512_xor_si512(_mm512_loadu_si512(d.block), seg));
                d.block[63] = std::uint8_t(len);
                next[i] += len;
                left[i] -= len;
                if (left[i] == 0) break;
                d.mix();
            }
            const std::size_t j = job_of[i];
            keys[j] = d.finish(jobs[j].length);
            break;
        }

        // Load each lane's segment, bytes past its length (into the read slack, or the next
        // segment) masked to zero, byte 63 included.
        alignas(64) std::uint32_t seg[LANES];
        __m512i w[16];
        std::uint32_t ended = 0;
        for (int i = 0; i < LANES; ++i) {
            const std::uint32_t len = left[i] < DIGEST_SPAN ? left[i] : std::uint32_t(DIGEST_SPAN);
            seg[i] = len;
            w[i] = _mm512_maskz_loadu_epi8((std::uint64_t(1) << len) - 1, next[i]);
            next[i] += len;
            left[i] -= len;
            ended |= std::uint32_t(left[i] == 0) << i;
        }
        ended &= busy;
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
            const std::size_t j = job_of[i];
            // Key bytes 0..13 from the block, 14..15 the length (x86 stores little-endian).
            const std::uint32_t key_words[4] = {word[0][i], word[1][i], word[2][i],
                                                (word[3][i] & 0xFFFF) | jobs[j].length << 16};
            std::memcpy(keys[j].bytes, key_words, sizeof key_words);
            if (taken < count) {
                next[i] = jobs[taken].data;
                left[i] = jobs[taken].length;
                job_of[i] = taken++;
            } else {
                busy &= ~(1u << i);
            }
        }
        const __mmask16 keep = __mmask16(~ended);
        for (auto& s : state)
            s = _mm512_maskz_mov_epi32(keep, s);
    }
}

}  // namespace chunksieve
