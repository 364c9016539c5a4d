// ChunkDigest and ChunkKey: a chunk condensed, while it streams past, into 16 bytes.
//
// The 64-byte block holds an accumulator (bytes 0..62) that input bytes are XORed into in turn,
// and a fill counter (byte 63). Each time 63 bytes have been absorbed, and once more when the
// chunk ends, the block is mixed: the MD5 compression function (RFC 1321), always from the MD5
// initial values, runs over the block's 16 little-endian words and its four output words are
// XORed into words 0..3. MD5's own padding and length encoding are not used.
#pragma once

#include <cstddef>
#include <cstdint>

namespace chunksieve {

// Bytes 0..13: block bytes 0..13 after the chunk's final mix.
// Bytes 14..15: the chunk length, 16-bit little-endian (1 .. MAX_CHUNK_LENGTH).
// Bytes 0..3, as a little-endian number, choose the key's home slot in the index.
struct ChunkKey {
    std::uint8_t bytes[16];

    friend bool operator==(const ChunkKey&, const ChunkKey&) = default;
};
static_assert(sizeof(ChunkKey) == 16);

// Bytes absorbed between two mixes: the accumulator's width.
inline constexpr std::size_t DIGEST_SPAN = 63;

// The MD5 compression function of RFC 1321 from the initial chaining values
// 67452301 EFCDAB89 98BADCFE 10325476, feed-forward included: out = IV + compress(IV, m).
void md5_compress_from_iv(const std::uint32_t m[16], std::uint32_t out[4]);

struct ChunkDigest {
    std::uint8_t block[64];  // bytes 0..62 accumulator, byte 63 fill counter (0..63)

    void reset();
    void absorb(std::uint8_t b) {
        if (block[63] == DIGEST_SPAN) mix();
        const std::uint8_t p = block[63];
        block[p] ^= b;
        block[63] = std::uint8_t(p + 1);
    }
    void mix();
    // Ends a chunk of n bytes: one final mix, the key, and the block reset for the next chunk.
    ChunkKey finish(std::uint32_t n);
};

// The key of the n bytes at data (1 <= n <= 65535), as ChunkDigest would give after absorbing
// them one by one; a whole segment at a time.
ChunkKey chunk_key(const std::uint8_t* data, std::size_t n);

}  // namespace chunksieve
