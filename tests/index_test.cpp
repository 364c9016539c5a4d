// The fingerprint index, in both forms: the compact index that runs use (with and without values)
// and the flat reference table. Search, insertion at home, shifting, eviction, runs that wrap from
// the table's last slot to slot 0, the values that move with their entries, and the two forms
// against each other over long sequences of calls.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <optional>
#include <random>
#include <thread>
#include <type_traits>
#include <vector>

#include "index/fingerprint_index.h"
#include "index/flat_index.h"
#include "test_support.h"

namespace chunksieve {
namespace {

constexpr std::uint32_t LAST = FingerprintIndex::SLOT_MASK;
static_assert(FlatFingerprintIndex::SLOT_MASK == LAST);

using test::key_at;

// The compact index keeping values: every test of the forms runs on it too.
struct ValuedFingerprintIndex : FingerprintIndex {
    bool create() { return FingerprintIndex::create(true); }
};

// What a slot holds, and a run of entries laid into empty slots directly, for either form.
std::optional<ChunkKey> held(const FlatFingerprintIndex& index, std::uint32_t j) {
    const IndexSlot& s = index.slot(j);
    if (FlatFingerprintIndex::slot_value(s) == 0) return std::nullopt;
    return FlatFingerprintIndex::slot_key(s);
}
std::optional<ChunkKey> held(const FingerprintIndex& index, std::uint32_t j) {
    ChunkKey k;
    if (!index.entry_at(j, k)) return std::nullopt;
    return k;
}
// The value a slot holds (0 for an empty slot, and in a compact index without values).
std::uint64_t value_in(const FlatFingerprintIndex& index, std::uint32_t j) {
    return FlatFingerprintIndex::slot_value(index.slot(j));
}
std::uint64_t value_in(const FingerprintIndex& index, std::uint32_t j) {
    ChunkKey k;
    std::uint64_t v = 0;
    return index.entry_at(j, k, &v) ? v : 0;
}
bool keeps_values(const FlatFingerprintIndex&) {
    return true;
}
bool keeps_values(const FingerprintIndex& index) {
    return index.keeps_values();
}
// Key k goes to slot first + k, past the last slot on from slot 0, with the value LAID + k.
constexpr std::uint64_t LAID = 0x7700000100;
void lay_out(FlatFingerprintIndex& index, std::uint32_t first, const std::vector<ChunkKey>& keys) {
    for (std::uint32_t k = 0; k < keys.size(); ++k)
        FlatFingerprintIndex::write_slot(index.slot((first + k) & LAST), keys[k], LAID + k);
}
void lay_out(FingerprintIndex& index, std::uint32_t first, const std::vector<ChunkKey>& keys) {
    // Each key followed by its value, 5 bytes little-endian, as a saved state has them.
    constexpr std::size_t STRIDE = sizeof(ChunkKey) + 5;
    std::vector<std::uint8_t> laid(keys.size() * STRIDE);
    for (std::uint32_t k = 0; k < keys.size(); ++k) {
        std::memcpy(&laid[k * STRIDE], keys[k].bytes, sizeof(ChunkKey));
        for (std::uint32_t i = 0; i < 5; ++i)
            laid[k * STRIDE + sizeof(ChunkKey) + i] = std::uint8_t((LAID + k) >> (8 * i));
    }
    // A group at a time, as a saved index is loaded: the run's slots in each group are adjacent.
    for (std::uint32_t k = 0; k < keys.size();) {
        const std::uint32_t group = FingerprintIndex::group_of(first + k);
        std::uint64_t bits = 0;
        const std::uint32_t from = k;
        for (; k < keys.size() && FingerprintIndex::group_of(first + k) == group; ++k)
            bits |= std::uint64_t(1) << ((first + k) % FingerprintIndex::GROUP_SLOTS);
        const std::uint8_t* at = &laid[from * STRIDE];
        ASSERT_TRUE(index.restore_group(group, bits, at, at + sizeof(ChunkKey), STRIDE));
    }
}

template <class Index>
class IndexTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(index.create()); }

