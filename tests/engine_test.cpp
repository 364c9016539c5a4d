// The block engine, with every kernel set this CPU runs, against the plain per-byte loop: the
// same output bytes and the same reads and writes, whatever the input and however it arrives.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "chunking/kernels.h"
#include "test_support.h"

namespace chunksieve {
namespace {

using test::Bytes;
using test::MARKER;

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

TEST(Engine, PortableSetIsAlwaysAvailable) {
    EXPECT_TRUE(kernels_supported(portable_kernels()));
    EXPECT_EQ(compiled_kernels().back(), &portable_kernels());
    EXPECT_EQ(kernels_named("portable"), &portable_kernels());
    EXPECT_TRUE(kernels_supported(best_kernels()));
}

}  // namespace
}  // namespace chunksieve
