// FingerprintIndex: remembers the ChunkKey of every chunk met so far and tells whether a key is
// known. It answers every call exactly as a flat open-addressing table of 2^25 slots would
// (FlatFingerprintIndex, the reference): a key is searched within a window of 16 slots from its
// home slot; a new key always takes its home slot and the run in front of it moves up one slot;
// a full window drops one entry. The index is lossy by design: an entry pushed out of its own
// window is not found again, and its chunk counts as new.
//
// Memory follows the entries instead of the slot count. The slots are cut into groups of
// GROUP_SLOTS; a group that holds entries has a block in a pool: a bit per slot for which slots
// are occupied, then the entries themselves. A block is compact while few of its slots are held:
// the entries of the group's lower half in slot order from the block's front, those of its upper
// half in slot order up to the block's end, the free room between them, so that an insertion
// moves only the entries between its place and that room (a quarter of the block on average, not
// half). Once the group is mostly full its block is dense (entry i in slot i), where the dense
// form is no larger per entry and an insertion moves only the run it lands in. A block that fills
// up moves to a larger one at the pool's end; the pool slides its live blocks down over outgrown
// ones when these waste enough memory. The pool lives in one reservation of address space and is
// committed in steps as it grows.
//
// Values are kept only when asked for at create(): then every entry carries the 40-bit value it
// was inserted with, in an array of 5-byte values behind the block's entries, at the same places
// as the entries (so that the keys stay 16 bytes apart for the search), and a found key's value is
// handed back. Without values the blocks hold keys alone. A value of 0 is never stored by an
// insertion: it means "look up only"; a held value of 0 means "unknown" (an entry loaded from a
// saved state that had no values).
#pragma once

#include <atomic>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <mutex>

#include "chunking/chunk_digest.h"

namespace chunksieve {

class FingerprintIndex {
  public:
    static constexpr std::uint32_t SLOT_BITS = 25;
    static constexpr std::uint32_t SLOT_COUNT = std::uint32_t(1) << SLOT_BITS;
    static constexpr std::uint32_t SLOT_MASK = SLOT_COUNT - 1;
    static constexpr std::uint32_t PROBE_WINDOW = 16;
    static constexpr std::uint64_t VALUE_MASK = (std::uint64_t(1) << 40) - 1;
    static constexpr std::size_t VALUE_BYTES = 5;  // a value as a block keeps it, little-endian

    static constexpr std::uint32_t GROUP_BITS = 6;
    static constexpr std::uint32_t GROUP_SLOTS = std::uint32_t(1) << GROUP_BITS;
    static constexpr std::uint32_t GROUP_COUNT = SLOT_COUNT >> GROUP_BITS;
    static constexpr std::uint32_t HALF_SLOTS = GROUP_SLOTS / 2;
    static_assert(PROBE_WINDOW <= HALF_SLOTS, "a window spans at most two halves of groups");
    static_assert(PROBE_WINDOW == 16, "a window's occupancy fits 16 bits");
    // Sizes a sparse group's block comes in, before it turns dense.
    static constexpr std::size_t COMPACT_CLASSES = 13;

    // Address space reserved for the directory and the pool: the flat table's size, which also
    // bounds the memory the index can ever take (every group dense takes 518 MiB). With values,
    // every group dense takes 680 MiB, 21.25 bytes a slot where the flat table takes 21 (the
    // blocks' headers): with the directory's 2 MiB, 341 large pages.
    static constexpr std::size_t REGION_BYTES = 704'643'072;
    static constexpr std::size_t VALUED_REGION_BYTES = 715'128'832;

    FingerprintIndex() = default;
    ~FingerprintIndex();
    FingerprintIndex(const FingerprintIndex&) = delete;
    FingerprintIndex& operator=(const FingerprintIndex&) = delete;

