#include "chunking/chunk_digest.h"

#include <cstring>

#include "chunking/byte_order.h"

namespace chunksieve {

namespace {

constexpr std::uint32_t IV_A = 0x67452301, IV_B = 0xEFCDAB89, IV_C = 0x98BADCFE, IV_D = 0x10325476;

inline std::uint32_t rotl(std::uint32_t x, int s) {
    return (x << s) | (x >> (32 - s));
}

// One step: a = b + ((a + f(b,c,d) + m + t) <<< s), with f given as the already-computed value.
#define MD5_STEP(f, a, b, c, d, m, t, s) \
    do {                                 \
        a += f(b, c, d) + (m) + (t);     \
        a = rotl(a, s) + b;              \
    } while (0)

#define MD5_F(x, y, z) ((z) ^ ((x) & ((y) ^ (z))))
#define MD5_G(x, y, z) ((y) ^ ((z) & ((x) ^ (y))))
#define MD5_H(x, y, z) ((x) ^ (y) ^ (z))
#define MD5_I(x, y, z) ((y) ^ ((x) | ~(z)))

}  // namespace

void md5_compress_from_iv(const std::uint32_t m[16], std::uint32_t out[4]) {
    std::uint32_t a = IV_A, b = IV_B, c = IV_C, d = IV_D;

    MD5_STEP(MD5_F, a, b, c, d, m[0], 0xd76aa478, 7);
    MD5_STEP(MD5_F, d, a, b, c, m[1], 0xe8c7b756, 12);
    MD5_STEP(MD5_F, c, d, a, b, m[2], 0x242070db, 17);
    MD5_STEP(MD5_F, b, c, d, a, m[3], 0xc1bdceee, 22);
    MD5_STEP(MD5_F, a, b, c, d, m[4], 0xf57c0faf, 7);
    MD5_STEP(MD5_F, d, a, b, c, m[5], 0x4787c62a, 12);
    MD5_STEP(MD5_F, c, d, a, b, m[6], 0xa8304613, 17);
    MD5_STEP(MD5_F, b, c, d, a, m[7], 0xfd469501, 22);
    MD5_STEP(MD5_F, a, b, c, d, m[8], 0x698098d8, 7);
    MD5_STEP(MD5_F, d, a, b, c, m[9], 0x8b44f7af, 12);
    MD5_STEP(MD5_F, c, d, a, b, m[10], 0xffff5bb1, 17);
    MD5_STEP(MD5_F, b, c, d, a, m[11], 0x895cd7be, 22);
    MD5_STEP(MD5_F, a, b, c, d, m[12], 0x6b901122, 7);
    MD5_STEP(MD5_F, d, a, b, c, m[13], 0xfd987193, 12);
    MD5_STEP(MD5_F, c, d, a, b, m[14], 0xa679438e, 17);
    MD5_STEP(MD5_F, b, c, d, a, m[15], 0x49b40821, 22);

    MD5_STEP(MD5_G, a, b, c, d, m[1], 0xf61e2562, 5);
    MD5_STEP(MD5_G, d, a, b, c, m[6], 0xc040b340, 9);
    MD5_STEP(MD5_G, c, d, a, b, m[11], 0x265e5a51, 14);
    MD5_STEP(MD5_G, b, c, d, a, m[0], 0xe9b6c7aa, 20);
    MD5_STEP(MD5_G, a, b, c, d, m[5], 0xd62f105d, 5);
    MD5_STEP(MD5_G, d, a, b, c, m[10], 0x02441453, 9);
    MD5_STEP(MD5_G, c, d, a, b, m[15], 0xd8a1e681, 14);
    MD5_STEP(MD5_G, b, c, d, a, m[4], 0xe7d3fbc8, 20);
    MD5_STEP(MD5_G, a, b, c, d, m[9], 0x21e1cde6, 5);
    MD5_STEP(MD5_G, d, a, b, c, m[14], 0xc33707d6, 9);
    MD5_STEP(MD5_G, c, d, a, b, m[3], 0xf4d50d87, 14);
    MD5_STEP(MD5_G, b, c, d, a, m[8], 0x455a14ed, 20);
    MD5_STEP(MD5_G, a, b, c, d, m[13], 0xa9e3e905, 5);
    MD5_STEP(MD5_G, d, a, b, c, m[2], 0xfcefa3f8, 9);
    MD5_STEP(MD5_G, c, d, a, b, m[7], 0x676f02d9, 14);
    MD5_STEP(MD5_G, b, c, d, a, m[12], 0x8d2a4c8a, 20);

    MD5_STEP(MD5_H, a, b, c, d, m[5], 0xfffa3942, 4);
    MD5_STEP(MD5_H, d, a, b, c, m[8], 0x8771f681, 11);
    MD5_STEP(MD5_H, c, d, a, b, m[11], 0x6d9d6122, 16);
    MD5_STEP(MD5_H, b, c, d, a, m[14], 0xfde5380c, 23);
    MD5_STEP(MD5_H, a, b, c, d, m[1], 0xa4beea44, 4);
    MD5_STEP(MD5_H, d, a, b, c, m[4], 0x4bdecfa9, 11);
    MD5_STEP(MD5_H, c, d, a, b, m[7], 0xf6bb4b60, 16);
    MD5_STEP(MD5_H, b, c, d, a, m[10], 0xbebfbc70, 23);
    MD5_STEP(MD5_H, a, b, c, d, m[13], 0x289b7ec6, 4);
    MD5_STEP(MD5_H, d, a, b, c, m[0], 0xeaa127fa, 11);
    MD5_STEP(MD5_H, c, d, a, b, m[3], 0xd4ef3085, 16);
    MD5_STEP(MD5_H, b, c, d, a, m[6], 0x04881d05, 23);
    MD5_STEP(MD5_H, a, b, c, d, m[9], 0xd9d4d039, 4);
    MD5_STEP(MD5_H, d, a, b, c, m[12], 0xe6db99e5, 11);
    MD5_STEP(MD5_H, c, d, a, b, m[15], 0x1fa27cf8, 16);
    MD5_STEP(MD5_H, b, c, d, a, m[2], 0xc4ac5665, 23);

    MD5_STEP(MD5_I, a, b, c, d, m[0], 0xf4292244, 6);
    MD5_STEP(MD5_I, d, a, b, c, m[7], 0x432aff97, 10);
    MD5_STEP(MD5_I, c, d, a, b, m[14], 0xab9423a7, 15);
    MD5_STEP(MD5_I, b, c, d, a, m[5], 0xfc93a039, 21);
    MD5_STEP(MD5_I, a, b, c, d, m[12], 0x655b59c3, 6);
    MD5_STEP(MD5_I, d, a, b, c, m[3], 0x8f0ccc92, 10);
    MD5_STEP(MD5_I, c, d, a, b, m[10], 0xffeff47d, 15);
    MD5_STEP(MD5_I, b, c, d, a, m[1], 0x85845dd1, 21);
    MD5_STEP(MD5_I, a, b, c, d, m[8], 0x6fa87e4f, 6);
    MD5_STEP(MD5_I, d, a, b, c, m[15], 0xfe2ce6e0, 10);
    MD5_STEP(MD5_I, c, d, a, b, m[6], 0xa3014314, 15);
    MD5_STEP(MD5_I, b, c, d, a, m[13], 0x4e0811a1, 21);
    MD5_STEP(MD5_I, a, b, c, d, m[4], 0xf7537e82, 6);
    MD5_STEP(MD5_I, d, a, b, c, m[11], 0xbd3af235, 10);
    MD5_STEP(MD5_I, c, d, a, b, m[2], 0x2ad7d2bb, 15);
    MD5_STEP(MD5_I, b, c, d, a, m[9], 0xeb86d391, 21);

    out[0] = IV_A + a;
    out[1] = IV_B + b;
    out[2] = IV_C + c;
    out[3] = IV_D + d;
}

#undef MD5_STEP
#undef MD5_F
#undef MD5_G
#undef MD5_H
#undef MD5_I

void ChunkDigest::reset() {
    std::memset(block, 0, sizeof block);
}

void ChunkDigest::mix() {
    std::uint32_t m[16];
    for (int i = 0; i < 16; ++i)
        m[i] = load_le32(block + 4 * i);
    std::uint32_t out[4];
    md5_compress_from_iv(m, out);
    // Only words 0..3 take the compression's output; bytes 16..62 keep accumulating.
    for (int i = 0; i < 4; ++i)
        store_le32(block + 4 * i, m[i] ^ out[i]);
    block[63] = 0;
}

ChunkKey ChunkDigest::finish(std::uint32_t n) {
    mix();
    ChunkKey key;
    std::memcpy(key.bytes, block, 14);
    key.bytes[14] = std::uint8_t(n);
    key.bytes[15] = std::uint8_t(n >> 8);
    reset();
    return key;
}

ChunkKey chunk_key(const std::uint8_t* data, std::size_t n) {
    // Mix k covers bytes [63k, 63k + 63) and sees the segment's length in the fill counter;
    // a chunk of n bytes takes ceil(n / 63) mixes, the last of them the final one.
    ChunkDigest d;
    d.reset();
    std::size_t done = 0;
    do {
        const std::size_t len = n - done < DIGEST_SPAN ? n - done : DIGEST_SPAN;
        for (std::size_t i = 0; i < len; ++i)
            d.block[i] ^= data[done + i];
        d.block[63] = std::uint8_t(len);
        done += len;
        if (done < n) d.mix();
    } while (done < n);
    return d.finish(std::uint32_t(n));
}

}  // namespace chunksieve
