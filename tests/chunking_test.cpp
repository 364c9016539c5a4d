// The chunking module: the rolling hash against a plain bitwise CRC-32, the chunk digest against
// known keys, and the kernels of every set this CPU can run against byte-by-byte definitions. The
// chunk-end kernels: marker masks must be exact, hash candidates must include every position
// whose window hash is below the threshold (the portable set's exactly those). The chunk-key
// kernels against the one-chunk reference chunk_key: lengths at and around the segment width, job
// counts around the lane width, lanes whose chunks differ wildly in length, and bytes past each
// job that must not matter or must not be touched.
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

#include "chunking/chunk_digest.h"
#include "chunking/chunk_rules.h"
#include "chunking/kernels.h"
#include "chunking/rolling_hash.h"
#include "test_support.h"

namespace chunksieve {
namespace {

using test::Bytes;
using test::MARKER;

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

// ---- the chunk-end kernels ----

// At least `bytes` of readable memory, whole pages, between two pages that cannot be read: a
// kernel's read outside what it claims ends the process with SIGSEGV.
class GuardedPages {
  public:
    explicit GuardedPages(std::size_t bytes) {
        page_ = std::size_t(sysconf(_SC_PAGESIZE));
        usable_ = (bytes + page_ - 1) / page_ * page_;
        void* p = mmap(nullptr, usable_ + 2 * page_, PROT_READ | PROT_WRITE,
                       MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (p == MAP_FAILED) return;
        base_ = static_cast<std::uint8_t*>(p);
        guarded_ = mprotect(base_, page_, PROT_NONE) == 0 &&
                   mprotect(base_ + page_ + usable_, page_, PROT_NONE) == 0;
    }
    ~GuardedPages() {
        if (base_ != nullptr) munmap(base_, usable_ + 2 * page_);
    }
    GuardedPages(const GuardedPages&) = delete;
    GuardedPages& operator=(const GuardedPages&) = delete;

    bool ok() const { return base_ != nullptr && guarded_; }
    std::uint8_t* begin() const { return base_ + page_; }    // first readable byte
    std::uint8_t* end() const { return begin() + usable_; }  // first unreadable byte after

  private:
    std::uint8_t* base_ = nullptr;
    std::size_t page_ = 0, usable_ = 0;
    bool guarded_ = false;
};

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
    {"markers", [] { return test::repeated(MARKER, 512); }},
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
    const GuardedPages pages(page);
    ASSERT_TRUE(pages.ok());
    const Bytes bytes = with_hash_ends(page, 13, 10);
    std::memcpy(pages.begin(), bytes.data(), page);
    for (const std::uint8_t* p : {pages.begin() + 12, pages.end() - 64 - KERNEL_READ_SLACK}) {
        for (const ChunkingKernels* k : test::runnable_kernel_sets()) {
            EXPECT_EQ(k->marker_mask64(p), marker_reference(p)) << k->name;
            EXPECT_EQ(hash_end_reference(p) & ~k->hash_candidates64(p), 0u) << k->name;
        }
    }
}

// ---- the chunk-key kernels ----

// Jobs laid out in one arena, each at a varying alignment and followed by KERNEL_READ_SLACK
// bytes of garbage: the kernels may read those bytes, but no key may depend on them.
struct JobSet {
    Bytes arena;
    std::vector<KeyJob> jobs;
};

JobSet make_jobs(const std::vector<std::uint32_t>& lengths, std::uint64_t seed) {
    std::mt19937_64 rng(seed);
    std::vector<std::size_t> offsets;
    std::size_t size = 0;
    for (std::uint32_t n : lengths) {
        size += rng() % 64;  // misalign the next job
        offsets.push_back(size);
        size += n + KERNEL_READ_SLACK;
    }
    JobSet set;
    set.arena = test::random_bytes(size, seed ^ 0x5eed);
    for (std::size_t j = 0; j < lengths.size(); ++j)
        set.jobs.push_back({set.arena.data() + offsets[j], lengths[j]});
    return set;
}

std::vector<std::uint32_t> random_lengths(std::size_t count, std::uint32_t lo, std::uint32_t hi,
                                          std::uint64_t seed) {
    std::mt19937_64 rng(seed);
    std::vector<std::uint32_t> lengths(count);
    for (auto& n : lengths)
        n = lo + std::uint32_t(rng() % (hi - lo + 1));
    return lengths;
}

std::string describe(const std::vector<KeyJob>& jobs, std::size_t j) {
    return "job " + std::to_string(j) + " of " + std::to_string(jobs.size()) + ", length " +
           std::to_string(jobs[j].length);
}

// Runs the kernel and checks every key against chunk_key, and that nothing past the last key
// was written. Stops at the first wrong key (one fault usually spoils many).
void expect_reference_keys(const ChunkingKernels& k, const std::vector<KeyJob>& jobs) {
    ChunkKey untouched;
    std::memset(untouched.bytes, 0xA5, sizeof untouched.bytes);
    std::vector<ChunkKey> keys(jobs.size() + 1, untouched);
    k.chunk_keys(jobs.data(), jobs.size(), keys.data());
    for (std::size_t j = 0; j < jobs.size(); ++j)
        ASSERT_EQ(keys[j], chunk_key(jobs[j].data, jobs[j].length)) << describe(jobs, j);
    EXPECT_EQ(keys.back(), untouched) << "a key was written past the last job";
}

class ChunkKeyKernels : public ::testing::TestWithParam<const ChunkingKernels*> {
  protected:
    void SetUp() override {
        if (!kernels_supported(k())) GTEST_SKIP() << k().name << " is not supported by this CPU";
    }
    const ChunkingKernels& k() const { return *GetParam(); }
    std::size_t lanes() const { return k().key_lanes; }
};

// Every length through two full segments and past (62, 63, 64, 125, 126, 127 are the edges),
// several segments, and the longest chunk; all in one call and then each on its own, where
// the other lanes stay idle.
TEST_P(ChunkKeyKernels, EveryShortLengthAndTheLongest) {
    std::vector<std::uint32_t> lengths;
    for (std::uint32_t n = 1; n <= 130; ++n)
        lengths.push_back(n);
    lengths.push_back(4000);
    lengths.push_back(65535);
    const JobSet set = make_jobs(lengths, 1);
    expect_reference_keys(k(), set.jobs);
    for (const KeyJob& job : set.jobs) {
        SCOPED_TRACE("alone");
        expect_reference_keys(k(), {job});
    }
}

// Job counts at the edges of the lane width and of twice it (lanes idle from the start, all
// busy, one refill each), and just over half of it (a kernel that steps its lanes in two
// registers' worth then leaves one out), over short, typical and wide length mixes.
TEST_P(ChunkKeyKernels, JobCountsAroundTheLaneWidth) {
    struct Mix {
        std::uint32_t lo, hi;
    };
    const Mix mixes[] = {{1, 70}, {100, 1000}, {1, 5000}};
    const std::size_t l = lanes();
    const std::size_t counts[] = {0,         1,     l / 2 + 1, l - 1,     l,  l + 1,
                                  2 * l - 1, 2 * l, 2 * l + 1, 2 * l + 3, 250};
    std::uint64_t seed = 100;
    for (const Mix& mix : mixes) {
        for (std::size_t count : counts) {
            for (int rep = 0; rep < 4; ++rep, ++seed) {
                SCOPED_TRACE(::testing::Message() << count << " jobs of " << mix.lo << ".."
                                                  << mix.hi << " bytes, seed " << seed);
                const JobSet set = make_jobs(random_lengths(count, mix.lo, mix.hi, seed), seed);
                expect_reference_keys(k(), set.jobs);
            }
        }
    }
}

// One lane works through a 65,535-byte chunk while the others take dozens of short ones each;
// placed first, amid, and last (the others then drain and idle beside it).
TEST_P(ChunkKeyKernels, OneLongChunkAmongShortOnes) {
    for (std::size_t at : {std::size_t(0), std::size_t(7), std::size_t(120), std::size_t(249)}) {
        SCOPED_TRACE(::testing::Message() << "long chunk at job " << at);
        std::vector<std::uint32_t> lengths = random_lengths(250, 1, 300, at);
        lengths[at] = 65535;
        const JobSet set = make_jobs(lengths, at);
        expect_reference_keys(k(), set.jobs);
    }
}

// As the filter uses it: consecutive chunks of one buffer, so each chunk's slack is the next
// chunk's bytes.
TEST_P(ChunkKeyKernels, ChunksCutFromOneBuffer) {
    const Bytes stream = test::random_bytes(200000 + KERNEL_READ_SLACK, 9);
    std::mt19937_64 rng(9);
    std::vector<KeyJob> jobs;
    for (std::size_t at = 0; jobs.size() < 300;) {
        const std::uint32_t n = 1 + std::uint32_t(rng() % 700);
        jobs.push_back({stream.data() + at, n});
        at += n;
    }
    expect_reference_keys(k(), jobs);
}

// Memory the kernels may not read is unmapped: a job starting right after an inaccessible page,
// and a job whose read slack ends right before one. A stray read ends the run with SIGSEGV.
TEST_P(ChunkKeyKernels, ReadsNothingBeforeTheJobOrPastTheSlack) {
    for (std::uint32_t n : {1u, 2u, 31u, 32u, 33u, 62u, 63u, 64u, 65u, 126u, 127u, 1000u, 65535u}) {
        SCOPED_TRACE(::testing::Message() << "length " << n);
        GuardedPages pages(n + KERNEL_READ_SLACK);
        ASSERT_TRUE(pages.ok());
        const Bytes data = test::random_bytes(pages.end() - pages.begin(), n);
        std::memcpy(pages.begin(), data.data(), data.size());
        const KeyJob at_start{pages.begin(), n};
        const KeyJob at_end{pages.end() - KERNEL_READ_SLACK - n, n};
        expect_reference_keys(k(), {at_start});
        expect_reference_keys(k(), {at_end});
        expect_reference_keys(k(), std::vector<KeyJob>(lanes() + 1, at_end));
    }
}

INSTANTIATE_TEST_SUITE_P(Compiled, ChunkKeyKernels,
                         ::testing::ValuesIn(compiled_kernels().begin(), compiled_kernels().end()),
                         [](const ::testing::TestParamInfo<const ChunkingKernels*>& info) {
                             return std::string(info.param->name);
                         });

// ---- the kernel sets ----

TEST(Engine, PortableSetIsAlwaysAvailable) {
    EXPECT_TRUE(kernels_supported(portable_kernels()));
    EXPECT_EQ(compiled_kernels().back(), &portable_kernels());
    EXPECT_EQ(kernels_named("portable"), &portable_kernels());
    EXPECT_TRUE(kernels_supported(best_kernels()));
}

}  // namespace
}  // namespace chunksieve