    // Reserves the address space and commits the directory; false when either cannot be had.
    // With keep_values every entry carries its value (5 bytes more an entry). Called again, it
    // may change the mode only while the index holds no block (nothing inserted since it was
    // created or last cleared); otherwise it is false when the mode differs.
    bool create(bool keep_values = false);
    bool keeps_values() const { return keep_values_; }
    // Forgets every entry, as if just created, in the same mode; the memory committed so far
    // stays, for reuse.
    void clear();

    // 1 when key is held in the occupied slots from its home up to the first empty one (at most
    // PROBE_WINDOW slots); nothing changes then, and `*held` (when held is given) is the value
    // stored with the key: 0 when the index keeps no values, or when the value is unknown.
    // Otherwise 0, and the key has been inserted with `value` (unless value is 0: look up only;
    // at most VALUE_MASK). When the memory for an insertion cannot be committed, the call returns
    // 0 without inserting and failed() is true from then on: the answers that follow would no
    // longer be those of the table, so the caller must stop.
    std::uint32_t lookup_or_insert(const ChunkKey& key, std::uint64_t value,
                                   std::uint64_t* held = nullptr) {
        return keep_values_ ? ask<true>(key, value, held) : ask<false>(key, value, held);
    }
    bool failed() const { return failed_; }

    // Bring a key's group towards the cache, for a caller that knows the key early: first the
    // directory word that finds its block, then, some steps later, the block itself.
    void prefetch_directory(const ChunkKey& key) const;
    void prefetch(const ChunkKey& key) const;

    // Commits the pool's next step of memory once insertions are near the end of what is
    // committed: for a thread other than the one that inserts, so that the cost of fresh memory
    // (zeroing it, and more when the host has taken it back) leaves the insertions' path. One
    // such thread may call it at any time while the index is in use, except during create()
    // and clear(); it does nothing when nothing is near, or when an insertion is committing.
    // Insertions commit for themselves whatever they find not yet committed.
    void commit_ahead();

    std::uint64_t entries() const { return entries_; }  // occupied slots
    std::uint64_t dropped() const { return dropped_; }  // entries lost to full windows
    // Entries held with the value 0, "unknown": those restored without values into an index that
    // keeps values, less those dropped since. 0 without values.
    std::uint64_t unknown_values() const { return unknown_values_; }
    // Bytes of the pool in use, live and outgrown blocks alike (what the index has touched).
    std::size_t pool_bytes() const { return top_ - DIRECTORY_BYTES; }
    // Slides the pool's live blocks down over outgrown ones. Insertions do this by themselves when
    // outgrown blocks waste enough memory; tests call it at chosen points.
    void compact();
    std::uint64_t compactions() const { return compactions_; }
    // For tests only: the pool's allowance before outgrown blocks are squeezed out (see
    // POOL_ALLOWANCE_BASE in the .cpp), lowered so that insertions set compactions off often.
    // create() sets the allowance of its mode; clear() keeps what is set.
    void set_pool_allowance(std::size_t base, std::size_t per_entry) {
        allowance_base_ = base;
        allowance_per_entry_ = per_entry;
    }

    // Every occupied slot, in slot order: f(slot, key, value), value 0 without values.
    template <class F>
    void for_each_entry(F&& f) const;
    // Every group that holds entries, in group order: f(group, bits, keys, values), where bit s
    // of bits tells that slot s of the group is occupied, keys holds the keys of the occupied
    // slots in slot order, 16 bytes each, back to back, and values their values in the same
    // order (nullptr when the index keeps no values). What a save walks.
    template <class F>
    void for_each_group(F&& f) const;
    // Gives the group `group`, which holds no entries yet, the occupied slots `bits` (not 0) at
    // once, as a saved index is loaded: the key of the i-th occupied slot is the 16 bytes at
    // keys + i * stride, and its value the 5 bytes (little-endian) at values + i * stride; with
    // values null, or in an index without values, none is given (unknown: 0). Nothing moves.
    // False when the memory cannot be had (failed() is then true).
    bool restore_group(std::uint32_t group, std::uint64_t bits, const std::uint8_t* keys,
                       const std::uint8_t* values, std::size_t stride);
    // The key in `slot` and its value (0 without values), for tests and diagnostics; false when
    // the slot is empty.
    bool entry_at(std::uint32_t slot, ChunkKey& key, std::uint64_t* value = nullptr) const;

