// The chunk-end kernels of every set this CPU can run, against byte-by-byte definitions: marker
// masks must be exact, hash candidates must include every position whose window hash is below
// the threshold (the portable set's exactly those).
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <cstring>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "chunking/chunk_rules.h"
#include "chunking/kernels.h"
#include "chunking/rolling_hash.h"
#include "test_support.h"

namespace chunksieve {
namespace {

using test::Bytes;
using test::MARKER;

std::uint64_t marker_reference(const std::uint8_t* p) {
    std::uint64_t m = 0;
    for (int i = 0; i < 64; ++i)
        if (std::equal(MARKER.begin(), MARKER.end(), p + i - 3)) m |= std::uint64_t(1) << i;
    return m;
}

std::uint64_t hash_end_reference(const std::uint8_t* p) {
    std::uint64_t m = 0;
    for (int i = 0; i < 64; ++i)
        if (window_hash(p + i + 1) < HASH_THRESHOLD) m |= std::uint64_t(1) << i;
    return m;
}

// `bytes` copied so that bytes[KERNEL_HISTORY] is 64-byte aligned. Every start from there to
// the last that leaves 64 positions and the read slack is a call: all alignments, every byte in
// every lane, and history bytes that are the stream's own.
class Starts {
  public:
    explicit Starts(const Bytes& bytes) {
        storage_.reserve(bytes.size() + 64);  // no reallocation below: the padding stays right
        const auto addr = reinterpret_cast<std::uintptr_t>(storage_.data()) + KERNEL_HISTORY;
        const std::size_t pad = (64 - addr % 64) % 64;
        storage_.resize(pad);
        storage_.insert(storage_.end(), bytes.begin(), bytes.end());
        first_ = storage_.data() + pad + KERNEL_HISTORY;
        const std::size_t needed = KERNEL_HISTORY + 64 + KERNEL_READ_SLACK;
        count_ = bytes.size() >= needed ? bytes.size() - needed + 1 : 0;
    }
    std::size_t count() const { return count_; }
    const std::uint8_t* operator[](std::size_t i) const { return first_ + i; }