    bool holds(std::uint32_t j, const ChunkKey& k) const { return held(index, j) == k; }
    bool empty(std::uint32_t j) const { return !held(index, j); }
    // The value expected where `stored` was stored: none without values.
    std::uint64_t kept(std::uint64_t stored) const { return keeps_values(index) ? stored : 0; }

    Index index;
};

using Forms = ::testing::Types<FingerprintIndex, ValuedFingerprintIndex, FlatFingerprintIndex>;
TYPED_TEST_SUITE(IndexTest, Forms);
template <class Index>
constexpr bool COMPACT = std::is_base_of_v<FingerprintIndex, Index>;

TEST(FlatIndexTest, SlotLayoutIsPackedLittleEndian) {
    const ChunkKey k = key_at(5, 1);
    IndexSlot s{};
    const std::uint64_t value = (std::uint64_t(1) << 40) - 1;  // the largest value a slot holds
    FlatFingerprintIndex::write_slot(s, k, value);
    EXPECT_EQ(FlatFingerprintIndex::slot_value(s), value);
    EXPECT_EQ(FlatFingerprintIndex::slot_key(s), k);
    EXPECT_EQ(s.bytes[5], k.bytes[13]);
    EXPECT_EQ(s.bytes[6], k.bytes[14]);
    EXPECT_EQ(s.bytes[8], k.bytes[0]);
    EXPECT_EQ(s.bytes[20], k.bytes[12]);
    FlatFingerprintIndex::write_slot(s, k, 0x0102030405);
    EXPECT_EQ(s.bytes[0], 0x05);
    EXPECT_EQ(s.bytes[4], 0x01);
}

TEST(FlatIndexTest, AFoundKeyKeepsItsValue) {
    FlatFingerprintIndex index;
    ASSERT_TRUE(index.create());
    const ChunkKey k = key_at(1000, 1);
    EXPECT_EQ(index.lookup_or_insert(k, 7), 0u);
    EXPECT_EQ(index.lookup_or_insert(k, 9), 1u);
    EXPECT_EQ(FlatFingerprintIndex::slot_value(index.slot(1000)), 7u);
}

TYPED_TEST(IndexTest, FirstKeyTakesHomeAndIsFoundAgain) {
    auto& index = this->index;
    const ChunkKey k = key_at(1000, 1);
    EXPECT_EQ(index.lookup_or_insert(k, 7), 0u);
    EXPECT_TRUE(this->holds(1000, k));
    std::uint64_t value = 99;
    EXPECT_EQ(index.lookup_or_insert(k, 9, &value), 1u);
    EXPECT_EQ(value, this->kept(7));  // a found key keeps its value, and its slot
    EXPECT_TRUE(this->holds(1000, k));
    EXPECT_EQ(value_in(index, 1000), this->kept(7));
    EXPECT_TRUE(this->empty(1001));
    EXPECT_TRUE(this->empty(999));
}

// Values keep all their 40 bits, the fifth byte alone too.
TYPED_TEST(IndexTest, ValuesComeBackWhole) {
    auto& index = this->index;
    const std::uint64_t values[] = {1, 0xFFFFFFFF, std::uint64_t(1) << 32, 0xFFFFFFFFFF};
    for (std::uint32_t i = 0; i < 4; ++i)
        EXPECT_EQ(index.lookup_or_insert(key_at(4000 + 100 * i, i), values[i]), 0u);
    for (std::uint32_t i = 0; i < 4; ++i) {
        std::uint64_t value = 0;
        EXPECT_EQ(index.lookup_or_insert(key_at(4000 + 100 * i, i), 0, &value), 1u);
        EXPECT_EQ(value, this->kept(values[i])) << i;
    }
}