    static std::uint32_t home_slot(const ChunkKey& key);
    // The group a slot belongs to (slot numbers taken modulo SLOT_COUNT).
    static std::uint32_t group_of(std::uint32_t slot) { return (slot & SLOT_MASK) >> GROUP_BITS; }

  private:
    struct Entry {
        std::uint64_t lo, hi;  // the key's 16 bytes as they stand in memory
        friend bool operator==(const Entry&, const Entry&) = default;
    };
    // An entry with its value, as an insertion moves it from one place to the next.
    struct Item {
        Entry entry;
        std::uint64_t value;  // unused without values
    };
    // The start of a group's block; `capacity` entries follow it, then, when the index keeps
    // values, `capacity` values of VALUE_BYTES each, at the entries' places, rounded up to a UNIT.
    struct Block {
        std::uint64_t bits;      // bit s: slot s of the group is occupied
        std::uint32_t group;     // whose block this is, or'ed with OUTGROWN once it is not live
        std::uint16_t count;     // occupied slots: the bits set
        std::uint16_t capacity;  // entries there is room for; GROUP_SLOTS: dense
        bool dense() const { return capacity == GROUP_SLOTS; }
        Entry* entries() { return reinterpret_cast<Entry*>(this + 1); }
        const Entry* entries() const { return reinterpret_cast<const Entry*>(this + 1); }
        std::uint8_t* values() { return reinterpret_cast<std::uint8_t*>(entries() + capacity); }
        const std::uint8_t* values() const {
            return reinterpret_cast<const std::uint8_t*>(entries() + capacity);
        }
    };
    static_assert(sizeof(Block) == 16 && sizeof(Entry) == 16);
    static_assert(GROUP_SLOTS == 64, "a group's occupancy is one 64-bit word");
    static constexpr std::uint32_t OUTGROWN = std::uint32_t(1) << 31;
    static_assert(GROUP_COUNT <= OUTGROWN, "group numbers leave the top bit free");
    // Blocks are placed in units of 16 bytes; the directory word holds a block's offset in the
    // region in these units, 0 for a group without a block (the directory itself is at offset 0).
    static constexpr std::size_t UNIT = 16;
    static constexpr std::size_t DIRECTORY_BYTES = GROUP_COUNT * sizeof(std::uint32_t);
    static_assert(DIRECTORY_BYTES % UNIT == 0 && VALUED_REGION_BYTES / UNIT <= UINT32_MAX);

    static Entry entry_of(const ChunkKey& key) {
        Entry e;
        std::memcpy(&e, key.bytes, sizeof e);
        return e;
    }
    static ChunkKey key_of(const Entry& e) {
        ChunkKey k;
        std::memcpy(k.bytes, &e, sizeof k.bytes);
        return k;
    }
    static std::uint64_t load_value(const std::uint8_t* p) {
        return std::uint64_t(p[0]) | std::uint64_t(p[1]) << 8 | std::uint64_t(p[2]) << 16 |
               std::uint64_t(p[3]) << 24 | std::uint64_t(p[4]) << 32;
    }
    static void store_value(std::uint8_t* p, std::uint64_t v) {
        for (std::size_t i = 0; i < VALUE_BYTES; ++i)
            p[i] = std::uint8_t(v >> (8 * i));
    }
    static constexpr std::size_t keys_block_bytes(std::uint32_t capacity) {
        return sizeof(Block) + capacity * sizeof(Entry);
    }
    static constexpr std::size_t valued_block_bytes(std::uint32_t capacity) {
        return keys_block_bytes(capacity) + (capacity * VALUE_BYTES + UNIT - 1) / UNIT * UNIT;
    }
    std::size_t block_bytes(std::uint32_t capacity) const {
        return keep_values_ ? valued_block_bytes(capacity) : keys_block_bytes(capacity);
    }

