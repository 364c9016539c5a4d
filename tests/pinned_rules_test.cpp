// Each chunk-end rule pinned at its edge (the hash threshold, the minimum and maximum lengths,
// the marker and the tail register's restart, both fill bytes), through the per-byte loop and
// every kernel set this CPU runs. The expected outputs are literal: records of the input's own
// bytes and their fill, worked out from the rules, never from the code's constants.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "chunking/kernels.h"
#include "test_support.h"

namespace chunksieve {
namespace {

using test::Bytes;

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

}  // namespace
}  // namespace chunksieve
