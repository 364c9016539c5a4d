// What the multi-chunk key kernels share: the compression's step constants and the bookkeeping
// of lanes that take chunks as others finish.
//
// Included only by instruction-set files. Everything here has internal linkage, so each file's
// copy is compiled with that file's flags, and the linker can never hand one file's copy to
// another (which could run AVX-512 code on a CPU without it).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "chunking/chunk_digest.h"
#include "chunking/kernels.h"

namespace chunksieve {
namespace {

// The compression function's 64 steps (RFC 1321): additive constant, message word, rotation.
constexpr std::uint32_t MD5_STEP_ADD[64] = {
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
    0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
    0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
    0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
    0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
    0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
    0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391,
};

constexpr int md5_step_word(int i) {
    return i < 16 ? i : i < 32 ? (1 + 5 * i) % 16 : i < 48 ? (5 + 3 * i) % 16 : (7 * i) % 16;
}

constexpr int MD5_STEP_ROTATE[4][4] = {
    {7, 12, 17, 22}, {5, 9, 14, 20}, {4, 11, 16, 23}, {6, 10, 15, 21}};

constexpr std::uint32_t MD5_IV[4] = {0x67452301, 0xEFCDAB89, 0x98BADCFE, 0x10325476};

// Zero bytes for idle lanes to read: each lane's segment load masks them away whole.
alignas(64) constexpr std::uint8_t IDLE_DATA[64] = {};

// Which chunk each lane carries and how far it has got. A lane is busy while its bit in `busy`
// is set; an idle lane has nothing left and points at IDLE_DATA, so it never ends a chunk.
template <int LANES>
struct KeyLanes {
    static_assert(LANES <= 32, "lanes are bits of one word");

    const KeyJob* jobs;
    std::size_t count;
    ChunkKey* keys;
    std::size_t taken = 0;  // jobs handed to lanes so far
    std::uint32_t busy = 0;
    const std::uint8_t* next[LANES];  // where the lane's next segment starts
    std::uint32_t left[LANES];        // bytes of its chunk not yet absorbed
    std::size_t job_of[LANES];

    KeyLanes(const KeyJob* j, std::size_t n, ChunkKey* k) : jobs(j), count(n), keys(k) {
        for (int i = 0; i < LANES; ++i)
            take_next(i);
    }

    // Lane i's next segment: its length, with the lane moved past it; `ended` gets the lane's
    // bit when this is the chunk's last segment.
    std::uint32_t take_segment(int i, const std::uint8_t*& at, std::uint32_t& ended) {
        const std::uint32_t len = left[i] < DIGEST_SPAN ? left[i] : std::uint32_t(DIGEST_SPAN);
        at = next[i];
        next[i] += len;
        left[i] -= len;
        ended |= std::uint32_t(left[i] == 0) << i;
        return len;
    }

    // Lane i's chunk has had its final mix, which left `w` as its block's words 0..3: its key,
    // and the lane takes the next chunk or goes idle.
    void finish(int i, const std::uint32_t w[4]) {
        const std::size_t j = job_of[i];
        // Key bytes 0..13 from the block, 14..15 the length (x86 stores little-endian).
        const std::uint32_t key_words[4] = {w[0], w[1], w[2],
                                            (w[3] & 0xFFFF) | jobs[j].length << 16};
        std::memcpy(keys[j].bytes, key_words, sizeof key_words);
        busy &= ~(1u << i);
        take_next(i);
    }

    // One chunk left and no more to come: sixteen lanes would drag fifteen idle ones along, and
    // the one-chunk digest's chain is shorter still.
    bool alone() const { return taken == count && (busy & (busy - 1)) == 0; }

    // Finishes the lone lane i in scalar code, from `block`, its block after the mixes so far.
    // absorb(acc, at, len) XORs the len bytes at `at` into the 64-byte accumulator `acc`, bytes
    // len .. 63 untouched: each kernel does it with its own vector loads.
    template <class Absorb>
    void finish_alone(int i, const std::uint8_t block[64], Absorb absorb) {
        ChunkDigest d;
        std::memcpy(d.block, block, sizeof d.block);
        for (;;) {
            std::uint32_t ended = 0;
            const std::uint8_t* at;
            const std::uint32_t len = take_segment(i, at, ended);
            absorb(d.block, at, len);
            d.block[63] = std::uint8_t(len);
            if (ended) break;
            d.mix();
        }
        const std::size_t j = job_of[i];
        keys[j] = d.finish(jobs[j].length);
        busy &= ~(1u << i);
    }

  private:
    void take_next(int i) {
        if (taken < count) {
            next[i] = jobs[taken].data;
            left[i] = jobs[taken].length;
            job_of[i] = taken++;
            busy |= 1u << i;
        } else {
            next[i] = IDLE_DATA;
            left[i] = 0;
            job_of[i] = 0;
        }
    }
};

}  // namespace
}  // namespace chunksieve