TYPED_TEST(IndexTest, NewKeysPushTheRunUp) {
    auto& index = this->index;
    const std::uint32_t h = 5000;
    std::vector<ChunkKey> keys;
    for (std::uint32_t i = 1; i <= 17; ++i)
        keys.push_back(key_at(h, i));

    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(index.lookup_or_insert(keys[i], i + 1), 0u);
    EXPECT_TRUE(this->holds(h, keys[2]));
    EXPECT_TRUE(this->holds(h + 1, keys[1]));
    EXPECT_TRUE(this->holds(h + 2, keys[0]));

    for (int i = 3; i < 16; ++i)
        EXPECT_EQ(index.lookup_or_insert(keys[i], i + 1), 0u);
    if constexpr (COMPACT<TypeParam>) {
        EXPECT_EQ(index.dropped(), 0u);  // 16 entries fill the window exactly
    }
    EXPECT_EQ(index.lookup_or_insert(keys[16], 17), 0u);
    if constexpr (COMPACT<TypeParam>) {
        EXPECT_EQ(index.dropped(), 1u);
        EXPECT_EQ(index.entries(), 16u);
    }
    for (std::uint32_t j = 0; j < 16; ++j) {
        EXPECT_TRUE(this->holds(h + j, keys[16 - j])) << j;
        EXPECT_EQ(value_in(index, h + j), this->kept(17 - j)) << j;  // each with its own value
    }
    EXPECT_TRUE(this->empty(h + 16));                   // the window ends at h + 15
    EXPECT_EQ(index.lookup_or_insert(keys[0], 0), 0u);  // key 1 was dropped
    std::uint64_t value = 0;
    EXPECT_EQ(index.lookup_or_insert(keys[1], 0, &value), 1u);
    EXPECT_EQ(value, this->kept(2));
}

// Runs that wrap from the table's last slot to slot 0, and (home 250) runs that cross from one
// group of 64 slots into the next, which the compact form keeps apart.
TYPED_TEST(IndexTest, RunsWrapAtTheTableEndAndCrossGroups) {
    struct Case {
        std::uint32_t home;
        std::uint32_t entries;  // already in the run from home
    };
    for (const Case c : {Case{LAST - 1, 5}, Case{LAST - 1, 16}, Case{250, 7}, Case{250, 16}}) {
        SCOPED_TRACE(testing::Message() << "home " << c.home << ", " << c.entries << " entries");
        TypeParam fresh;
        ASSERT_TRUE(fresh.create());
        const std::uint32_t h = c.home;
        const bool wraps = h == LAST - 1;
        std::vector<ChunkKey> keys;
        for (std::uint32_t i = 0; i < c.entries; ++i)
            keys.push_back(key_at(h, 100 + i));
        // Lay the run out explicitly: entry k in slot h + k (h, h + 1, 0, 1, ... when it wraps).
        lay_out(fresh, h, keys);
        const ChunkKey added = key_at(h, 999);
        EXPECT_EQ(fresh.lookup_or_insert(added, 999), 0u);

        // Slot j holds key k, with its value (999 for the added key, LAID + i for keys[i]).
        const std::uint64_t kept = keeps_values(fresh) ? 1 : 0;
        auto at = [&](std::uint32_t j, const ChunkKey& k) {
            const std::uint64_t value =
                k == added ? 999 : LAID + (std::find(keys.begin(), keys.end(), k) - keys.begin());
            return held(fresh, j & LAST) == k && value_in(fresh, j & LAST) == kept * value;
        };
        EXPECT_TRUE(at(h, added));
        if constexpr (COMPACT<TypeParam>) {
            EXPECT_EQ(fresh.dropped(), c.entries < 16 ? 0u : 1u);
        }
        EXPECT_TRUE(at(h + 1, keys[0]));  // the entry from h moves up one
        if (!wraps) {
            // Every entry moves up one; the one from h + 15 leaves a full window.
            for (std::uint32_t k = 1; k < c.entries && k < 15; ++k)
                EXPECT_TRUE(at(h + k + 1, keys[k])) << k;
            if (c.entries == 16) {
                EXPECT_FALSE(held(fresh, h + 16));
            }
            continue;
        }
        // Entries past the wrap stay put; the one from the last slot goes past the run's end,
        // or leaves the table when the window was full.
        for (std::uint32_t k = 2; k < c.entries; ++k)
            EXPECT_TRUE(at(k - 2, keys[k])) << k;
        if (c.entries < 16) {
            EXPECT_TRUE(at(c.entries - 2, keys[1]));
        } else {
            EXPECT_EQ(fresh.lookup_or_insert(keys[1], 0), 0u);
            EXPECT_FALSE(held(fresh, 14));
        }
    }
}

