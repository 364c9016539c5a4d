// The rolling hash against a plain bitwise CRC-32, and the chunk digest against known keys.
#include <gtest/gtest.h>

#include <cstring>

#include "chunking/chunk_digest.h"
#include "chunking/rolling_hash.h"
#include "test_support.h"

namespace chunksieve {
namespace {

using test::Bytes;

// Standard CRC-32 (ISO-HDLC), bit by bit: nothing shared with the table-driven code.
std::uint32_t crc32_bitwise(const std::uint8_t* p, std::size_t n) {
    std::uint32_t c = 0xFFFFFFFFu;
    for (std::size_t i = 0; i < n; ++i) {
        c ^= p[i];
        for (int k = 0; k < 8; ++k)
            c = (c >> 1) ^ (0xEDB88320u & (0u - (c & 1)));
    }
    return ~c;
}

TEST(RollingHash, TablesAndStartValue) {
    RollingHash rh;
    rh.init();
    EXPECT_EQ(rh.push_table[0], 0xD202EF8Du);
    EXPECT_EQ(rh.push_table[1], 0xA505DF1Bu);
    EXPECT_EQ(rh.push_table[255], 0xFF000000u);
    EXPECT_EQ(rh.pop_table[0], 0x74A180EDu);
    EXPECT_EQ(rh.pop_table[1], 0xA9375968u);
    EXPECT_EQ(rh.value(), HASH_OF_ZERO_WINDOW);
    const std::uint8_t zeros[12] = {};
    EXPECT_EQ(crc32_bitwise(zeros, 12), HASH_OF_ZERO_WINDOW);
}

// After every byte the hash is the CRC-32 of the last 12 bytes, zero bytes standing in before
// the stream's start (so the first 11 positions are covered too), across ring wrap-around.
TEST(RollingHash, EqualsCrcOfLastTwelveBytes) {
    for (std::uint64_t seed : {1u, 2u, 3u}) {
        const Bytes data = test::random_bytes(3000, seed);
        Bytes padded(12, 0);
        padded.insert(padded.end(), data.begin(), data.end());
        RollingHash rh;
        rh.init();
        for (std::size_t i = 0; i < data.size(); ++i) {
            rh.push(data[i]);
            ASSERT_EQ(rh.value(), crc32_bitwise(&padded[i + 1], 12))
                << "seed " << seed << " at " << i;
            ASSERT_EQ(window_hash(&padded[i + 13]), rh.value());
            ASSERT_EQ(window_hash_sliced(&padded[i + 13]), rh.value());
        }
    }
}

TEST(RollingHash, ZeroStreamKeepsZeroWindowHash) {
    RollingHash rh;
    rh.init();
    for (int i = 0; i < 1000; ++i) {
        rh.push(0);
        ASSERT_EQ(rh.value(), HASH_OF_ZERO_WINDOW);
    }
}

ChunkKey key_of(const char* hex16) {
    ChunkKey k;
    for (int i = 0; i < 16; ++i) {
        unsigned v;
        std::sscanf(hex16 + 3 * i, "%2x", &v);
        k.bytes[i] = std::uint8_t(v);
    }
    return k;
}

ChunkKey absorb_all(const Bytes& data) {
    ChunkDigest d;
    d.reset();
    for (auto b : data)
        d.absorb(b);
    return d.finish(std::uint32_t(data.size()));
}

TEST(ChunkDigest, MixOfZeroBlock) {
    ChunkDigest d;
    d.reset();
    d.mix();
    const ChunkKey expect = key_of("ac 1d 1f 03 d0 8e a5 6e b7 67 ab 1f 91 77 31 74");
    EXPECT_EQ(std::memcmp(d.block, expect.bytes, 16), 0);
    for (int i = 16; i < 64; ++i)
        EXPECT_EQ(d.block[i], 0) << i;
}

TEST(ChunkDigest, KnownKeys) {
    struct Case {
        Bytes data;
        const char* key;
    };
    const Case cases[] = {
        {{0x61, 0x62, 0x63}, "a2 98 ff de 27 c0 65 73 a8 15 f7 5c 8a 41 03 00"},
        {Bytes(65535, 0), "f7 77 40 d8 d6 09 b9 ee 7a cc 72 61 fa 45 ff ff"},
        {Bytes(65535, 1), "3d 39 c6 d8 bc 64 ec 15 4a 10 5f 48 ad 24 ff ff"},
        {{0x99, 0x19, 0xD3, 0xFF}, "64 46 70 8b 5b 9b 08 fb af 01 92 e4 fc 0b 04 00"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(absorb_all(c.data), key_of(c.key)) << c.key;
        EXPECT_EQ(chunk_key(c.data.data(), c.data.size()), key_of(c.key)) << c.key;
    }
}

// 63 bytes fill the accumulator once: one mix, at the end. The 64th byte forces a second.
TEST(ChunkDigest, MixCountAtSegmentEdge) {
    const Bytes data = test::random_bytes(64, 7);
    ChunkDigest manual;
    manual.reset();
    std::memcpy(manual.block, data.data(), 63);
    manual.block[63] = 63;
    const ChunkKey k63 = manual.finish(63);
    EXPECT_EQ(absorb_all(Bytes(data.begin(), data.begin() + 63)), k63);

    manual.reset();
    std::memcpy(manual.block, data.data(), 63);
    manual.block[63] = 63;
    manual.mix();
    manual.block[0] ^= data[63];
    manual.block[63] = 1;
    EXPECT_EQ(absorb_all(data), manual.finish(64));
}

// The one-shot form agrees with byte-by-byte absorption; the block is reset after finish.
TEST(ChunkDigest, OneShotMatchesStreaming) {
    const Bytes data = test::random_bytes(65535, 11);
    ChunkDigest d;
    d.reset();
    std::size_t offset = 0;
    for (std::size_t n : {1u, 2u, 62u, 63u, 64u, 65u, 125u, 126u, 127u, 189u, 1000u, 4000u}) {
        for (std::size_t i = 0; i < n; ++i)
            d.absorb(data[offset + i]);
        ASSERT_EQ(d.finish(std::uint32_t(n)), chunk_key(&data[offset], n)) << n;
        offset += n;
    }
    EXPECT_EQ(absorb_all(data), chunk_key(data.data(), data.size()));
}

TEST(ChunkDigest, LengthIsPartOfTheKey) {
    // Same accumulator content, different lengths: trailing zero bytes change only the length.
    const Bytes a = {1, 2, 3};
    const Bytes b = {1, 2, 3, 0};
    const ChunkKey ka = chunk_key(a.data(), a.size()), kb = chunk_key(b.data(), b.size());
    EXPECT_NE(ka, kb);
    EXPECT_EQ(ka.bytes[14], 3);
    EXPECT_EQ(kb.bytes[14], 4);
}

}  // namespace
}  // namespace chunksieve
