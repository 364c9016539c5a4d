// The saved index: its checksum, its round trip, every way a file can be unfit, and the meaning of
// a run that starts from a saved state.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "index/crc32c.h"
#include "index/index_state.h"
#include "test_support.h"

namespace chunksieve {
namespace {

using test::Bytes;

class MemorySink final : public ByteSink {
  public:
    bool write_all(const std::uint8_t* data, std::size_t n) override {
        if (int(pieces) == fail_at) return false;
        bytes.insert(bytes.end(), data, data + n);
        ++pieces;
        return true;
    }
    Bytes bytes;
    std::size_t pieces = 0;
    int fail_at = -1;  // the piece that is refused, -1 for none
};

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

ChunkKey key_with_home(std::uint32_t home, std::uint8_t tag) {
    ChunkKey k{};
    std::memcpy(k.bytes, &home, 4);  // the test host is little-endian, as is the home slot
    k.bytes[9] = tag;
    k.bytes[14] = 100;
    return k;
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
            index.lookup_or_insert(key_with_home(last - 1, t), 0xAB00000000 + t);
        index.lookup_or_insert(key_with_home(1234, 9), 9);
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
        source.lookup_or_insert(key_with_home(home, 100), 1);
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
            EXPECT_EQ(index.lookup_or_insert(key_with_home(homes[i], t), t), 0u);
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
                const ChunkKey k = key_with_home(g.first + s, std::uint8_t(s + 1));
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
        index.lookup_or_insert(key_with_home(t * 977, std::uint8_t(t)), 1);
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
    const std::uint32_t crc = crc32c(0, file.data(), file.size() - 4);
    std::memcpy(&file[file.size() - 4], &crc, 4);
    return file;
}

TEST(StateFile, EveryUnfitFileIsRefusedWholeAndLeavesTheIndexEmpty) {
    FingerprintIndex source, valued;
    ASSERT_TRUE(source.create());
    ASSERT_TRUE(valued.create(true));
    for (std::uint8_t t = 1; t <= 3; ++t) {
        source.lookup_or_insert(key_with_home(50u * t, t), t);
        valued.lookup_or_insert(key_with_home(50u * t, t), t);
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

// Pieces [from, to) of the given sources, one after the other.
struct Piece {
    const Bytes& source;
    std::size_t from, to;
};
Bytes joined(std::initializer_list<Piece> pieces) {
    Bytes out;
    for (const Piece& p : pieces)
        for (std::size_t i = p.from; i < p.to; ++i)
            out.push_back(p.source[i]);
    return out;
}

TwoDays two_days(std::uint64_t seed) {
    const Bytes pool = test::random_bytes(300'000, seed);
    const Bytes fresh = test::random_bytes(200'000, seed + 1);
    TwoDays d;
    // A repeats a stretch of itself; B holds half of what A had (once at its start, once later),
    // new data, and a repeat of its own.
    d.a = joined({{pool, 0, 250'000}, {pool, 20'000, 60'000}});
    d.b = joined(
        {{pool, 100'000, 300'000}, {fresh, 0, 200'000}, {pool, 0, 30'000}, {fresh, 5'000, 45'000}});
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
