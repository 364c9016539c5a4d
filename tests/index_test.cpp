// The index module. The fingerprint index, in both forms: the compact index that runs use (with
// and without values) and the flat reference table. Search, insertion at home, shifting,
// eviction, runs that wrap from the table's last slot to slot 0, the values that move with their
// entries, a slot's 40-bit value at every width up to its largest, and the two forms against each
// other over long sequences of calls. The saved index: its checksum, its round trip, every way a
// file can be unfit, and the meaning of a run that starts from a saved state.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <optional>
#include <random>
#include <span>
#include <string>
#include <thread>
#include <type_traits>
#include <utility>
#include <vector>

#include "checksums.h"
#include "index/crc32c.h"
#include "index/fingerprint_index.h"
#include "index/flat_index.h"
#include "index/index_state.h"
#include "test_support.h"

namespace chunksieve {
namespace {

constexpr std::uint32_t LAST = FingerprintIndex::SLOT_MASK;
static_assert(FlatFingerprintIndex::SLOT_MASK == LAST);

using test::Bytes;
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

// ---- the limits of a slot's value ----

constexpr std::uint64_t LARGEST = 0xFF'FFFF'FFFF;  // 2^40 - 1, the largest value a slot holds

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

// ---- the saved index ----

Bytes saved(const FingerprintIndex& index, const StateInfo& info) {
    MemorySink sink;
    EXPECT_EQ(save_state(index, info, sink), StateError::none);
    return sink.bytes;
}

struct Held {
    std::uint32_t slot;
    ChunkKey key;
    std::uint64_t value;
    friend bool operator==(const Held&, const Held&) = default;
};
std::vector<Held> entries_of(const FingerprintIndex& index) {
    std::vector<Held> out;
    index.for_each_entry([&](std::uint32_t slot, const ChunkKey& key, std::uint64_t value) {
        out.push_back({slot, key, value});
    });
    return out;
}

TEST(StateChecksum, EveryFormGivesTheKnownValuesAndThePlainOnes) {
    std::vector<std::pair<const char*, Crc32cForm>> forms = {{"chosen", crc32c},
                                                             {"sliced", crc32c_sliced}};
    if (crc32c_instruction()) forms.emplace_back("instruction", crc32c_instruction());
    const std::string check = "123456789";
    const auto* p = reinterpret_cast<const std::uint8_t*>(check.data());
    // Long enough for a form that runs several streams at once over kilobytes and joins them.
    const Bytes data = test::random_bytes(70'000, 7);
    for (const auto& [name, crc] : forms) {
        EXPECT_EQ(crc(0, p, check.size()), 0xE3069283u) << name;  // the published check value
        EXPECT_EQ(crc(0, p, 0), 0u) << name;
        for (std::size_t n : {1, 7, 8, 9, 63, 64, 65, 999, 1000, 3071, 3072, 6150, 70'000})
            for (std::size_t split : {std::size_t(0), n / 3, n})
                EXPECT_EQ(crc(crc(0, data.data(), split), data.data() + split, n - split),
                          crc32c_plain(0, data.data(), n))
                    << name << ": " << n << " bytes, split at " << split;
    }
}

TEST(StateFile, RoundTripKeepsSlotsKeysValuesAndTheCallersNumbers) {
    const std::uint32_t last = FingerprintIndex::SLOT_MASK;
    for (const bool values : {false, true}) {
        SCOPED_TRACE(values ? "with values" : "without values");
        FingerprintIndex index;
        ASSERT_TRUE(index.create(values));
        // A run wrapping from the last slot to slot 0, and a lone key in between.
        for (std::uint8_t t = 1; t <= 3; ++t)
            index.lookup_or_insert(key_at(last - 1, t), 0xAB00000000 + t);
        index.lookup_or_insert(key_at(1234, 9), 9);
        const StateInfo info{0x123456789AB, 0xFEDCBA987654, 0x8877665544332211};
        const Bytes file = saved(index, info);
        // 64 bytes of header, 4 entries of 20 (25 with values), 4 of checksum.
        EXPECT_EQ(file.size(), values ? 168u : 148u);
        EXPECT_EQ(std::memcmp(file.data(), "CSIEVEIX", 8), 0);

        FingerprintIndex loaded;
        ASSERT_TRUE(loaded.create(values));
        const StateCheck c = load_state(file.data(), file.size(), loaded);
        ASSERT_EQ(c.error, StateError::none);
        EXPECT_EQ(c.version, 2u);
        EXPECT_EQ(c.entries, 4u);
        EXPECT_EQ(c.total, 0x123456789ABu);
        EXPECT_EQ(c.new_chunks, 0xFEDCBA987654u);
        EXPECT_EQ(c.state_id, 0x8877665544332211u);
        EXPECT_EQ(c.has_values, values);
        EXPECT_EQ(loaded.entries(), 4u);
        const auto slots = entries_of(loaded);
        EXPECT_EQ(slots, entries_of(index));
        ASSERT_EQ(slots.size(), 4u);
        EXPECT_EQ(slots[0].slot, 0u);  // the wrapped entry comes first in slot order
        EXPECT_EQ(slots[0].value, values ? 0xAB00000001u : 0u);
        EXPECT_EQ(slots[3].slot, last);
        EXPECT_EQ(saved(loaded, info), file);
    }
}

// Two entries written out byte by byte: slot 65 and the table's last slot, each with a key whose
// home it is, a running total of 0x1234567890, and in version 2 the state id 0xABCDEF and 7 new
// chunks; with values, 0x0102030405 and 2^32 (only the fifth byte set).
const Bytes V1_FILE = {
    0x43, 0x53, 0x49, 0x45, 0x56, 0x45, 0x49, 0x58,  // magic
    0x01, 0x00, 0x00, 0x00,                          // version 1
    0x00, 0x00, 0x00, 0x02,                          // slots
    0x10, 0x00, 0x00, 0x00,                          // window
    0x10, 0x00, 0x00, 0x00,                          // key size
    0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,  // entries
    0x90, 0x78, 0x56, 0x34, 0x12, 0x00, 0x00, 0x00,  // running total
    0x41, 0x00, 0x00, 0x00,                          // slot 65
    0x41, 0x00, 0x00, 0x00, 0x11, 0x12, 0x13, 0x14,  // key
    0x15, 0x16, 0x17, 0x18, 0x19, 0x1A, 0x1B, 0x1C,  //
    0xFF, 0xFF, 0xFF, 0x01,                          // slot 33554431
    0xFF, 0xFF, 0xFF, 0x01, 0xA0, 0xA1, 0xA2, 0xA3,  // key
    0xA4, 0xA5, 0xA6, 0xA7, 0xA8, 0xA9, 0xAA, 0xAB,  //
    0xDD, 0x66, 0xC3, 0x60,                          // CRC-32C
};
const Bytes V2_FILE = {
    0x43, 0x53, 0x49, 0x45, 0x56, 0x45, 0x49, 0x58,  // magic
    0x02, 0x00, 0x00, 0x00,                          // version 2
    0x00, 0x00, 0x00, 0x02,                          // slots
    0x10, 0x00, 0x00, 0x00,                          // window
    0x10, 0x00, 0x00, 0x00,                          // key size
    0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,  // entries
    0x90, 0x78, 0x56, 0x34, 0x12, 0x00, 0x00, 0x00,  // running total
    0x00, 0x00, 0x00, 0x00,                          // flags: none
    0x00, 0x00, 0x00, 0x00,                          // reserved
    0xEF, 0xCD, 0xAB, 0x00, 0x00, 0x00, 0x00, 0x00,  // state id
    0x07, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,  // new chunks
    0x41, 0x00, 0x00, 0x00,                          // slot 65
    0x41, 0x00, 0x00, 0x00, 0x11, 0x12, 0x13, 0x14,  // key
    0x15, 0x16, 0x17, 0x18, 0x19, 0x1A, 0x1B, 0x1C,  //
    0xFF, 0xFF, 0xFF, 0x01,                          // slot 33554431
    0xFF, 0xFF, 0xFF, 0x01, 0xA0, 0xA1, 0xA2, 0xA3,  // key
    0xA4, 0xA5, 0xA6, 0xA7, 0xA8, 0xA9, 0xAA, 0xAB,  //
    0x20, 0x3A, 0x5D, 0x17,                          // CRC-32C
};
const Bytes V2_VALUES_FILE = {
    0x43, 0x53, 0x49, 0x45, 0x56, 0x45, 0x49, 0x58,  // magic
    0x02, 0x00, 0x00, 0x00,                          // version 2
    0x00, 0x00, 0x00, 0x02,                          // slots
    0x10, 0x00, 0x00, 0x00,                          // window
    0x10, 0x00, 0x00, 0x00,                          // key size
    0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,  // entries
    0x90, 0x78, 0x56, 0x34, 0x12, 0x00, 0x00, 0x00,  // running total
    0x01, 0x00, 0x00, 0x00,                          // flags: values
    0x00, 0x00, 0x00, 0x00,                          // reserved
    0xEF, 0xCD, 0xAB, 0x00, 0x00, 0x00, 0x00, 0x00,  // state id
    0x07, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,  // new chunks
    0x41, 0x00, 0x00, 0x00,                          // slot 65
    0x41, 0x00, 0x00, 0x00, 0x11, 0x12, 0x13, 0x14,  // key
    0x15, 0x16, 0x17, 0x18, 0x19, 0x1A, 0x1B, 0x1C,  //
    0x05, 0x04, 0x03, 0x02, 0x01,                    // value 0x102030405
    0xFF, 0xFF, 0xFF, 0x01,                          // slot 33554431
    0xFF, 0xFF, 0xFF, 0x01, 0xA0, 0xA1, 0xA2, 0xA3,  // key
    0xA4, 0xA5, 0xA6, 0xA7, 0xA8, 0xA9, 0xAA, 0xAB,  //
    0x00, 0x00, 0x00, 0x00, 0x01,                    // value 0x100000000
    0xEE, 0x9C, 0xD2, 0xAB,                          // CRC-32C
};

constexpr std::uint32_t SLOTS[2] = {65, FingerprintIndex::SLOT_MASK};

ChunkKey key_in(const Bytes& file, std::size_t at) {
    ChunkKey k;
    std::memcpy(k.bytes, &file[at], sizeof k.bytes);
    return k;
}

// Either version loads into an index with values or without: the values go in where both have
// them, and are unknown (0) where the file has none; a save always writes version 2, with values
// only where the index knows them all.
TEST(StateFile, EachVersionLoadsIntoEitherIndexAndSavesAsVersionTwo) {
    const ChunkKey keys[2] = {key_in(V1_FILE, 44), key_in(V1_FILE, 64)};
    struct Case {
        const char* name;
        const Bytes& file;
        bool keep_values;
        std::uint64_t held[2];
        const Bytes& saved;
    };
    const Case cases[] = {
        {"version 1", V1_FILE, false, {0, 0}, V2_FILE},
        {"version 1 into an index with values", V1_FILE, true, {0, 0}, V2_FILE},
        {"version 2", V2_FILE, false, {0, 0}, V2_FILE},
        {"version 2 into an index with values", V2_FILE, true, {0, 0}, V2_FILE},
        {"version 2 with values",
         V2_VALUES_FILE,
         true,
         {0x0102030405, 0x100000000},
         V2_VALUES_FILE},
        {"version 2 with values into an index without", V2_VALUES_FILE, false, {0, 0}, V2_FILE},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const bool v2 = &c.file != &V1_FILE, file_values = &c.file == &V2_VALUES_FILE;
        EXPECT_EQ(check_state(c.file.data(), c.file.size()).error, StateError::none);
        FingerprintIndex index;
        ASSERT_TRUE(index.create(c.keep_values));
        const StateCheck r = load_state(c.file.data(), c.file.size(), index);
        ASSERT_EQ(r.error, StateError::none);
        EXPECT_EQ(r.version, v2 ? 2u : 1u);
        EXPECT_EQ(r.entries, 2u);
        EXPECT_EQ(r.total, 0x1234567890u);
        EXPECT_EQ(r.has_values, file_values);
        EXPECT_EQ(r.state_id, v2 ? 0xABCDEFu : 0u);
        EXPECT_EQ(r.new_chunks, v2 ? 7u : 0u);
        for (int i = 0; i < 2; ++i) {
            ChunkKey k;
            std::uint64_t value = 99;
            EXPECT_TRUE(index.entry_at(SLOTS[i], k, &value) && k == keys[i]) << i;
            EXPECT_EQ(value, c.held[i]) << i;
            value = 99;
            EXPECT_EQ(index.lookup_or_insert(keys[i], 0, &value), 1u) << i;
            EXPECT_EQ(value, c.held[i]) << i;
        }
        EXPECT_EQ(index.unknown_values(), c.keep_values && !file_values ? 2u : 0u);
        EXPECT_EQ(saved(index, {0x1234567890, 7, 0xABCDEF}), c.saved);
    }
    // The same entries inserted, as a run makes them: the same bytes.
    for (const bool values : {false, true}) {
        FingerprintIndex index;
        ASSERT_TRUE(index.create(values));
        index.lookup_or_insert(keys[0], 0x0102030405);
        index.lookup_or_insert(keys[1], 0x100000000);
        EXPECT_EQ(saved(index, {0x1234567890, 7, 0xABCDEF}), values ? V2_VALUES_FILE : V2_FILE);
    }
}

// An index with values that was given a state without them saves values again once every entry
// whose value it does not know has left it (pushed out of a full window).
TEST(StateFile, ValuesAreSavedAgainOnceNoneIsUnknown) {
    const std::uint32_t homes[2] = {1000, 5000};
    FingerprintIndex source;
    ASSERT_TRUE(source.create());
    for (const std::uint32_t home : homes)
        source.lookup_or_insert(key_at(home, 100), 1);
    const Bytes without = saved(source, {});

    FingerprintIndex index;
    ASSERT_TRUE(index.create(true));
    ASSERT_EQ(load_state(without.data(), without.size(), index).error, StateError::none);
    for (std::uint32_t i = 0; i < 2; ++i) {
        EXPECT_EQ(index.unknown_values(), 2 - i);
        const Bytes file = saved(index, {});
        EXPECT_FALSE(check_state(file.data(), file.size()).has_values);
        // 16 new keys at the entry's home push it out of its full window.
        for (std::uint8_t t = 1; t <= 16; ++t)
            EXPECT_EQ(index.lookup_or_insert(key_at(homes[i], t), t), 0u);
        EXPECT_EQ(index.dropped(), 1u + i);
    }
    EXPECT_EQ(index.unknown_values(), 0u);
    const Bytes file = saved(index, {});
    const StateCheck c = check_state(file.data(), file.size());
    EXPECT_EQ(c.error, StateError::none);
    EXPECT_TRUE(c.has_values);
    EXPECT_EQ(file.size(), state_size(32, true));
}

// Groups of slots held whole, nearly whole (one entry past the largest sparse block) and as full
// as a sparse block gets: each loads back into the slots it came from.
TEST(StateFile, FullAndNearlyFullGroupsLoadIntoTheirSlots) {
    struct Group {
        std::uint32_t first;  // its first slot
        bool (*held)(std::uint32_t s);
    };
    const Group groups[] = {
        {5 * 64, [](std::uint32_t) { return true; }},                      // 64 entries
        {9 * 64, [](std::uint32_t s) { return s % 3 != 1 || s >= 60; }},   // 44
        {12 * 64, [](std::uint32_t s) { return s % 3 != 0 || s == 63; }},  // 43
    };
    for (const bool values : {false, true}) {
        SCOPED_TRACE(values ? "with values" : "without values");
        FingerprintIndex index;
        ASSERT_TRUE(index.create(values));
        std::vector<Held> placed;
        std::vector<std::uint32_t> empty;
        for (const Group& g : groups)
            for (std::uint32_t s = 0; s < 64; ++s) {
                if (!g.held(s)) {
                    empty.push_back(g.first + s);
                    continue;
                }
                const ChunkKey k = key_at(g.first + s, std::uint8_t(s + 1));
                const std::uint64_t value = std::uint64_t(g.first + s) << 20 | 0xF0;
                ASSERT_EQ(index.lookup_or_insert(k, value), 0u);
                placed.push_back({g.first + s, k, values ? value : 0});
            }
        ASSERT_EQ(placed.size(), 151u);
        const Bytes file = saved(index, {77, 0, 0});
        EXPECT_EQ(file.size(), values ? 3843u : 3088u);

        FingerprintIndex loaded;
        ASSERT_TRUE(loaded.create(values));
        ASSERT_EQ(load_state(file.data(), file.size(), loaded).error, StateError::none);
        EXPECT_EQ(loaded.entries(), 151u);
        for (const Held& p : placed) {
            ChunkKey k;
            std::uint64_t value = 0;
            EXPECT_TRUE(loaded.entry_at(p.slot, k, &value) && k == p.key) << p.slot;
            EXPECT_EQ(value, p.value) << p.slot;
            EXPECT_EQ(loaded.lookup_or_insert(p.key, 0), 1u) << p.slot;
        }
        for (const std::uint32_t slot : empty) {
            ChunkKey k;
            EXPECT_FALSE(loaded.entry_at(slot, k)) << slot;
        }
        EXPECT_EQ(saved(loaded, {77, 0, 0}), file);
    }
}

TEST(StateFile, EmptyIndexAndFailingSink) {
    FingerprintIndex index;
    ASSERT_TRUE(index.create());
    EXPECT_EQ(saved(index, {}).size(), 68u);

    for (std::uint32_t t = 0; t < 5000; ++t)  // 100,000 bytes of entries: two pieces and more
        index.lookup_or_insert(key_at(t * 977, std::uint8_t(t)), 1);
    for (int fail_at : {0, 1}) {
        MemorySink sink;
        sink.fail_at = fail_at;
        EXPECT_EQ(save_state(index, {}, sink), StateError::write_failed);
        EXPECT_EQ(sink.pieces, std::size_t(fail_at));  // nothing after the refused piece
    }
}

// A state whose fields are rewritten and whose checksum is made to match again: what a save
// of another format or another index would look like.
Bytes resealed(Bytes file, std::size_t at, std::uint64_t value, std::size_t width = 4) {
    for (std::size_t i = 0; i < width; ++i)
        file[at + i] = std::uint8_t(value >> (8 * i));
    test::reseal_state(file);
    return file;
}

TEST(StateFile, EveryUnfitFileIsRefusedWholeAndLeavesTheIndexEmpty) {
    FingerprintIndex source, valued;
    ASSERT_TRUE(source.create());
    ASSERT_TRUE(valued.create(true));
    for (std::uint8_t t = 1; t <= 3; ++t) {
        source.lookup_or_insert(key_at(50u * t, t), t);
        valued.lookup_or_insert(key_at(50u * t, t), t);
    }
    // Entries (slots 50, 100, 150) at 64, 84 and 104, the checksum at 124; with values, the
    // entries at 64, 89 and 114, the values 20 bytes into each, the checksum at 139.
    const Bytes good = saved(source, {640, 5, 6});
    const Bytes good_values = saved(valued, {640, 5, 6});
    ASSERT_EQ(good.size(), 128u);
    ASSERT_EQ(good_values.size(), 143u);

    auto cut = [&](std::size_t n) { return Bytes(good.begin(), good.begin() + n); };
    auto flipped = [&](std::size_t byte, int bit) {
        Bytes b = good;
        b[byte] ^= std::uint8_t(1 << bit);
        return b;
    };
    Bytes longer = good;
    longer.push_back(0);
    Bytes unordered = good;  // entries 1 and 2 swapped: every byte is a state's, but not in order
    std::swap_ranges(unordered.begin() + 84, unordered.begin() + 104, unordered.begin() + 104);

    struct Case {
        const char* name;
        Bytes file;
        StateError error;
    };
    const Case cases[] = {
        {"empty file", {}, StateError::empty},
        {"cut inside the magic number", cut(5), StateError::truncated},
        {"cut inside the header", cut(30), StateError::truncated},
        {"cut inside the header, past a version 1 header", cut(50), StateError::truncated},
        {"header only", cut(64), StateError::truncated},
        {"cut inside an entry", cut(90), StateError::truncated},
        {"checksum cut short", cut(126), StateError::truncated},
        {"one byte longer", longer, StateError::damaged},
        {"bit flipped in an entry's key", flipped(74, 3), StateError::damaged},
        {"bit flipped in an entry's slot", flipped(85, 0), StateError::damaged},
        {"bit flipped in the running total", flipped(33, 7), StateError::damaged},
        {"bit flipped in the state id", flipped(50, 4), StateError::damaged},
        {"bit flipped in the count of new chunks", flipped(56, 0), StateError::damaged},
        {"bit flipped in the version", flipped(8, 1), StateError::damaged},
        {"entry count raised by a flipped bit", flipped(24, 2), StateError::truncated},
        {"entry count lowered by a flipped bit", flipped(24, 0), StateError::damaged},
        {"bit flipped in the checksum", flipped(127, 6), StateError::damaged},
        {"wrong magic number", flipped(0, 5), StateError::not_state},
        {"text", Bytes{'h', 'e', 'l', 'l', 'o', '\n'}, StateError::not_state},
        {"version 4", resealed(good, 8, 4), StateError::version},
        {"version 0", resealed(good, 8, 0), StateError::version},
        {"another slot count", resealed(good, 12, 1u << 24), StateError::parameters},
        {"another window", resealed(good, 16, 8), StateError::parameters},
        {"another key size", resealed(good, 20, 20), StateError::parameters},
        {"slots out of order", resealed(unordered, 0, 0x45495343), StateError::damaged},
        // The third entry in the second one's slot, or below it in the same group.
        {"a repeated slot", resealed(good, 104, 100), StateError::damaged},
        {"a decreasing slot", resealed(good, 104, 99), StateError::damaged},
        {"slot beyond the table", resealed(good, 64, 1u << 25), StateError::damaged},
        // The last entry in slot 101 of a second lap: in the second entry's group, were slots
        // taken modulo the table.
        {"later slot beyond the table", resealed(good, 104, (1u << 25) + 101), StateError::damaged},
        {"more entries than slots", resealed(good, 24, (1u << 25) + 1), StateError::damaged},
        {"a flag no save sets", resealed(good, 40, 2), StateError::damaged},
        {"the highest flag", resealed(good, 40, 0x80000000), StateError::damaged},
        {"the reserved field not 0", resealed(good, 44, 1), StateError::damaged},
        {"the values flag on entries without values", resealed(good, 40, 1), StateError::truncated},
        {"entries with values without the flag", resealed(good_values, 40, 0), StateError::damaged},
        {"a value of 0", resealed(good_values, 109, 0), StateError::damaged},
        {"a value of 0 in the last entry", resealed(good_values, 134, 0), StateError::damaged},
        {"version 1, cut short", Bytes(V1_FILE.begin(), V1_FILE.end() - 1), StateError::truncated},
        {"version 1 with a repeated slot", resealed(V1_FILE, 60, 65), StateError::damaged},
        {"version 1 with a slot beyond the table", resealed(V1_FILE, 60, 1u << 25),
         StateError::damaged},
    };
    for (const bool values : {false, true}) {
        FingerprintIndex index;
        ASSERT_TRUE(index.create(values));
        for (const auto& c : cases) {
            EXPECT_EQ(load_state(c.file.data(), c.file.size(), index).error, c.error) << c.name;
            EXPECT_EQ(check_state(c.file.data(), c.file.size()).error, c.error) << c.name;
            EXPECT_EQ(index.entries(), 0u) << c.name;
        }
        EXPECT_EQ(load_state(good.data(), good.size(), index).error, StateError::none);
        index.clear();
        EXPECT_EQ(load_state(good_values.data(), good_values.size(), index).error,
                  StateError::none);
    }
    EXPECT_EQ(check_state(resealed(good, 8, 3).data(), 128).version, 3u);
    // 2^32 alone is a value: its fifth byte counts.
    EXPECT_EQ(check_state(resealed(good_values, 109, std::uint64_t(1) << 32, 5).data(), 143).error,
              StateError::none);
}

// A section (the map's chunk order) makes a file of version 3: version 2's bytes, then the
// section as it was given, then the checksum. It comes back as it went, and its count is held to
// the file's size.
TEST(StateFile, ASectionGoesBetweenTheEntriesAndTheChecksum) {
    Bytes section(16 + 2 * 8);
    section[0] = 0x22;  // the caller's first field
    section[8] = 2;     // two items
    for (std::size_t i = 16; i < section.size(); ++i)
        section[i] = std::uint8_t(0xA0 + i);
    Bytes file(V2_VALUES_FILE.begin(), V2_VALUES_FILE.end() - 4);
    file[8] = 3;
    file.insert(file.end(), section.begin(), section.end());
    const std::uint32_t crc = crc32c(0, file.data(), file.size());
    for (int i = 0; i < 4; ++i)
        file.push_back(std::uint8_t(crc >> (8 * i)));

    FingerprintIndex index;
    ASSERT_TRUE(index.create(true));
    index.lookup_or_insert(key_in(V2_VALUES_FILE, 68), 0x0102030405);
    index.lookup_or_insert(key_in(V2_VALUES_FILE, 93), 0x100000000);
    EXPECT_EQ(saved(index, {0x1234567890, 7, 0xABCDEF, section.data(), section.size()}), file);

    FingerprintIndex again;
    ASSERT_TRUE(again.create(true));
    const StateCheck c = load_state(file.data(), file.size(), again);
    ASSERT_EQ(c.error, StateError::none);
    EXPECT_EQ(c.version, 3u);
    EXPECT_EQ(c.entries, 2u);
    EXPECT_EQ(c.section, file.data() + 64 + 2 * 25);
    EXPECT_EQ(c.section_bytes, section.size());

    const auto cut = [&](std::size_t n) {
        return resealed(Bytes(file.begin(), file.end() - std::ptrdiff_t(n)), 0, 'C', 1);
    };
    const std::size_t count_at = 64 + 2 * 25 + 8;
    const struct {
        const char* name;
        Bytes bytes;
        StateError error;
    } bad[] = {
        {"an item cut off", cut(8), StateError::truncated},
        {"the head cut short", cut(28), StateError::truncated},
        {"one item more counted", resealed(file, count_at, 3), StateError::truncated},
        {"one item fewer counted", resealed(file, count_at, 1), StateError::damaged},
    };
    for (const auto& b : bad) {
        EXPECT_EQ(check_state(b.bytes.data(), b.bytes.size()).error, b.error) << b.name;
        FingerprintIndex i;
        ASSERT_TRUE(i.create(true));
        EXPECT_EQ(load_state(b.bytes.data(), b.bytes.size(), i).error, b.error) << b.name;
        EXPECT_EQ(i.entries(), 0u) << b.name;
    }
}

// A file of a megabyte and more is checked while its entries go in: damage found late, by the
// checksum or in the slots, must still leave the index empty, and the index fit for a sound file.
TEST(StateFile, DamageFoundWhileLoadingALargeFileLeavesTheIndexEmpty) {
    const Bytes seed = test::random_bytes(16 * 80'000, 11);
    for (const bool values : {false, true}) {
        SCOPED_TRACE(values ? "with values" : "without values");
        FingerprintIndex source;
        ASSERT_TRUE(source.create(values));
        for (std::size_t i = 0; i < 80'000; ++i) {
            ChunkKey k;
            std::memcpy(k.bytes, &seed[16 * i], 16);
            source.lookup_or_insert(k, i + 1);
        }
        const Bytes good = saved(source, {1, 0, 0});
        ASSERT_GE(good.size(), std::size_t(1) << 20);
        const std::size_t entry = values ? 25 : 20, last_entry = good.size() - 4 - entry;

        Bytes flipped = good;  // in the last entry's key: only the checksum tells
        flipped[last_entry + 10] ^= 0x08;
        Bytes unordered = good;  // the last two entries swapped, the checksum made to match
        std::swap_ranges(unordered.begin() + std::ptrdiff_t(last_entry - entry),
                         unordered.begin() + std::ptrdiff_t(last_entry),
                         unordered.begin() + std::ptrdiff_t(last_entry));
        unordered = resealed(unordered, 0, 0x45495343);
        std::vector<const Bytes*> bad = {&flipped, &unordered};
        Bytes zero_value;  // the last entry's value 0, the checksum made to match
        if (values) {
            zero_value = resealed(good, last_entry + 20, 0, 5);
            bad.push_back(&zero_value);
        }

        FingerprintIndex index;
        ASSERT_TRUE(index.create(values));
        for (const Bytes* b : bad) {
            EXPECT_EQ(load_state(b->data(), b->size(), index).error, StateError::damaged);
            EXPECT_EQ(index.entries(), 0u);
            EXPECT_TRUE(entries_of(index).empty());
        }
        EXPECT_EQ(load_state(good.data(), good.size(), index).error, StateError::none);
        EXPECT_EQ(entries_of(index), entries_of(source));
    }
}

// Inputs that share much across runs and within each run.
struct TwoDays {
    Bytes a, b;
};

TwoDays two_days(std::uint64_t seed) {
    const Bytes pool = test::random_bytes(300'000, seed);
    const Bytes fresh = test::random_bytes(200'000, seed + 1);
    // Bytes [from, to) of `source`.
    const auto piece = [](const Bytes& source, std::size_t from, std::size_t to) {
        return std::span(source).subspan(from, to - from);
    };
    TwoDays d;
    // A repeats a stretch of itself; B holds half of what A had (once at its start, once later),
    // new data, and a repeat of its own.
    d.a = test::cat({piece(pool, 0, 250'000), piece(pool, 20'000, 60'000)});
    d.b = test::cat({piece(pool, 100'000, 300'000), piece(fresh, 0, 200'000),
                     piece(pool, 0, 30'000), piece(fresh, 5'000, 45'000)});
    return d;
}

// B run from the state that A left gives what one filter gives for B when it has filtered A
// first and then starts B as a new input; the running total goes on from A's.
TEST(StateFile, RunFromSavedStateEqualsOneFilterTakingBothInputs) {
    struct Case {
        std::uint64_t seed;
        const ChunkingKernels* kernels;
        std::size_t piece;
    };
    const Case cases[] = {
        {11, &best_kernels(), STREAM_BLOCK},
        {12, &best_kernels(), 1000},
        {13, nullptr, STREAM_BLOCK},
    };
    for (const auto& c : cases) {
        const TwoDays d = two_days(c.seed);
        // At most two filters at a time: each reserves its index's 672 MiB of addresses, and a
        // 32-bit process has room for few.
        auto both = test::make_filter();
        both->kernels = c.kernels;
        test::run_in_memory(*both, d.a, c.piece);
        const std::uint64_t total_after_a = both->total;
        const Bytes b_after_a = test::run_in_memory(*both, d.b, c.piece);
        const std::uint64_t total_after_b = both->total;
        const Bytes state_after_b = saved(both->index, {both->total, 0, 0});
        both.reset();

        auto first = test::make_filter();
        first->kernels = c.kernels;
        test::run_in_memory(*first, d.a, c.piece);
        const Bytes state = saved(first->index, {first->total, 0, 0});
        first.reset();

        auto second = test::make_filter();
        second->kernels = c.kernels;
        const StateCheck loaded = load_state(state.data(), state.size(), second->index);
        ASSERT_EQ(loaded.error, StateError::none);
        EXPECT_EQ(loaded.total, total_after_a);
        second->total = loaded.total;
        EXPECT_EQ(test::run_in_memory(*second, d.b, c.piece), b_after_a) << c.seed;
        EXPECT_EQ(second->total, total_after_b) << c.seed;
        EXPECT_EQ(saved(second->index, {second->total, 0, 0}), state_after_b);
        second.reset();

        // The state is what makes the difference: B alone writes what A already had.
        EXPECT_LT(b_after_a.size() + 100'000, test::run_in_memory(d.b).size()) << c.seed;
    }
}

}  // namespace
}  // namespace chunksieve