TYPED_TEST(IndexTest, ValueZeroNeverInserts) {
    auto& index = this->index;
    const ChunkKey k = key_at(77, 1);
    EXPECT_EQ(index.lookup_or_insert(k, 0), 0u);
    EXPECT_TRUE(this->empty(77));
    EXPECT_EQ(index.lookup_or_insert(k, 0), 0u);
}

TYPED_TEST(IndexTest, LengthBytesDistinguishKeys) {
    auto& index = this->index;
    const ChunkKey a = key_at(300, 1, 100), b = key_at(300, 1, 101);
    EXPECT_EQ(index.lookup_or_insert(a, 1), 0u);
    EXPECT_EQ(index.lookup_or_insert(b, 2), 0u);
    EXPECT_EQ(index.lookup_or_insert(a, 3), 1u);
    EXPECT_EQ(index.lookup_or_insert(b, 4), 1u);
}

// Keys of different homes share runs: a key pushed past the end of its own window still
// occupies a slot but is not found again.
TYPED_TEST(IndexTest, NeighbouringHomesCanPushAKeyOutOfItsWindow) {
    auto& index = this->index;
    const ChunkKey victim = key_at(2000, 1);
    EXPECT_EQ(index.lookup_or_insert(victim, 1), 0u);
    for (std::uint32_t i = 0; i < 15; ++i)
        index.lookup_or_insert(key_at(2000, 10 + i), 10 + i);
    EXPECT_TRUE(this->holds(2015, victim));  // the last slot of its window
    EXPECT_EQ(index.lookup_or_insert(victim, 0), 1u);

    EXPECT_EQ(index.lookup_or_insert(key_at(2001, 50), 50), 0u);
    EXPECT_TRUE(this->holds(2016, victim));
    EXPECT_EQ(index.lookup_or_insert(victim, 0), 0u);
}

// ---- the compact form against the flat reference ----

#if defined(__SANITIZE_ADDRESS__)
#define CHUNKSIEVE_SLOW_BUILD 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define CHUNKSIEVE_SLOW_BUILD 1
#endif
#endif
#if !defined(NDEBUG)
#define CHUNKSIEVE_SLOW_BUILD 1
#endif

