// The filter module: the whole filter in memory. Reference outputs, the request protocol as the
// driver sees it (reads, writes, their sizes) and failing reads and writes; each chunk-end rule
// pinned at its edge (the hash threshold, the minimum and maximum lengths, the marker and the
// tail register's restart, both fill bytes), through the per-byte loop and every kernel set this
// CPU runs, with literal expected outputs: records of the input's own bytes and their fill,
// worked out from the rules, never from the code's constants; the block loop with every kernel
// set against the per-byte loop, the same output bytes and the same reads and writes, whatever
// the input and however it arrives; and the limits of the block numbers the index stores, which
// neither wrap at 2^32 nor, past 2^40 blocks, turn into the 0 that marks an empty slot.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "chunking/kernels.h"
#include "filter/dedup_filter.h"
#include "index/fingerprint_index.h"
#include "test_support.h"

namespace chunksieve {
namespace {

using test::Bytes;
using test::MARKER;

using test::cat;
using test::key_at;

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
// buffer is written at once, and no empty write follows it.
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
    EXPECT_EQ(io.writes, (std::vector<std::size_t>{65536}));
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
    const Bytes input = test::repeated(test::lcg_stream(30000), 60000);
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

// ---- each chunk-end rule at its edge ----

// One output record: `length` input bytes from offset `from`, then `fill_count` bytes `fill`.
struct Record {
    std::size_t from, length;
    std::uint8_t fill;
    std::size_t fill_count;
};

struct Case {
    const char* name;  // of the input, in test_inputs.h
    std::size_t input_size;
    std::vector<Record> output;
};

void PrintTo(const Case& c, std::ostream* os) {
    *os << c.name;
}

const Case CASES[] = {
    // The window's hash is 0x01A16D3E, one below the threshold: an end at 100 bytes.
    {"below-threshold-at-100", 100, {{0, 100, 0x2E, 28}}},
    // Exactly 0x01A16D3F is no end; the chunk runs on to the window below, 24 bytes later.
    {"at-threshold-at-100", 124, {{0, 124, 0x2E, 4}}},
    // A window below the threshold at 99 bytes is too early; the same window again ends it.
    {"hash-end-at-99", 111, {{0, 111, 0x2E, 17}}},
    {"hash-end-at-128", 128, {{0, 128, 0x2E, 0}}},
    // Varied bytes that never hash below the threshold: only the maximum length ends them.
    {"maximum-65535", 65535, {{0, 65535, 0x3B, 1}}},
    {"short-of-maximum-65534", 65534, {}},
    {"marker-first", 54, {{0, 4, 0x00, 60}}},
    // A chunk end after 99 19 restarts the tail: D3 FF do not complete that marker, and the
    // next marker ends a chunk of 6 bytes, D3 FF 99 19 D3 FF.
    {"marker-straddles-hash-end", 106, {{0, 100, 0x19, 28}, {100, 6, 0x00, 58}}},
    {"marker-straddles-maximum-end", 65541, {{0, 65535, 0x19, 1}, {65535, 6, 0x00, 58}}},
};

class PinnedRule : public testing::TestWithParam<Case> {};

TEST_P(PinnedRule, OutputIsExact) {
    const Case& c = GetParam();
    Bytes input;
    ASSERT_TRUE(test::pinned_input(c.name, input));
    ASSERT_EQ(input.size(), c.input_size);
    Bytes expect;
    for (const Record& r : c.output) {
        expect.insert(expect.end(), input.begin() + std::ptrdiff_t(r.from),
                      input.begin() + std::ptrdiff_t(r.from + r.length));
        expect.insert(expect.end(), r.fill_count, r.fill);
    }
    std::vector<const ChunkingKernels*> ways = {nullptr};  // nullptr: the per-byte loop
    for (const ChunkingKernels* k : test::runnable_kernel_sets())
        ways.push_back(k);
    for (const ChunkingKernels* k : ways) {
        auto f = test::make_filter();
        f->kernels = k;
        MemoryIo io(input);
        ASSERT_EQ(run_filter(*f, io), RunStatus::complete);
        EXPECT_EQ(io.output, expect) << (k ? k->name : "per-byte loop");
    }
}

INSTANTIATE_TEST_SUITE_P(Rules, PinnedRule, testing::ValuesIn(CASES),
                         [](const testing::TestParamInfo<Case>& info) {
                             std::string name = info.param.name;
                             for (char& ch : name)
                                 if (ch == '-') ch = '_';
                             return name;
                         });

// ---- the block loop with every kernel set against the per-byte loop ----

struct Outcome {
    Bytes output;
    std::vector<std::size_t> reads, writes;
    FilterCounts counts;
};

Outcome run_with(const ChunkingKernels* kernels, const Bytes& input, std::size_t piece) {
    auto f = test::make_filter();
    f->kernels = kernels;
    test::MemoryIo io(input, piece);
    EXPECT_EQ(run_filter(*f, io), RunStatus::complete);
    return Outcome{io.output, io.reads, io.writes, f->counts};
}

// Random data in which earlier stretches come back, shifted and slightly edited, as in backups.
Bytes with_duplicates(std::size_t n, std::uint64_t seed) {
    std::mt19937_64 rng(seed);
    Bytes out = test::random_bytes(n / 4, seed);
    while (out.size() < n) {
        const std::size_t len = 1000 + rng() % 20000;
        const std::size_t from = rng() % (out.size() - std::min(out.size(), len) + 1);
        Bytes copy(out.begin() + from, out.begin() + std::min(out.size(), from + len));
        if (!copy.empty() && rng() % 2) copy[rng() % copy.size()] ^= 0x5A;
        out.insert(out.end(), copy.begin(), copy.end());
        if (rng() % 3 == 0) {
            const Bytes fresh = test::random_bytes(rng() % 3000, rng());
            out.insert(out.end(), fresh.begin(), fresh.end());
        }
    }
    out.resize(n);
    return out;
}

Bytes markers_every(std::size_t n, std::size_t gap_max, std::uint64_t seed) {
    std::mt19937_64 rng(seed);
    Bytes out;
    while (out.size() < n) {
        const Bytes r = test::random_bytes(rng() % gap_max, rng());
        out.insert(out.end(), r.begin(), r.end());
        out.insert(out.end(), MARKER.begin(), MARKER.end());
    }
    return out;
}

// Markers whose bytes straddle each seam between 65,536-byte blocks, one shift per seam.
Bytes markers_at_seams() {
    Bytes out = test::random_bytes(8 * 65536, 99);
    for (std::size_t seam = 1; seam < 8; ++seam)
        for (std::size_t k = 0; k < 4; ++k)
            out[seam * 65536 - 4 + seam % 5 + k] = MARKER[k];
    return out;
}

struct Input {
    std::string name;
    Bytes data;
};

std::vector<Input> inputs() {
    std::vector<Input> v;
    v.push_back({"duplicates", with_duplicates(600000, 1)});
    v.push_back({"lcg", test::lcg_stream(300000)});
    v.push_back({"dense markers", markers_every(200000, 120, 2)});
    v.push_back({"sparse markers", markers_every(300000, 5000, 3)});
    v.push_back({"markers at seams", markers_at_seams()});
    Bytes runs(200000, 0);
    runs.insert(runs.end(), 140000, 0xAB);
    const Bytes r = test::random_bytes(30000, 4);
    runs.insert(runs.end(), r.begin(), r.end());
    v.push_back({"one-value runs", runs});
    Bytes marker_at_max(65531, 0);  // the marker completes exactly at the maximum length
    marker_at_max.insert(marker_at_max.end(), MARKER.begin(), MARKER.end());
    marker_at_max.insert(marker_at_max.end(), 70000, 0);
    v.push_back({"marker at the maximum length", marker_at_max});
    v.push_back({"short", test::random_bytes(150, 5)});
    // Long chunks held back until the lanes fill: released once enough short chunks follow, once
    // the held chunks reach their number limit (16,384 marker chunks a block), and once the held
    // bytes reach theirs (65,535 bytes, then chunks of 30,000 ended by markers).
    Bytes long_then_short;
    for (std::uint8_t v = 1; v <= 6; ++v) {
        long_then_short.insert(long_then_short.end(), 70000 + 9000 * v, v);
        const Bytes r = test::random_bytes(60000 * v, v);
        long_then_short.insert(long_then_short.end(), r.begin(), r.end());
    }
    v.push_back({"long chunks among short ones", long_then_short});
    Bytes long_then_markers;
    for (int round = 0; round < 2; ++round) {
        long_then_markers.insert(long_then_markers.end(), 65535, std::uint8_t(round));
        for (int i = 0; i < 40000; ++i)
            long_then_markers.insert(long_then_markers.end(), MARKER.begin(), MARKER.end());
    }
    v.push_back({"long chunks, then markers only", long_then_markers});
    Bytes long_then_30000(70000, 0);
    for (int i = 0; i < 40; ++i) {
        long_then_30000.insert(long_then_30000.end(), 29996, std::uint8_t(i + 1));
        long_then_30000.insert(long_then_30000.end(), MARKER.begin(), MARKER.end());
    }
    v.push_back({"a long chunk, then chunks of 30,000", long_then_30000});
    return v;
}

TEST(Engine, EveryKernelSetMatchesThePlainLoop) {
    const auto sets = test::runnable_kernel_sets();
    for (const Input& in : inputs()) {
        const Outcome plain = run_with(nullptr, in.data, STREAM_BLOCK);
        // The counts account for every byte in and out.
        const FilterCounts& c = plain.counts;
        EXPECT_EQ(c.chunk_bytes + c.tail_bytes, in.data.size()) << in.name;
        EXPECT_EQ(c.new_bytes + c.fill_bytes, plain.output.size()) << in.name;
        for (const ChunkingKernels* k : sets) {
            const Outcome fast = run_with(k, in.data, STREAM_BLOCK);
            EXPECT_EQ(fast.output, plain.output) << in.name << " with " << k->name;
            EXPECT_EQ(fast.writes, plain.writes) << in.name << " with " << k->name;
            EXPECT_TRUE(fast.counts == plain.counts) << in.name << " with " << k->name;
        }
    }
}

// Short refills: chunks spanning two and three blocks, blocks shorter than the scan's history,
// blocks of one byte.
TEST(Engine, RefillSizesDoNotChangeTheOutput) {
    const Bytes input = with_duplicates(300000, 7);
    const Outcome expect = run_with(nullptr, input, STREAM_BLOCK);
    for (const ChunkingKernels* k : test::runnable_kernel_sets())
        for (std::size_t piece : {1u, 5u, 15u, 17u, 999u, 30000u, 65535u}) {
            const Outcome got = run_with(k, input, piece);
            EXPECT_EQ(got.output, expect.output) << k->name << " piece " << piece;
            EXPECT_TRUE(got.counts == expect.counts) << k->name << " piece " << piece;
        }
}

// ---- the limits of the block numbers ----

constexpr std::uint64_t LARGEST = 0xFF'FFFF'FFFF;  // 2^40 - 1, the largest value a slot holds

TEST(Hardening, BlockNumbersAreExactUpTo40BitsThenStay) {
    const std::uint64_t block = 64;  // bytes
    struct Case {
        std::uint64_t total;  // padded bytes of all chunks before this one
        std::uint64_t number;
    };
    const Case cases[] = {
        {0, 1},
        {block, 2},
        {std::uint64_t(1) << 32, (std::uint64_t(1) << 26) + 1},            // past 4 GiB of chunks
        {(std::uint64_t(1) << 32) * block, (std::uint64_t(1) << 32) + 1},  // numbers past 32 bits
        {(LARGEST - 1) * block, LARGEST},                                  // the last exact number
        {LARGEST * block, LARGEST},  // 2^40 would be stored as 0: an empty slot
        {~std::uint64_t(0), LARGEST},
    };
    for (const Case& c : cases)
        EXPECT_EQ(block_number(c.total), c.number) << c.total;
}

// A chunk met after 2^40 - 1 blocks is stored and found again like any other.
TEST(Hardening, ChunkPast40BitsOfBlocksIsFoundAgain) {
    FingerprintIndex index;
    ASSERT_TRUE(index.create());
    const ChunkKey k = key_at(5000, 1);
    EXPECT_EQ(index.lookup_or_insert(k, block_number(LARGEST * 64)), 0u);
    EXPECT_EQ(index.lookup_or_insert(k, 0), 1u);
}

}  // namespace
}  // namespace chunksieve
