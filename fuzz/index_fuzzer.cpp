// Both forms of the fingerprint index, the compact one that runs use (without values and with
// them) and the flat reference, against the run model (run_model.h), after every call: the same
// answer, the same value handed back for a found key, and the same entry, or none, in every slot
// the calls can reach (read from the flat table's bytes in their documented layout, and through
// the compact index's entry_at, with the value where it keeps values).
//
// Input: two bytes per call. The first picks one of a handful of home slots (low three bits) and
// one of 32 keys with that home (high five bits); the keys of a home differ in one byte each,
// across the bytes the index compares. The second gives the value: 0 (a look-up that never
// inserts), the largest value a slot holds, or another value of up to 40 bits.
// The homes crowd together and sit at the table's end, so that runs merge, windows fill and
// drop entries, and runs wrap from the last slot to slot 0; one sits just below a boundary of the
// compact index's groups of 64 slots, so that runs also cross from one group into the next, and
// one just below the middle of a group, where a sparse group's keys are kept apart.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "fuzz_check.h"
#include "index/fingerprint_index.h"
#include "index/flat_index.h"
#include "run_model.h"

namespace {

using namespace chunksieve;
using model::Key;
using model::LAST;

constexpr std::uint32_t HOMES[8] = {LAST - 15, LAST - 9, LAST - 1,       LAST,
                                    0,         14,       (1u << 24) - 6, (1u << 24) + 26};
constexpr std::uint64_t LARGEST_VALUE = (std::uint64_t(1) << 40) - 1;

Key make_key(std::uint32_t home, std::uint32_t tag) {
    Key k{};
    for (int i = 0; i < 4; ++i)
        k[i] = std::uint8_t(home >> (8 * i));
    for (int i = 4; i < 14; ++i)
        k[i] = std::uint8_t(0x30 + i);
    k[14] = 100;  // a chunk length of 100
    // One key byte per tag bit: bits above the slot number in byte 3, the last byte of the
    // 13 compared in one piece, key byte 13, and both length bytes.
    if (tag & 1) k[3] |= 0x80;
    if (tag & 2) k[12] ^= 0x01;
    if (tag & 4) k[13] ^= 0x40;
    if (tag & 8) k[14] ^= 0x02;
    if (tag & 16) k[15] ^= 0x01;
    return k;
}

std::uint64_t value_of(std::uint8_t b, std::size_t call) {
    if (b == 0) return 0;
    if (b == 0xFF) return LARGEST_VALUE;
    return std::uint64_t(b) << 32 | std::uint32_t(call + 1);
}

// Slot layout: bytes 0..3 value bits 0..31, byte 4 value bits 32..39, byte 5 key byte 13,
// bytes 6..7 key bytes 14..15, bytes 8..20 key bytes 0..12. Empty exactly when the value is 0.
void expect_slot(const FlatFingerprintIndex& index, const model::RunModel& m, std::uint32_t s) {
    const std::uint8_t* b = index.slot(s).bytes;
    std::uint64_t value = 0;
    for (int i = 0; i < 5; ++i)
        value |= std::uint64_t(b[i]) << (8 * i);
    const model::Entry* e = m.at(s);
    if (e == nullptr) {
        CHECK(value == 0);
        return;
    }
    CHECK(value == e->value);
    Key k;
    std::memcpy(k.data(), b + 8, 13);
    k[13] = b[5];
    k[14] = b[6];
    k[15] = b[7];
    CHECK(k == e->key);
}

void expect_slot(const FingerprintIndex& index, const model::RunModel& m, std::uint32_t s) {
    ChunkKey k;
    std::uint64_t value = 0;
    const model::Entry* e = m.at(s);
    CHECK(index.entry_at(s, k, &value) == (e != nullptr));
    if (!e) return;
    CHECK(std::memcmp(k.bytes, e->key.data(), 16) == 0);
    CHECK(value == (index.keeps_values() ? e->value : 0));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FlatFingerprintIndex flat;  // a fresh zero mapping: only the few pages touched cost anything
    CHECK(flat.create());
    FingerprintIndex index, valued;
    CHECK(index.create());
    CHECK(valued.create(true));
    model::RunModel m;
    for (std::size_t call = 0; 2 * call + 1 < size; ++call) {
        const std::uint8_t pick = data[2 * call];
        const Key key = make_key(HOMES[pick & 7], pick >> 3);
        const std::uint64_t value = value_of(data[2 * call + 1], call);

        ChunkKey real;
        std::memcpy(real.bytes, key.data(), 16);
        const std::uint32_t found = m.lookup_or_insert(key, value);
        std::uint64_t held_flat = 0, held = 1, held_valued = 0;
        CHECK(flat.lookup_or_insert(real, value, &held_flat) == found);
        CHECK(index.lookup_or_insert(real, value, &held) == found);
        CHECK(valued.lookup_or_insert(real, value, &held_valued) == found);
        if (found) CHECK(held == 0 && held_valued == held_flat && held_flat != 0);

        // Every slot a call can reach: a window from any of the homes, and one slot past it.
        for (const std::uint32_t h : HOMES)
            for (std::uint32_t d = 0; d <= model::WINDOW; ++d) {
                expect_slot(flat, m, (h + d) % model::SLOTS);
                expect_slot(index, m, (h + d) % model::SLOTS);
                expect_slot(valued, m, (h + d) % model::SLOTS);
            }
    }
    return 0;
}