// Tens of millions of calls whose homes are packed into a few thousand slots (among them the
// table's end, and so runs that wrap), drawn from a pool of keys small enough that many come back:
// windows fill, merge, drop and wrap at loads no input file reaches. Every answer must agree, and
// at the end every slot of the crowded ranges must hold the same key in both forms.
TEST(CompactIndexTest, AnswersAsTheFlatTableUnderHeavyLoad) {
#if defined(CHUNKSIEVE_SLOW_BUILD)
    constexpr std::uint32_t CALLS = 2'000'000;
#else
    constexpr std::uint32_t CALLS = 24'000'000;
#endif
    struct Range {
        std::uint32_t first, slots;
    };
    // 8,192 homes: across the table's end, across group boundaries, and a lone crowded group.
    constexpr Range RANGES[] = {{LAST - 2047, 4096}, {1'000'000 - 1000, 3000}, {77'000, 1096}};
    FlatFingerprintIndex flat;
    FingerprintIndex compact;
    ASSERT_TRUE(flat.create());
    ASSERT_TRUE(compact.create());

    std::mt19937_64 rng(20261210);
    std::uint32_t disagreements = 0, found = 0;
    for (std::uint32_t call = 0; call < CALLS; ++call) {
        const std::uint64_t r = rng();
        const Range& range = RANGES[r % 3];
        const std::uint32_t home = (range.first + std::uint32_t(r >> 8) % range.slots) & LAST;
        // Three keys a home and four lengths: windows overflow all the time, and still a key is
        // found again in one call of twenty.
        const ChunkKey k = key_at(home, std::uint32_t(r >> 40) % 3, std::uint16_t(100 + (r >> 62)));
        const std::uint64_t value = (r >> 32) % 64 == 0 ? 0 : call + 1;
        const std::uint32_t a = flat.lookup_or_insert(k, value);
        const std::uint32_t b = compact.lookup_or_insert(k, value);
        disagreements += a != b;
        found += a;
        if (disagreements == 1 && a != b) ADD_FAILURE() << "first disagreement at call " << call;
    }
    EXPECT_EQ(disagreements, 0u);
    EXPECT_GT(found, CALLS / 25);
    EXPECT_GT(compact.dropped(), CALLS / 10);
    EXPECT_FALSE(compact.failed());
    for (const Range& range : RANGES)
        for (std::uint32_t d = 0; d < range.slots + 64; ++d) {
            const std::uint32_t j = (range.first + d) & LAST;
            ASSERT_EQ(held(compact, j), held(flat, j)) << "slot " << j;
        }
}

// A key of home `home` whose other bytes are those of every key here but for one: variant v
// (1 to 13) changes byte 2 + v. Keys of one home differ in any one of the bytes 3 to 15 (in byte 3
// above the slot's bits), keys of neighbouring homes in byte 0 alone: a comparison that skips a
// byte finds a stranger.
ChunkKey varied_key(std::uint32_t home, std::uint32_t variant) {
    ChunkKey k;
    for (std::uint32_t i = 0; i < 16; ++i)
        k.bytes[i] = std::uint8_t(0x5A + 29 * i);
    k.bytes[0] = std::uint8_t(home);
    k.bytes[1] = std::uint8_t(home >> 8);
    k.bytes[2] = std::uint8_t(home >> 16);
    k.bytes[3] = std::uint8_t((k.bytes[3] & 0xFE) | (home >> 24));
    if (variant > 0) k.bytes[2 + variant] ^= variant == 1 ? 0x80 : std::uint8_t(1 << variant % 8);
    return k;
}

// Insertions that set compactions off themselves: the pool's allowance lowered to nothing, so that
// the pool is squeezed whenever outgrown blocks make an eighth of it, in the midst of insertions
// that grow a group's block while they shift entries of the group before it (runs that cross from
// one group into the next, or wrap from the table's end to its start). A small pool is squeezed
// most often: many rounds, each on an empty index, with homes in the upper part of 64 groups
// (every fourth round across the table's end) and keys spread over the table, which make and
// outgrow small blocks. Every answer, and every value handed back for a found key, must be the
// flat table's; at the end of each round every entry too.
TEST(CompactIndexTest, AnswersAndValuesAsTheFlatTableWhileInsertionsCompact) {
#if defined(CHUNKSIEVE_SLOW_BUILD)
    constexpr std::uint32_t ROUNDS = 12;
#else
    constexpr std::uint32_t ROUNDS = 60;
#endif
    constexpr std::uint32_t CALLS = 20'000, GROUPS = 64, SPREAD = 1000;
    constexpr std::uint32_t GROUP_COUNT = FingerprintIndex::GROUP_COUNT;
    // The compact index without values and with them, side by side against the flat table.
    FingerprintIndex compact[2];
    for (const bool values : {false, true}) {
        ASSERT_TRUE(compact[values].create(values));
        compact[values].set_pool_allowance(0, 0);
    }
    std::mt19937_64 rng(20261211);
    std::uint64_t compactions[2] = {};
    for (std::uint32_t round = 0; round < ROUNDS; ++round) {
        SCOPED_TRACE(testing::Message() << "round " << round);
        FlatFingerprintIndex flat;
        ASSERT_TRUE(flat.create());
        for (FingerprintIndex& index : compact)
            index.clear();
        const std::uint32_t first =
            round % 4 == 0 ? GROUP_COUNT - GROUPS / 2 : 1000 + round * 4099 % 400'000;
        const std::uint32_t salt = std::uint32_t(rng());
        auto spread_home = [&](std::uint32_t i) { return ((i + salt) * 2654435761u) & LAST; };

        std::uint32_t disagreements[2] = {}, found = 0;
        for (std::uint32_t call = 0; call < CALLS; ++call) {
            const std::uint64_t r = rng();
            const std::uint32_t pick = std::uint32_t(r >> 8), kind = r % 8;
            const std::uint32_t home =
                kind < 6 ? (first + pick % GROUPS) % GROUP_COUNT * 64 + 40 + (pick >> 16) % 24
                         : spread_home(pick % SPREAD);
            const ChunkKey k = varied_key(home, kind < 6 ? std::uint32_t(r >> 40) % 14 : 0);
            // Values of all 40 bits; now and then a look-up only.
            const std::uint64_t value =
                (r >> 32) % 64 == 0 ? 0 : ((r >> 48) & 0xFF) << 32 | (call + 1);
            std::uint64_t held_flat = 0;
            const std::uint32_t answer = flat.lookup_or_insert(k, value, &held_flat);
            found += answer;
            for (const bool values : {false, true}) {
                std::uint64_t held_compact = ~std::uint64_t(0);
                const bool differ =
                    compact[values].lookup_or_insert(k, value, &held_compact) != answer ||
                    (answer && held_compact != (values ? held_flat : 0));
                if (differ && disagreements[values]++ == 0)
                    ADD_FAILURE() << (values ? "with" : "without") << " values: first "
                                  << "disagreement at call " << call;
            }
        }
        EXPECT_GT(found, CALLS / 10);
        for (const bool values : {false, true}) {
            SCOPED_TRACE(values ? "with values" : "without values");
            const FingerprintIndex& index = compact[values];
            ASSERT_EQ(disagreements[values], 0u);
            EXPECT_GT(index.dropped(), CALLS / 20);
            EXPECT_FALSE(index.failed());
            compactions[values] += index.compactions();

            // Every entry of the compact index is the flat table's, value and all...
            std::uint64_t listed = 0, misplaced = 0;
            index.for_each_entry([&](std::uint32_t slot, const ChunkKey& k, std::uint64_t v) {
                misplaced += held(flat, slot) != k || v != (values ? value_in(flat, slot) : 0);
                ++listed;
            });
            EXPECT_EQ(listed, index.entries());
            ASSERT_EQ(misplaced, 0u);
            // ...and the flat table holds no entry the compact index lacks.
            std::uint32_t missing = 0;
            auto same = [&](std::uint32_t j) {
                return held(index, j & LAST) == held(flat, j & LAST);
            };
            for (std::uint32_t j = first * 64; j < (first + GROUPS + 1) * 64; ++j)
                missing += !same(j);
            for (std::uint32_t i = 0; i < SPREAD; ++i)
                for (std::uint32_t j = 0; j < 16; ++j)
                    missing += !same(spread_home(i) + j);
            ASSERT_EQ(missing, 0u);
        }
    }
    // Insertions set off hundreds of compactions in all.
    EXPECT_GT(compactions[0], 10 * ROUNDS);
    EXPECT_GT(compactions[1], 10 * ROUNDS);
}

// Keys spread over the whole table, as a run's chunks are: the same answers, also after the pool
// was compacted, and memory in proportion to the entries held.
TEST(CompactIndexTest, SpreadKeysTakeMemoryInProportion) {
    constexpr std::uint32_t KEYS = 1'500'000;
    // The compact index without values and with them, side by side against one flat table.
    FlatFingerprintIndex flat;
    FingerprintIndex compact[2];
    ASSERT_TRUE(flat.create());
    ASSERT_TRUE(compact[0].create(false));
    ASSERT_TRUE(compact[1].create(true));
    std::mt19937_64 rng(7);
    std::vector<ChunkKey> seen;
    std::uint32_t disagreements[2] = {};
    for (std::uint32_t i = 0; i < KEYS; ++i) {
        ChunkKey k;
        const std::uint64_t a = rng(), b = rng();
        std::memcpy(k.bytes, &a, 8);
        std::memcpy(k.bytes + 8, &b, 8);
        if (i % 4 == 3)
            k = seen[std::size_t(a % seen.size())];  // a repeat
        else
            seen.push_back(k);
        const std::uint32_t answer = flat.lookup_or_insert(k, i + 1);
        for (int v = 0; v < 2; ++v) {
            disagreements[v] += compact[v].lookup_or_insert(k, i + 1) != answer;
            if (i % 400'000 == 399'999)
                compact[v].compact();  // blocks move; answers must not change
        }
    }
    for (const bool values : {false, true}) {
        SCOPED_TRACE(values ? "with values" : "without values");
        const FingerprintIndex& index = compact[values];
        EXPECT_EQ(disagreements[values], 0u);
        EXPECT_EQ(index.entries() + index.dropped(), seen.size());
        // At most 8 MiB plus 22 bytes an entry for the blocks, live and outgrown; 29 with values.
        EXPECT_LE(index.pool_bytes(),
                  (std::size_t(8) << 20) + (values ? 29 : 22) * index.entries());

        // Every entry is where the flat table has it, with its value, in slot order.
        std::uint64_t listed = 0;
        std::uint32_t previous = 0, misplaced = 0;
        index.for_each_entry([&](std::uint32_t slot, const ChunkKey& k, std::uint64_t v) {
            misplaced += (listed > 0 && slot <= previous) || held(flat, slot) != k ||
                         v != (values ? value_in(flat, slot) : 0);
            previous = slot;
            ++listed;
        });
        EXPECT_EQ(listed, index.entries());
        EXPECT_EQ(misplaced, 0u);
    }
}

// Memory committed by a second thread while the first inserts, as the driver's writer does: the
// same answers, and no insertion touches memory before it is committed (it would fault).
TEST(CompactIndexTest, MemoryCommittedFromAnotherThreadKeepsTheAnswers) {
    constexpr std::uint32_t KEYS = 1'500'000;  // a pool of some 40 MB: many steps
    FlatFingerprintIndex flat;
    FingerprintIndex compact;
    ASSERT_TRUE(flat.create());
    ASSERT_TRUE(compact.create());
    std::atomic<bool> done{false};
    std::thread helper([&] {
        while (!done.load()) {
            compact.commit_ahead();
            std::this_thread::yield();
        }
    });
    std::mt19937_64 rng(8);
    std::uint32_t disagreements = 0;
    for (std::uint32_t i = 0; i < KEYS; ++i) {
        ChunkKey k;
        const std::uint64_t a = rng(), b = i % 5 == 4 ? 0 : rng();  // some keys alike
        std::memcpy(k.bytes, &a, 8);
        std::memcpy(k.bytes + 8, &b, 8);
        disagreements += flat.lookup_or_insert(k, i + 1) != compact.lookup_or_insert(k, i + 1);
    }
    done.store(true);
    helper.join();
    EXPECT_EQ(disagreements, 0u);
    EXPECT_FALSE(compact.failed());
}

}  // namespace
}  // namespace chunksieve
