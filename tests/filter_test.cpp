// The whole filter in memory: chunk-end rules, fill bytes, the request protocol as the driver
// sees it (reads, writes, their sizes) and failing reads and writes.
#include <gtest/gtest.h>

#include <cstring>

#include "chunking/rolling_hash.h"
#include "test_support.h"

namespace chunksieve {
namespace {

using test::Bytes;
using test::MARKER;

Bytes cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const auto& p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

// Hash after the byte at `data[i]`, zero bytes before the start.
std::uint32_t hash_at(const Bytes& data, std::size_t i) {
    std::uint8_t window[HASH_WINDOW] = {};
    for (std::size_t k = 0; k < HASH_WINDOW; ++k)
        if (i + 1 + k >= HASH_WINDOW) window[k] = data[i + 1 + k - HASH_WINDOW];
    return window_hash(window + HASH_WINDOW);
}

// A chunk whose hash first falls below the threshold at exactly `length` bytes (>= 100), ending
// in `last`; found by varying the bytes just before the end.
Bytes chunk_ending_by_hash(std::size_t length, std::uint8_t last, std::uint64_t seed) {
    for (std::uint64_t attempt = 0;; ++attempt) {
        Bytes c = test::random_bytes(length, seed * 1000003 + attempt);
        c.back() = last;
        bool ok = hash_at(c, length - 1) < HASH_THRESHOLD;
        for (std::size_t i = MIN_CHUNK_LENGTH - 1; ok && i + 1 < length; ++i)
            ok = hash_at(c, i) >= HASH_THRESHOLD;
        for (std::size_t i = 3; ok && i < length; ++i)
            ok = std::memcmp(&c[i - 3], MARKER.data(), 4) != 0;
        if (ok) return c;
    }
}

TEST(Filter, ReferenceOutputsOfSmallInputs) {
    struct Case {
        const char* name;
        Bytes input;
        Bytes expect;
    };
    const Bytes hash100 = chunk_ending_by_hash(100, 0x41, 1);
    const Bytes hash128 = chunk_ending_by_hash(128, 0x17, 2);
    const Case cases[] = {
        {"empty", {}, {}},
        {"under 100 bytes, no marker", Bytes(99, 7), {}},
        {"marker first", cat({MARKER, Bytes(50, 0)}), cat({MARKER, Bytes(60, 0)})},
        {"marker repeated", cat({MARKER, MARKER, MARKER}), cat({MARKER, Bytes(60, 0)})},
        {"hash end at 100 fills with the last byte", hash100, cat({hash100, Bytes(28, 0x41)})},
        {"128 bytes need no fill", hash128, hash128},
        {"maximum length, fill 0x01", Bytes(70000, 1), Bytes(65536, 1)},
        {"two equal maximum chunks", Bytes(131070, 0), Bytes(65536, 0)},
    };
    for (const auto& c : cases)
        EXPECT_EQ(test::run_in_memory(c.input), c.expect) << c.name;
}

// A below-threshold hash before the 100th byte does not end a chunk; a marker does, at any length.
TEST(Filter, MinimumLengthGatesOnlyTheHash) {
    Bytes early;
    for (std::uint64_t seed = 0;; ++seed) {
        early = test::random_bytes(60, seed);
        bool marker = false;
        for (std::size_t i = 3; i < early.size(); ++i)
            marker = marker || std::memcmp(&early[i - 3], MARKER.data(), 4) == 0;
        if (!marker && hash_at(early, 49) < HASH_THRESHOLD) break;
    }
    const Bytes tail = chunk_ending_by_hash(100, 0x33, 3);
    // The 60 bytes plus the tail's first 40 reach 100 bytes; the tail's own hash end comes later.
    const Bytes input = cat({early, tail});
    const Bytes out = test::run_in_memory(input);
    ASSERT_GE(out.size(), 128u);  // the first chunk is at least 100 bytes long
    EXPECT_TRUE(std::equal(early.begin(), early.end(), out.begin()));  // no end at byte 50
}

// The tail register restarts with each chunk: a marker cut by a chunk end is not seen, and a
// marker wholly inside the next chunk is.
TEST(Filter, MarkerStraddlingAChunkEnd) {
    const Bytes first = cat({Bytes(65533, 0), {0x99, 0x19}});  // ends at the maximum length
    ASSERT_GE(hash_at(first, 65533), HASH_THRESHOLD);
    ASSERT_GE(hash_at(first, 65534), HASH_THRESHOLD);
    const Bytes input = cat({first, {0xD3, 0xFF}, MARKER});
    const Bytes expect = cat({first, {0x19}, {0xD3, 0xFF}, MARKER, Bytes(58, 0)});
    EXPECT_EQ(test::run_in_memory(input), expect);
}

// 1,024 distinct 64-byte marker chunks fill the output buffer exactly at a chunk's end: the full
// buffer is written at once and the final write is empty.
TEST(Filter, OutputBufferFilledExactlyAtAChunkEnd) {
    Bytes input;
    for (std::uint32_t i = 0; i < 1024; ++i) {
        Bytes c(60, 0);
        c[0] = std::uint8_t(i);
        c[1] = std::uint8_t(i >> 8);
        input.insert(input.end(), c.begin(), c.end());
        input.insert(input.end(), MARKER.begin(), MARKER.end());
    }
    auto f = test::make_filter();
    test::MemoryIo io(input);
    ASSERT_EQ(run_filter(*f, io), RunStatus::complete);
    EXPECT_EQ(io.output, input);
    EXPECT_EQ(io.writes, (std::vector<std::size_t>{65536, 0}));
}

TEST(Filter, ReadsAndWritesOfAStream) {
    struct Case {
        std::size_t input_size;
        std::vector<std::size_t> reads;
    };
    const Case cases[] = {
        {0, {0}},
        {65536, {65536, 0}},
        {100000, {65536, 34464, 0}},
    };
    for (const auto& c : cases) {
        const Bytes input = test::lcg_stream(c.input_size);
        auto f = test::make_filter();
        test::MemoryIo io(input);
        ASSERT_EQ(run_filter(*f, io), RunStatus::complete);
        EXPECT_EQ(io.reads, c.reads) << c.input_size;
        for (std::size_t i = 0; i + 1 < io.writes.size(); ++i)
            EXPECT_EQ(io.writes[i], 65536u);
        EXPECT_EQ(io.output.size() % 64, 0u);
    }
    // Stream S, 100,000 bytes: one full-buffer write, then the last 46,528 bytes.
    const Bytes s = test::lcg_stream(100000);
    auto f = test::make_filter();
    test::MemoryIo io(s);
    ASSERT_EQ(run_filter(*f, io), RunStatus::complete);
    EXPECT_EQ(io.writes, (std::vector<std::size_t>{65536, 46528}));
}

// Short refills, as pipes deliver them, change nothing in the output.
TEST(Filter, PieceSizeDoesNotMatter) {
    Bytes input = test::lcg_stream(30000);
    input.insert(input.end(), input.begin(), input.end());
    const Bytes whole = test::run_in_memory(input);
    EXPECT_EQ(whole.size(), 33984u);
    for (std::size_t piece : {1u, 3u, 64u, 4095u})
        EXPECT_EQ(test::run_in_memory(input, piece), whole) << piece;
}

TEST(Filter, FailedReadOrWriteEndsTheRun) {
    const Bytes input = test::lcg_stream(200000);
    for (int at : {0, 1, 3}) {
        auto f = test::make_filter();
        test::MemoryIo io(input);
        io.fail_read_at = at;
        EXPECT_EQ(run_filter(*f, io), RunStatus::read_failed) << at;
        EXPECT_EQ(int(io.reads.size()), at);
        if (at == 0) {
            EXPECT_TRUE(io.writes.empty());
        }
    }
    for (int at : {0, 1, 3}) {
        auto f = test::make_filter();
        test::MemoryIo io(input);
        io.fail_write_at = at;
        EXPECT_EQ(run_filter(*f, io), RunStatus::write_failed) << at;
        EXPECT_EQ(int(io.writes.size()), at);
    }
}

}  // namespace
}  // namespace chunksieve