    // A directory word: the block's offset in the region in UNITs, and above it the block's
    // size in cache lines, so that a prefetch can take the whole block without reading it first.
    static constexpr std::uint32_t OFFSET_BITS = 26;
    static constexpr std::uint32_t OFFSET_MASK = (std::uint32_t(1) << OFFSET_BITS) - 1;
    static_assert(VALUED_REGION_BYTES / UNIT <= OFFSET_MASK, "every offset fits below the size");
    std::uint32_t directory_word(std::size_t at, std::uint32_t capacity) const {
        const std::size_t lines = (block_bytes(capacity) + 63) / 64;
        return std::uint32_t(at / UNIT) | std::uint32_t(lines) << OFFSET_BITS;
    }

    // Brings a group's block towards the cache. Its first two lines are asked for
    // without a test: most blocks span two, and a prefetch of any address is harmless (for a
    // group without a block, it is the directory's start).
    void prefetch_block(std::uint32_t group) const {
        const std::uint32_t word = directory_[group];
        const char* p =
            reinterpret_cast<const char*>(region_) + std::size_t(word & OFFSET_MASK) * UNIT;
        const std::uint32_t lines = word >> OFFSET_BITS;
        __builtin_prefetch(p);
        __builtin_prefetch(p + 64);
        for (std::uint32_t line = 2; line < lines; ++line)
            __builtin_prefetch(p + std::size_t(line) * 64);
    }

    Block* block(std::uint32_t group) const {
        const std::uint32_t at = directory_[group] & OFFSET_MASK;
        return at ? reinterpret_cast<Block*>(region_ + std::size_t(at) * UNIT) : nullptr;
    }
    // Where the entries of the group's slots from s on (within s's half) begin: in a compact
    // block the rank of s among the occupied slots of its half below it, counted from the
    // block's front for the lower half and back from its end for the upper; s itself in a dense
    // block. For an occupied slot, where its entry is.
    static std::uint32_t position(const Block& b, std::uint32_t s);
    // In a compact block, where the upper half's entries begin; they end at the block's end.
    static std::uint32_t upper_begin(const Block& b);

    template <bool VALUES>
    std::uint32_t ask(const ChunkKey& key, std::uint64_t value, std::uint64_t* held);
    template <bool VALUES>
    static void push_open(Block& b, std::uint32_t s, std::uint32_t m, const Item& item);
    template <bool VALUES>
    static Item push_closed(Block& b, std::uint32_t s, std::uint32_t m, const Item& item);
    // Inlined into prefetch(): as a call of its own it would be dropped, for a function that
    // does nothing but prefetch counts as having no effect.
    template <bool VALUES>
    [[gnu::always_inline]] void prefetch_lines(const char* p, std::size_t lines,
                                               std::uint32_t s) const;
    void place_block(std::size_t at, std::uint32_t group, std::uint16_t capacity,
                     std::uint64_t bits, const std::uint8_t* lower, const std::uint8_t* upper,
                     std::size_t stride);
    static void place_values(Block& b, const std::uint8_t* lower, const std::uint8_t* upper,
                             std::size_t stride);
    bool make_room(std::uint32_t group);
    std::size_t allocate(std::uint16_t capacity);
    bool commit_up_to(std::size_t end);
    static std::size_t commit_step(std::size_t committed);

