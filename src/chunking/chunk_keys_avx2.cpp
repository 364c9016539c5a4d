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

namespace chunksieve {

namespace {

constexpr int GROUPS = 2;  // registers of eight lanes, mixed interleaved
constexpr int LANES = 8 * GROUPS;

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

constexpr std::uint32_t IV[4] = {0x67452301, 0xEFCDAB89, 0x98BADCFE, 0x10325476};

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
        __m256i x =
            _mm256_add_epi32(a.v[g], _mm256_add_epi32(m[step_word(I)].v[g], splat(STEP_ADD[I])));
        x = _mm256_add_epi32(x, round_logic<I / 16>(b.v[g], c.v[g], d.v[g]));
        a.v[g] = _mm256_add_epi32(rotl<STEP_ROTATE[I / 16][I % 4]>(x), b.v[g]);
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
            h[k].v[g] = splat(IV[k]);
    all_steps(h[0], h[1], h[2], h[3], m, std::make_index_sequence<16>{});
    for (int k = 0; k < 4; ++k)
        for (int g = 0; g < GROUPS; ++g)
            m[k].v[g] = _mm256_xor_si256(m[k].v[g], _mm256_add_epi32(h[k].v[g], splat(IV[k])));
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

// Stands in for an idle lane's data: 64 readable zero bytes.
alignas(64) constexpr std::uint8_t IDLE_DATA[64] = {};

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

// The rest of a chunk, alone, with the one-chunk digest: `block` has had the chunk's mixes so
// far, and `left` bytes at `next` remain to absorb.
ChunkKey finish_alone(const std::uint8_t* block, const std::uint8_t* next, std::uint32_t left,
                      std::uint32_t n) {
    ChunkDigest d;
    std::memcpy(d.block, block, sizeof d.block);
    for (;;) {
        const std::uint32_t len = left < DIGEST_SPAN ? left : std::uint32_t(DIGEST_SPAN);
        __m256i lo, hi;
        load_segment(next, len, lo, hi);
        auto* half = reinterpret_cast<__m256i*>(d.block);  // unaligned loads and stores only
        _mm256_storeu_si256(half, _mm256_xor_si256(_mm256_loadu_si256(half), lo));
        _mm256_storeu_si256(half + 1, _mm256_xor_si256(_mm256_loadu_si256(half + 1), hi));
        d.block[63] = std::uint8_t(len);
        next += len;
        left -= len;
        if (left == 0) return d.finish(n);
        d.mix();
    }
}

}  // namespace

void chunk_keys_avx2(const KeyJob* jobs, std::size_t count, ChunkKey* keys) {
    // Per lane: where its next segment starts, the bytes of its chunk not yet absorbed, and its
    // job. A lane is busy while its bit in `busy` is set; an idle lane has nothing left and reads
    // IDLE_DATA, which it masks away whole, so it never ends a chunk.
    const std::uint8_t* next[LANES];
    std::uint32_t left[LANES];
    std::size_t job_of[LANES];
    std::uint32_t busy = 0;
    std::size_t taken = 0;
    for (int i = 0; i < LANES; ++i) {
        next[i] = IDLE_DATA;
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
    Word state[16];
    for (auto& s : state)
        for (auto& v : s.v)
            v = _mm256_setzero_si256();

    while (busy != 0) {
        if (taken == count && (busy & (busy - 1)) == 0) {
            // One chunk left: its block out of the registers, and on in scalar code.
            const int i = __builtin_ctz(busy);
            alignas(32) std::uint32_t lane_words[8];
            std::uint8_t block[64];
            for (int k = 0; k < 16; ++k) {
                _mm256_store_si256(reinterpret_cast<__m256i*>(lane_words), state[k].v[i / 8]);
                std::memcpy(block + 4 * k, &lane_words[i % 8], 4);
            }
            const std::size_t j = job_of[i];
            keys[j] = finish_alone(block, next[i], left[i], jobs[j].length);
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
                const std::uint32_t len =
                    left[i] < DIGEST_SPAN ? left[i] : std::uint32_t(DIGEST_SPAN);
                seg[i] = len;
                load_segment(next[i], len, lo[r], hi[r]);
                next[i] += len;
                left[i] -= len;
                ended |= std::uint32_t(left[i] == 0) << i;
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
        ended &= busy;
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
                next[i] = IDLE_DATA;
                busy &= ~(1u << i);
            }
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
