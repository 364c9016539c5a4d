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

class MemorySink final : public StateSink {
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

Bytes saved(const FingerprintIndex& index, std::uint64_t total) {
    MemorySink sink;
    EXPECT_EQ(save_state(index, total, sink), StateError::none);
    return sink.bytes;
}

std::vector<std::pair<std::uint32_t, ChunkKey>> entries_of(const FingerprintIndex& index) {
    std::vector<std::pair<std::uint32_t, ChunkKey>> out;
    index.for_each_entry(
        [&](std::uint32_t slot, const ChunkKey& key) { out.emplace_back(slot, key); });
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

TEST(StateFile, RoundTripKeepsSlotsKeysAndTotal) {
    FingerprintIndex index;
    ASSERT_TRUE(index.create());
    const std::uint32_t last = FingerprintIndex::SLOT_MASK;
    // A run wrapping from the last slot to slot 0, and a lone key in between.
    for (std::uint8_t t = 1; t <= 3; ++t)
        index.lookup_or_insert(key_with_home(last - 1, t), t);
    index.lookup_or_insert(key_with_home(1234, 9), 9);
    const Bytes file = saved(index, 0x123456789AB);
    EXPECT_EQ(file.size(), 124u);  // 40 bytes of header, 4 entries of 20, 4 of checksum
    EXPECT_EQ(std::memcmp(file.data(), "CSIEVEIX", 8), 0);

    FingerprintIndex loaded;
    ASSERT_TRUE(loaded.create());
    const StateCheck c = load_state(file.data(), file.size(), loaded);
    ASSERT_EQ(c.error, StateError::none);
    EXPECT_EQ(c.entries, 4u);
    EXPECT_EQ(c.total, 0x123456789ABu);
    EXPECT_EQ(loaded.entries(), 4u);
    const auto slots = entries_of(loaded);
    EXPECT_EQ(slots, entries_of(index));
    ASSERT_EQ(slots.size(), 4u);
    EXPECT_EQ(slots[0].first, 0u);  // the wrapped entry comes first in slot order
    EXPECT_EQ(slots[3].first, last);
    EXPECT_EQ(saved(loaded, 0x123456789AB), file);
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
    FingerprintIndex index;
    ASSERT_TRUE(index.create());
    std::vector<std::pair<std::uint32_t, ChunkKey>> placed;
    std::vector<std::uint32_t> empty;
    for (const Group& g : groups)
        for (std::uint32_t s = 0; s < 64; ++s) {
            if (!g.held(s)) {
                empty.push_back(g.first + s);
                continue;
            }
            const ChunkKey k = key_with_home(g.first + s, std::uint8_t(s + 1));
            ASSERT_EQ(index.lookup_or_insert(k, 1), 0u);
            placed.emplace_back(g.first + s, k);
        }
    ASSERT_EQ(placed.size(), 151u);
    const Bytes file = saved(index, 77);
    EXPECT_EQ(file.size(), 3064u);

    FingerprintIndex loaded;
    ASSERT_TRUE(loaded.create());
    ASSERT_EQ(load_state(file.data(), file.size(), loaded).error, StateError::none);
    EXPECT_EQ(loaded.entries(), 151u);
    for (const auto& [slot, key] : placed) {
        ChunkKey k;
        EXPECT_TRUE(loaded.entry_at(slot, k) && k == key) << slot;
        EXPECT_EQ(loaded.lookup_or_insert(key, 0), 1u) << slot;
    }
    for (const std::uint32_t slot : empty) {
        ChunkKey k;
        EXPECT_FALSE(loaded.entry_at(slot, k)) << slot;
    }
    EXPECT_EQ(saved(loaded, 77), file);
}

TEST(StateFile, EmptyIndexAndFailingSink) {
    FingerprintIndex index;
    ASSERT_TRUE(index.create());
    EXPECT_EQ(saved(index, 0).size(), 44u);

    for (std::uint32_t t = 0; t < 5000; ++t)  // 100,000 bytes of entries: two pieces and more
        index.lookup_or_insert(key_with_home(t * 977, std::uint8_t(t)), 1);
    for (int fail_at : {0, 1}) {
        MemorySink sink;
        sink.fail_at = fail_at;
        EXPECT_EQ(save_state(index, 0, sink), StateError::write_failed);
        EXPECT_EQ(sink.pieces, std::size_t(fail_at));  // nothing after the refused piece
    }
}

// A state whose fields are rewritten and whose checksum is made to match again: what a save
// of another format or another index would look like.
Bytes resealed(Bytes file, std::size_t at, std::uint32_t value) {
    std::memcpy(&file[at], &value, 4);
    const std::uint32_t crc = crc32c(0, file.data(), file.size() - 4);
    std::memcpy(&file[file.size() - 4], &crc, 4);
    return file;
}

TEST(StateFile, EveryUnfitFileIsRefusedWholeAndLeavesTheIndexEmpty) {
    FingerprintIndex source;
    ASSERT_TRUE(source.create());
    for (std::uint8_t t = 1; t <= 3; ++t)
        source.lookup_or_insert(key_with_home(50u * t, t), t);
    const Bytes good = saved(source, 640);
    ASSERT_EQ(good.size(), 104u);

    auto cut = [&](std::size_t n) { return Bytes(good.begin(), good.begin() + n); };
    auto flipped = [&](std::size_t byte, int bit) {
        Bytes b = good;
        b[byte] ^= std::uint8_t(1 << bit);
        return b;
    };
    Bytes longer = good;
    longer.push_back(0);
    Bytes unordered = good;  // entries 1 and 2 swapped: every byte is a state's, but not in order
    std::swap_ranges(unordered.begin() + 60, unordered.begin() + 80, unordered.begin() + 80);

    struct Case {
        const char* name;
        Bytes file;
        StateError error;
    };
    const Case cases[] = {
        {"empty file", {}, StateError::empty},
        {"cut inside the magic number", cut(5), StateError::truncated},
        {"cut inside the header", cut(30), StateError::truncated},
        {"header only", cut(40), StateError::truncated},
        {"cut inside an entry", cut(70), StateError::truncated},
        {"checksum cut short", cut(102), StateError::truncated},
        {"one byte longer", longer, StateError::damaged},
        {"bit flipped in an entry's key", flipped(50, 3), StateError::damaged},
        {"bit flipped in an entry's slot", flipped(61, 0), StateError::damaged},
        {"bit flipped in the running total", flipped(33, 7), StateError::damaged},
        {"bit flipped in the version", flipped(8, 1), StateError::damaged},
        {"entry count raised by a flipped bit", flipped(24, 2), StateError::truncated},
        {"entry count lowered by a flipped bit", flipped(24, 0), StateError::damaged},
        {"bit flipped in the checksum", flipped(103, 6), StateError::damaged},
        {"wrong magic number", flipped(0, 5), StateError::not_state},
        {"text", Bytes{'h', 'e', 'l', 'l', 'o', '\n'}, StateError::not_state},
        {"version 2", resealed(good, 8, 2), StateError::version},
        {"another slot count", resealed(good, 12, 1u << 24), StateError::parameters},
        {"another window", resealed(good, 16, 8), StateError::parameters},
        {"another key size", resealed(good, 20, 20), StateError::parameters},
        {"slots out of order", resealed(unordered, 0, 0x45495343), StateError::damaged},
        {"slot beyond the table", resealed(good, 40, 1u << 25), StateError::damaged},
        // The last entry in slot 101 of a second lap: in the second entry's group, were slots
        // taken modulo the table.
        {"later slot beyond the table", resealed(good, 80, (1u << 25) + 101), StateError::damaged},
        {"more entries than slots", resealed(good, 24, (1u << 25) + 1), StateError::damaged},
    };
    FingerprintIndex index;
    ASSERT_TRUE(index.create());
    for (const auto& c : cases) {
        EXPECT_EQ(load_state(c.file.data(), c.file.size(), index).error, c.error) << c.name;
        EXPECT_EQ(index.entries(), 0u) << c.name;
    }
    EXPECT_EQ(load_state(good.data(), good.size(), index).error, StateError::none);
    EXPECT_EQ(check_state(resealed(good, 8, 2).data(), 104).version, 2u);
}

// A file of a megabyte and more is checked while its entries go in: damage found late, by the
// checksum or in the slots, must still leave the index empty, and the index fit for a sound file.
TEST(StateFile, DamageFoundWhileLoadingALargeFileLeavesTheIndexEmpty) {
    FingerprintIndex source;
    ASSERT_TRUE(source.create());
    const Bytes seed = test::random_bytes(16 * 80'000, 11);
    for (std::size_t i = 0; i < 80'000; ++i) {
        ChunkKey k;
        std::memcpy(k.bytes, &seed[16 * i], 16);
        source.lookup_or_insert(k, i + 1);
    }
    const Bytes good = saved(source, 1);
    ASSERT_GE(good.size(), std::size_t(1) << 20);
    const std::size_t last_entry = good.size() - 4 - 20;

    Bytes flipped = good;  // in the last entry's key: only the checksum tells
    flipped[last_entry + 10] ^= 0x08;
    Bytes unordered = good;  // the last two entries swapped, the checksum made to match
    std::swap_ranges(unordered.begin() + std::ptrdiff_t(last_entry - 20),
                     unordered.begin() + std::ptrdiff_t(last_entry),
                     unordered.begin() + std::ptrdiff_t(last_entry));
    unordered = resealed(unordered, 0, 0x45495343);

    FingerprintIndex index;
    ASSERT_TRUE(index.create());
    for (const Bytes* bad : {&flipped, &unordered}) {
        EXPECT_EQ(load_state(bad->data(), bad->size(), index).error, StateError::damaged);
        EXPECT_EQ(index.entries(), 0u);
        EXPECT_TRUE(entries_of(index).empty());
    }
    EXPECT_EQ(load_state(good.data(), good.size(), index).error, StateError::none);
    EXPECT_EQ(entries_of(index), entries_of(source));
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

Bytes run(DedupFilter& f, const Bytes& input, std::size_t piece) {
    MemoryIo io(input, piece);
    EXPECT_EQ(run_filter(f, io), RunStatus::complete);
    return io.output;
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
        run(*both, d.a, c.piece);
        const std::uint64_t total_after_a = both->total;
        const Bytes b_after_a = run(*both, d.b, c.piece);
        const std::uint64_t total_after_b = both->total;
        const Bytes state_after_b = saved(both->index, both->total);
        both.reset();

        auto first = test::make_filter();
        first->kernels = c.kernels;
        run(*first, d.a, c.piece);
        const Bytes state = saved(first->index, first->total);
        first.reset();

        auto second = test::make_filter();
        second->kernels = c.kernels;
        const StateCheck loaded = load_state(state.data(), state.size(), second->index);
        ASSERT_EQ(loaded.error, StateError::none);
        EXPECT_EQ(loaded.total, total_after_a);
        second->total = loaded.total;
        EXPECT_EQ(run(*second, d.b, c.piece), b_after_a) << c.seed;
        EXPECT_EQ(second->total, total_after_b) << c.seed;
        EXPECT_EQ(saved(second->index, second->total), state_after_b);
        second.reset();

        // The state is what makes the difference: B alone writes what A already had.
        EXPECT_LT(b_after_a.size() + 100'000, test::run_in_memory(d.b).size()) << c.seed;
    }
}

}  // namespace
}  // namespace chunksieve
