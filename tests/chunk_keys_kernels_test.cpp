// Every compiled kernel set's chunk_keys against the one-chunk reference chunk_key: lengths at
// and around the segment width, job counts around the lane width, lanes whose chunks differ
// wildly in length, and bytes past each job that must not matter or must not be touched.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "chunking/kernels.h"
#include "test_support.h"

namespace chunksieve {
namespace {

using test::Bytes;

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
class GuardedPages {
  public:
    explicit GuardedPages(std::size_t bytes) {
        page_ = std::size_t(sysconf(_SC_PAGESIZE));
        usable_ = (bytes + page_ - 1) / page_ * page_;
        void* p = mmap(nullptr, usable_ + 2 * page_, PROT_READ | PROT_WRITE,
                       MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (p == MAP_FAILED) return;
        base_ = static_cast<std::uint8_t*>(p);
        mprotect(base_, page_, PROT_NONE);
        mprotect(base_ + page_ + usable_, page_, PROT_NONE);
    }
    ~GuardedPages() {
        if (base_ != nullptr) munmap(base_, usable_ + 2 * page_);
    }
    GuardedPages(const GuardedPages&) = delete;
    GuardedPages& operator=(const GuardedPages&) = delete;

    bool ok() const { return base_ != nullptr; }
    std::uint8_t* begin() const { return base_ + page_; }    // first readable byte
    std::uint8_t* end() const { return begin() + usable_; }  // first unreadable byte after

  private:
    std::uint8_t* base_ = nullptr;
    std::size_t page_ = 0, usable_ = 0;
};

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

}  // namespace
}  // namespace chunksieve
