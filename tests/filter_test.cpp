// The whole filter in memory: reference outputs, the request protocol as the driver sees it
// (reads, writes, their sizes) and failing reads and writes. Each chunk-end rule at its edge is
// in pinned_rules_test.cpp.
#include <gtest/gtest.h>

#include "test_support.h"

namespace chunksieve {
namespace {

using test::Bytes;
using test::MARKER;

using test::cat;

TEST(Filter, ReferenceOutputsOfSmallInputs) {
    struct Case {
        const char* name;
        Bytes input;
        Bytes expect;
    };
    const Case cases[] = {
        {"empty", {}, {}},
        {"under 100 bytes, no marker", Bytes(99, 7), {}},
        {"marker repeated", cat({MARKER, MARKER, MARKER}), cat({MARKER, Bytes(60, 0)})},
        {"maximum length, fill 0x01", Bytes(70000, 1), Bytes(65536, 1)},
        {"two equal maximum chunks", Bytes(131070, 0), Bytes(65536, 0)},
    };
    for (const auto& c : cases)
        EXPECT_EQ(test::run_in_memory(c.input), c.expect) << c.name;
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
