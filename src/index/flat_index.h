// FlatFingerprintIndex: the reference form of the fingerprint index, kept beside the compact
// FingerprintIndex (fingerprint_index.h) that runs use, which must give the same answer to every
// call. One flat open-addressing table of 2^25 packed 21-byte slots (672 MiB of addresses),
// searched within a window of 16 slots from the key's home slot. A new key always takes its home
// slot and the run in front of it moves up one slot; a full window drops one entry. The index is
// lossy by design: an entry pushed out of its own window is not found again, and its chunk counts
// as new.
#pragma once

#include <cstddef>
#include <cstdint>

#include "chunking/chunk_digest.h"

namespace chunksieve {

// Slot layout, 21 bytes, packed, little-endian:
//   0..3   value bits 0..31      5      key byte 13       8..20  key bytes 0..12
//   4      value bits 32..39     6..7   key bytes 14..15 (the chunk length)
// A slot is empty exactly when its 40-bit value is 0; an empty slot's key bytes mean nothing.
struct IndexSlot {
    std::uint8_t bytes[21];
};
static_assert(sizeof(IndexSlot) == 21, "slots are packed: 2^25 of them fill 672 MiB exactly");

// One entry of the run being rearranged by an insertion.
struct ProbeRun {
    ChunkKey key;
    std::uint64_t value;  // of which 40 bits are stored
    std::uint32_t slot;   // the slot it will be written to
};

class FlatFingerprintIndex {
  public:
    static constexpr std::uint32_t SLOT_BITS = 25;
    static constexpr std::uint32_t SLOT_COUNT = std::uint32_t(1) << SLOT_BITS;
    static constexpr std::uint32_t SLOT_MASK = SLOT_COUNT - 1;
    static constexpr std::size_t TABLE_BYTES = std::size_t(SLOT_COUNT) * sizeof(IndexSlot);
    static constexpr std::uint32_t PROBE_WINDOW = 16;
    static constexpr std::uint64_t VALUE_MASK = (std::uint64_t(1) << 40) - 1;
    static_assert((SLOT_COUNT & SLOT_MASK) == 0, "slot numbers wrap by masking");
    static_assert(TABLE_BYTES == 704'643'072);
    static_assert(PROBE_WINDOW == 16, "a search and a run are bounded by 16 slots");

    FlatFingerprintIndex() = default;
    ~FlatFingerprintIndex();
    FlatFingerprintIndex(const FlatFingerprintIndex&) = delete;
    FlatFingerprintIndex& operator=(const FlatFingerprintIndex&) = delete;

    // Obtains the zero-filled table; false when the memory cannot be had.
    bool create();
    // Backs the table with large pages from now on, where the system has them (a hint).
    void use_large_pages();

    // 1 when key is held in the occupied slots from its home up to the first empty one (at most
    // PROBE_WINDOW slots); nothing changes then, and `*held` (when held is given) is the value
    // stored with the key. Otherwise 0, and the key has been inserted with `value` (unless value
    // is 0, which marks an empty slot and is never stored). A slot keeps 40 bits: value must be
    // at most VALUE_MASK, or a key could be stored as an empty slot.
    std::uint32_t lookup_or_insert(const ChunkKey& key, std::uint64_t value,
                                   std::uint64_t* held = nullptr);

    static std::uint32_t home_slot(const ChunkKey& key);

    // Brings the start of a key's search towards the cache, for a caller that knows it early.
    void prefetch(const ChunkKey& key) const {
        const auto* p = reinterpret_cast<const char*>(slots_ + home_slot(key));
        __builtin_prefetch(p);
        __builtin_prefetch(p + 63);
    }
    // The table never runs short once created: every page is committed up front.
    bool failed() const { return false; }

    // Direct slot access for tests and diagnostics.
    const IndexSlot& slot(std::uint32_t j) const { return slots_[j & SLOT_MASK]; }
    IndexSlot& slot(std::uint32_t j) { return slots_[j & SLOT_MASK]; }

    static std::uint64_t slot_value(const IndexSlot& s);
    static ChunkKey slot_key(const IndexSlot& s);
    static void write_slot(IndexSlot& s, const ChunkKey& key, std::uint64_t value);

  private:
    IndexSlot* slots_ = nullptr;
    ProbeRun run_[PROBE_WINDOW];
};

}  // namespace chunksieve