  private:
    Bytes storage_;
    const std::uint8_t* first_;
    std::size_t count_;
};

// Random windows whose hash is below the threshold, spliced into random bytes `gap` apart: a
// chunk end after each, in every lane at some start.
Bytes with_hash_ends(std::size_t n, std::size_t gap, std::uint64_t seed) {
    Bytes out = test::random_bytes(n, seed);
    std::mt19937_64 rng(seed);
    std::uint8_t window[HASH_WINDOW];
    for (std::size_t at = 0; at + HASH_WINDOW <= n; at += gap) {
        do
            for (auto& b : window)
                b = std::uint8_t(rng());
        while (window_hash(window + HASH_WINDOW) >= HASH_THRESHOLD);
        std::copy(window, window + HASH_WINDOW, out.begin() + std::ptrdiff_t(at));
    }
    return out;
}

Bytes repeated(const Bytes& pattern, std::size_t n) {
    Bytes out;
    while (out.size() < n)
        out.insert(out.end(), pattern.begin(), pattern.end());
    out.resize(n);
    return out;
}

struct Input {
    const char* name;
    Bytes (*make)();
};

void PrintTo(const Input& input, std::ostream* os) {
    *os << input.name;
}

const Input INPUTS[] = {
    {"random", [] { return test::random_bytes(2048, 1); }},
    {"zeros", [] { return Bytes(512, 0); }},
    // Back-to-back markers, so that some straddle p[-3] .. p[0] at every start.
    {"markers", [] { return repeated(MARKER, 512); }},
    // Only marker bytes, in random order: markers, and many near misses that differ from one
    // in a single position.
    {"marker_bytes",
     [] {
         Bytes out = test::random_bytes(4096, 2);
         for (auto& b : out)
             b = MARKER[b & 3];
         return out;
     }},
    // A run of every byte value, longer than a window, in a shuffled order.
    {"runs",
     [] {
         std::array<std::uint8_t, 256> values;
         std::iota(values.begin(), values.end(), std::uint8_t(0));
         std::shuffle(values.begin(), values.end(), std::mt19937_64(3));
         Bytes out;
         for (std::uint8_t v : values)
             out.insert(out.end(), 20, v);
         return out;
     }},
    // Random bytes broken by zero runs of 1 to 40 bytes.
    {"zero_runs",
     [] {
         Bytes out = test::random_bytes(4096, 4);
         const Bytes lengths = test::random_bytes(64, 5);
         for (std::size_t i = 0; i < lengths.size(); ++i)
             std::fill_n(out.begin() + std::ptrdiff_t(i * 64), 1 + lengths[i] % 40, 0);
         return out;
     }},
    {"hash_ends", [] { return with_hash_ends(4096, 13, 6); }},
    {"dense_hash_ends", [] { return with_hash_ends(1024, HASH_WINDOW, 7); }},
};

class ChunkEndKernels : public testing::TestWithParam<Input> {};

TEST_P(ChunkEndKernels, MarkerMaskIsExact) {
    const Bytes bytes = GetParam().make();
    const Starts starts(bytes);
    ASSERT_GT(starts.count(), 0u);
    for (const ChunkingKernels* k : test::runnable_kernel_sets()) {
        for (std::size_t s = 0; s < starts.count(); ++s) {
            ASSERT_EQ(k->marker_mask64(starts[s]), marker_reference(starts[s]))
                << k->name << " at start " << s;
        }
    }
}

TEST_P(ChunkEndKernels, HashCandidatesIncludeEveryHashEnd) {
    const Bytes bytes = GetParam().make();
    const Starts starts(bytes);
    ASSERT_GT(starts.count(), 0u);
    for (const ChunkingKernels* k : test::runnable_kernel_sets()) {
        const bool exact = k == &portable_kernels();
        for (std::size_t s = 0; s < starts.count(); ++s) {
            const std::uint64_t ends = hash_end_reference(starts[s]);
            const std::uint64_t candidates = k->hash_candidates64(starts[s]);
            if (exact)
                ASSERT_EQ(candidates, ends) << k->name << " at start " << s;
            else
                ASSERT_EQ(ends & ~candidates, 0u) << k->name << " misses ends at start " << s;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Inputs, ChunkEndKernels, testing::ValuesIn(INPUTS),
                         [](const testing::TestParamInfo<Input>& info) {
                             return std::string(info.param.name);
                         });

// The hash-end inputs above must really be full of ends, or they prove nothing.
TEST(ChunkEndInputs, HashEndInputsHaveManyEnds) {
    for (const Bytes& bytes : {with_hash_ends(4096, 13, 6), with_hash_ends(1024, HASH_WINDOW, 7)}) {
        const Starts starts(bytes);
        int ends = 0;
        for (std::size_t s = 0; s < starts.count(); s += 64)
            ends += std::popcount(hash_end_reference(starts[s]));
        EXPECT_GT(ends * 16, int(starts.count()));  // more than one end in 16 positions
    }
}

// Every false candidate costs the caller a scalar hash: there must be fewer of them than real
// ends (a kernel that flags everything is correct but useless).
TEST(ChunkEndKernels, FalseHashCandidatesAreRarerThanEnds) {
    const Bytes bytes = test::random_bytes(KERNEL_HISTORY + 65536 + KERNEL_READ_SLACK, 8);
    const Starts starts(bytes);
    for (const ChunkingKernels* k : test::runnable_kernel_sets()) {
        int ends = 0, false_candidates = 0;
        for (std::size_t s = 0; s < starts.count(); s += 64) {
            const std::uint64_t e = hash_end_reference(starts[s]);
            ends += std::popcount(e);
            false_candidates += std::popcount(k->hash_candidates64(starts[s]) & ~e);
        }
        EXPECT_GT(ends, 300) << k->name;
        EXPECT_LT(false_candidates, ends) << k->name;
    }
}

// The kernels' matrices rest on this: the window hash is affine over GF(2) in the window's 96
// bits, so it is the zero window's hash XOR the contribution of each set bit alone.
TEST(ChunkEndKernels, WindowHashIsAffineInItsBits) {
    std::uint32_t contribution[HASH_WINDOW][8];
    for (std::size_t k = 0; k < HASH_WINDOW; ++k) {
        for (int c = 0; c < 8; ++c) {
            std::uint8_t window[HASH_WINDOW] = {};
            window[k] = std::uint8_t(1u << c);
            contribution[k][c] = window_hash(window + HASH_WINDOW) ^ HASH_OF_ZERO_WINDOW;
        }
    }
    const Bytes windows = test::random_bytes(HASH_WINDOW * 1000, 9);
    for (std::size_t at = 0; at < windows.size(); at += HASH_WINDOW) {
        std::uint32_t h = HASH_OF_ZERO_WINDOW;
        for (std::size_t k = 0; k < HASH_WINDOW; ++k)
            for (int c = 0; c < 8; ++c)
                if (windows[at + k] >> c & 1) h ^= contribution[k][c];
        ASSERT_EQ(h, window_hash(&windows[at + HASH_WINDOW])) << "window at " << at;
    }
}

// The kernels read no further than they claim, p[-12] .. p[63 + KERNEL_READ_SLACK]: one call
// has an inaccessible page just before p[-12], another just after p[63 + KERNEL_READ_SLACK].
TEST(ChunkEndKernels, ReadsStayWithinTheStatedRange) {
    const std::size_t page = std::size_t(sysconf(_SC_PAGESIZE));
    const std::size_t readable = 12 + 64 + KERNEL_READ_SLACK;
    ASSERT_LE(readable, page);
    auto* const map = static_cast<std::uint8_t*>(
        mmap(nullptr, 3 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    ASSERT_NE(map, MAP_FAILED);
    ASSERT_EQ(mprotect(map, page, PROT_NONE), 0);
    ASSERT_EQ(mprotect(map + 2 * page, page, PROT_NONE), 0);
    const Bytes bytes = with_hash_ends(page, 13, 10);
    std::memcpy(map + page, bytes.data(), page);
    for (const std::uint8_t* p : {map + page + 12, map + 2 * page - 64 - KERNEL_READ_SLACK}) {
        for (const ChunkingKernels* k : test::runnable_kernel_sets()) {
            EXPECT_EQ(k->marker_mask64(p), marker_reference(p)) << k->name;
            EXPECT_EQ(hash_end_reference(p) & ~k->hash_candidates64(p), 0u) << k->name;
        }
    }
    munmap(map, 3 * page);
}

}  // namespace
}  // namespace chunksieve
