// Limits of the numbers the filter keeps: a slot's 40-bit value survives insertion and moves at
// every width up to its largest value in the flat reference table (the compact index keeps no
// values), and block numbers neither wrap at 2^32 nor, past 2^40
// blocks, turn into the 0 that marks an empty slot.
#include <gtest/gtest.h>

#include <cstdint>

#include "filter/dedup_filter.h"
#include "index/fingerprint_index.h"
#include "index/flat_index.h"
#include "test_support.h"

namespace chunksieve {
namespace {

constexpr std::uint64_t LARGEST = 0xFF'FFFF'FFFF;  // 2^40 - 1, the largest value a slot holds

using test::key_at;

std::uint64_t value_in(const FlatFingerprintIndex& index, std::uint32_t slot) {
    return FlatFingerprintIndex::slot_value(index.slot(slot));
}

// Each value is stored at home, then carried one slot up when a second key takes home: the move
// rebuilds the slot from the value it read, so every byte of the 40 bits must come through.
TEST(Hardening, SlotValuesSurviveInsertionAndMoves) {
    FlatFingerprintIndex index;
    ASSERT_TRUE(index.create());
    const std::uint64_t values[] = {1, 0xFF, 0xFFFF'FFFF, std::uint64_t(1) << 32, LARGEST};
    std::uint32_t home = 1000;
    for (const std::uint64_t v : values) {
        const ChunkKey first = key_at(home, 1), second = key_at(home, 2);
        EXPECT_EQ(index.lookup_or_insert(first, v), 0u);
        EXPECT_EQ(value_in(index, home), v);
        EXPECT_EQ(index.lookup_or_insert(second, 7), 0u);
        EXPECT_EQ(value_in(index, home + 1), v) << "moved up one slot";
        EXPECT_EQ(FlatFingerprintIndex::slot_key(index.slot(home + 1)), first);
        EXPECT_EQ(index.lookup_or_insert(first, 0), 1u) << v;
        home += 100;
    }
}

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