    std::uint8_t* region_ = nullptr;      // the directory, then the pool
    std::size_t region_bytes_ = 0;        // REGION_BYTES, or VALUED_REGION_BYTES with values
    std::uint32_t* directory_ = nullptr;  // GROUP_COUNT words
    std::size_t top_ = DIRECTORY_BYTES;   // end of the pool's last block
    // Bytes of the region committed, from its start. Written under commit_mutex_ only (by the
    // inserting thread or by commit_ahead's); read without it by the inserting thread.
    std::atomic<std::size_t> committed_{0};
    std::mutex commit_mutex_;
    // The end up to which commit_ahead is asked to commit; 0 when not asked.
    std::atomic<std::size_t> commit_wanted_{0};
    std::size_t outgrown_ = 0;  // bytes of the pool in blocks no group uses any more
    std::uint32_t free_[COMPACT_CLASSES] = {};  // outgrown blocks by class, linked; 0 ends a list
    std::uint64_t entries_ = 0;
    std::uint64_t dropped_ = 0;
    std::uint64_t compactions_ = 0;
    std::uint64_t unknown_values_ = 0;
    std::size_t allowance_base_ = 0;  // the pool's allowance: set by create() for its mode
    std::size_t allowance_per_entry_ = 0;
    bool keep_values_ = false;
    bool failed_ = false;
};

template <class F>
void FingerprintIndex::for_each_entry(F&& f) const {
    for_each_group([&](std::uint32_t g, std::uint64_t bits, const std::uint8_t* keys,
                       const std::uint64_t* values) {
        for (std::uint32_t i = 0; bits != 0; bits &= bits - 1, keys += sizeof(ChunkKey), ++i) {
            ChunkKey k;
            std::memcpy(k.bytes, keys, sizeof k.bytes);
            f(g << GROUP_BITS | std::uint32_t(std::countr_zero(bits)), k, values ? values[i] : 0);
        }
    });
}

template <class F>
void FingerprintIndex::for_each_group(F&& f) const {
    static_assert(sizeof(Entry) == sizeof(ChunkKey), "an entry is a key's bytes as they stand");
    // Blocks lie in the pool in the order they were made, not in group order: each is asked
    // for some groups ahead of its turn.
    constexpr std::uint32_t AHEAD = 16;
    Entry gathered[GROUP_SLOTS];
    std::uint64_t values[GROUP_SLOTS];
    for (std::uint32_t g = 0; g < GROUP_COUNT; ++g) {
        if (g + AHEAD < GROUP_COUNT) prefetch_block(g + AHEAD);
        const Block* b = block(g);
        if (!b) continue;
        const Entry* keys = b->entries();
        const std::uint8_t* const held = b->values();
        if (b->dense()) {
            std::uint32_t rank = 0;
            for (std::uint64_t bits = b->bits; bits != 0; bits &= bits - 1, ++rank) {
                const int s = std::countr_zero(bits);
                gathered[rank] = keys[s];
                if (keep_values_) values[rank] = load_value(held + s * VALUE_BYTES);
            }
            keys = gathered;
        } else {
            // The halves' entries, in slot order each, with free room between them.
            const std::uint32_t upper = std::popcount(b->bits >> HALF_SLOTS);
            const std::uint32_t lower = b->count - upper, upper_at = b->capacity - upper;
            if (upper > 0 && b->count < b->capacity) {
                std::memcpy(gathered, keys, lower * sizeof(Entry));
                std::memcpy(gathered + lower, keys + upper_at, upper * sizeof(Entry));
                keys = gathered;
            }
            if (keep_values_) {
                for (std::uint32_t i = 0; i < lower; ++i)
                    values[i] = load_value(held + i * VALUE_BYTES);
                for (std::uint32_t i = 0; i < upper; ++i)
                    values[lower + i] = load_value(held + (upper_at + i) * VALUE_BYTES);
            }
        }
        f(g, b->bits, reinterpret_cast<const std::uint8_t*>(keys),
          keep_values_ ? static_cast<const std::uint64_t*>(values) : nullptr);
    }
}

}  // namespace chunksieve
