// The fingerprint index: search, insertion at home, shifting, eviction, and runs that wrap
// from the table's last slot to slot 0.
#include <gtest/gtest.h>

#include <vector>

#include "index/fingerprint_index.h"
#include "test_support.h"

namespace chunksieve {
namespace {

constexpr std::uint32_t LAST = FingerprintIndex::SLOT_MASK;

using test::key_at;

class IndexTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(index.create()); }

    // The key in slot j, or nothing when the slot is empty.
    bool holds(std::uint32_t j, const ChunkKey& k, std::uint64_t value) const {
        const IndexSlot& s = index.slot(j);
        return FingerprintIndex::slot_value(s) == value && FingerprintIndex::slot_key(s) == k;
    }
    bool empty(std::uint32_t j) const { return FingerprintIndex::slot_value(index.slot(j)) == 0; }

    FingerprintIndex index;
};

TEST_F(IndexTest, SlotLayoutIsPackedLittleEndian) {
    const ChunkKey k = key_at(5, 1);
    IndexSlot s{};
    const std::uint64_t value = (std::uint64_t(1) << 40) - 1;  // the largest value a slot holds
    FingerprintIndex::write_slot(s, k, value);
    EXPECT_EQ(FingerprintIndex::slot_value(s), value);
    EXPECT_EQ(FingerprintIndex::slot_key(s), k);
    EXPECT_EQ(s.bytes[5], k.bytes[13]);
    EXPECT_EQ(s.bytes[6], k.bytes[14]);
    EXPECT_EQ(s.bytes[8], k.bytes[0]);
    EXPECT_EQ(s.bytes[20], k.bytes[12]);
    FingerprintIndex::write_slot(s, k, 0x0102030405);
    EXPECT_EQ(s.bytes[0], 0x05);
    EXPECT_EQ(s.bytes[4], 0x01);
}

TEST_F(IndexTest, FirstKeyTakesHomeAndIsFoundAgain) {
    const ChunkKey k = key_at(1000, 1);
    EXPECT_EQ(index.lookup_or_insert(k, 7), 0u);
    EXPECT_TRUE(holds(1000, k, 7));
    EXPECT_EQ(index.lookup_or_insert(k, 9), 1u);
    EXPECT_TRUE(holds(1000, k, 7));  // a found key keeps its slot and value
    EXPECT_TRUE(empty(1001));
}

TEST_F(IndexTest, NewKeysPushTheRunUp) {
    const std::uint32_t h = 5000;
    std::vector<ChunkKey> keys;
    for (std::uint32_t i = 1; i <= 17; ++i)
        keys.push_back(key_at(h, i));

    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(index.lookup_or_insert(keys[i], i + 1), 0u);
    EXPECT_TRUE(holds(h, keys[2], 3));
    EXPECT_TRUE(holds(h + 1, keys[1], 2));
    EXPECT_TRUE(holds(h + 2, keys[0], 1));

    for (int i = 3; i < 17; ++i)
        EXPECT_EQ(index.lookup_or_insert(keys[i], i + 1), 0u);
    for (std::uint32_t j = 0; j < 16; ++j)
        EXPECT_TRUE(holds(h + j, keys[16 - j], 17 - j)) << j;
    EXPECT_TRUE(empty(h + 16));                         // the window ends at h + 15
    EXPECT_EQ(index.lookup_or_insert(keys[0], 0), 0u);  // key 1 was dropped
    EXPECT_EQ(index.lookup_or_insert(keys[1], 0), 1u);
}

TEST_F(IndexTest, RunsWrapAtTheTableEnd) {
    struct Case {
        std::uint32_t entries;  // already in the run from home LAST - 1
    };
    for (const Case c : {Case{5}, Case{16}}) {
        FingerprintIndex fresh;
        ASSERT_TRUE(fresh.create());
        const std::uint32_t h = LAST - 1;
        std::vector<ChunkKey> keys;
        for (std::uint32_t i = 0; i < c.entries; ++i)
            keys.push_back(key_at(h, 100 + i));
        // Lay the run out explicitly in slots h, h + 1, 0, 1, ...: entry k in slot h + k.
        for (std::uint32_t k = 0; k < c.entries; ++k)
            FingerprintIndex::write_slot(fresh.slot(h + k), keys[k], 100 + k);
        const ChunkKey added = key_at(h, 999);
        EXPECT_EQ(fresh.lookup_or_insert(added, 999), 0u);

        auto at = [&](std::uint32_t j, const ChunkKey& k, std::uint64_t v) {
            const IndexSlot& s = fresh.slot(j);
            return FingerprintIndex::slot_value(s) == v && FingerprintIndex::slot_key(s) == k;
        };
        EXPECT_TRUE(at(h, added, 999));
        EXPECT_TRUE(at(LAST, keys[0], 100));  // the entry from h moves up one
        // Entries past the wrap stay put; the one from the last slot goes past the run's end,
        // or leaves the table when the window was full.
        for (std::uint32_t k = 2; k < c.entries; ++k)
            EXPECT_TRUE(at(k - 2, keys[k], 100 + k)) << k;
        if (c.entries < 16) {
            EXPECT_TRUE(at(c.entries - 2, keys[1], 101));
        } else {
            EXPECT_EQ(fresh.lookup_or_insert(keys[1], 0), 0u);
            EXPECT_EQ(FingerprintIndex::slot_value(fresh.slot(14)), 0u);
        }
    }
}

TEST_F(IndexTest, ValueZeroNeverInserts) {
    const ChunkKey k = key_at(77, 1);
    EXPECT_EQ(index.lookup_or_insert(k, 0), 0u);
    EXPECT_TRUE(empty(77));
    EXPECT_EQ(index.lookup_or_insert(k, 0), 0u);
}

TEST_F(IndexTest, LengthBytesDistinguishKeys) {
    const ChunkKey a = key_at(300, 1, 100), b = key_at(300, 1, 101);
    EXPECT_EQ(index.lookup_or_insert(a, 1), 0u);
    EXPECT_EQ(index.lookup_or_insert(b, 2), 0u);
    EXPECT_EQ(index.lookup_or_insert(a, 3), 1u);
    EXPECT_EQ(index.lookup_or_insert(b, 4), 1u);
}

// Keys of different homes share runs: a key pushed past the end of its own window still
// occupies a slot but is not found again.
TEST_F(IndexTest, NeighbouringHomesCanPushAKeyOutOfItsWindow) {
    const ChunkKey victim = key_at(2000, 1);
    EXPECT_EQ(index.lookup_or_insert(victim, 1), 0u);
    for (std::uint32_t i = 0; i < 15; ++i)
        index.lookup_or_insert(key_at(2000, 10 + i), 10 + i);
    EXPECT_TRUE(holds(2015, victim, 1));  // the last slot of its window
    EXPECT_EQ(index.lookup_or_insert(victim, 0), 1u);

    EXPECT_EQ(index.lookup_or_insert(key_at(2001, 50), 50), 0u);
    EXPECT_TRUE(holds(2016, victim, 1));
    EXPECT_EQ(index.lookup_or_insert(victim, 0), 0u);
}

}  // namespace
}  // namespace chunksieve
