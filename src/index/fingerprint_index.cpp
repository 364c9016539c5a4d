#include "index/fingerprint_index.h"

#include <algorithm>
#include <cassert>

#include "chunking/byte_order.h"
#include "index/table_memory.h"

namespace chunksieve {

namespace {

// The room a compact block has, class by class: steps of an eighth to a quarter, so that an
// outgrown block is copied once per several insertions and a block's unused room stays small.
// A group that outgrows the last compact class turns dense: 4 KiB of entries for at least 177 of
// them, no more per entry (23.4 bytes with the header) than the compact form's worst.
constexpr std::uint16_t COMPACT_CAPACITIES[] = {1,  2,  3,  4,   6,   8,   10,  12, 14,
                                                16, 20, 24, 28,  32,  40,  48,  56, 64,
                                                72, 80, 96, 112, 128, 144, 160, 176};

// The pool may grow to this many bytes, plus this many per entry, before outgrown blocks are
// squeezed out: with the directory and the program's own few MiB, a run stays within 16 MiB
// plus 24 bytes per entry held.
constexpr std::size_t POOL_ALLOWANCE_BASE = std::size_t(8) << 20;
constexpr std::size_t POOL_ALLOWANCE_PER_ENTRY = 22;

// The pool is committed ahead of need by at least this much, and by a quarter of what it holds.
constexpr std::size_t COMMIT_STEP = LARGE_PAGE_BYTES;

std::uint16_t next_capacity(std::uint16_t capacity) {
    for (const std::uint16_t c : COMPACT_CAPACITIES)
        if (c > capacity) return c;
    return FingerprintIndex::GROUP_SLOTS;
}

// The group's occupancy from slot s on, one bit a slot, 16 slots (fewer at the group's end: the
// slots past it read as empty).
std::uint32_t window_bits(const std::uint64_t* bits, std::uint32_t s) {
    const std::uint32_t w = s / 64, shift = s % 64;
    std::uint64_t v = bits[w] >> shift;
    if (shift > 64 - 16 && w + 1 < FingerprintIndex::GROUP_SLOTS / 64)
        v |= bits[w + 1] << (64 - shift);
    return std::uint32_t(v) & 0xFFFF;
}

void set_bit(std::uint64_t* bits, std::uint32_t s) {
    bits[s / 64] |= std::uint64_t(1) << (s % 64);
}

}  // namespace

FingerprintIndex::~FingerprintIndex() {
    release_region(region_, REGION_BYTES);
}

bool FingerprintIndex::create() {
    if (region_) return true;
    region_ = static_cast<std::uint8_t*>(reserve_region(REGION_BYTES));
    if (!region_) return false;
    // Every look-up reads the directory, and keys are spread over all of it: large pages where
    // the system has them, committed whole at once, with the pool's first step beside it.
    advise_large_pages(region_, REGION_BYTES);
    directory_ = reinterpret_cast<std::uint32_t*>(region_);
    if (!commit_to(DIRECTORY_BYTES)) {
        release_region(region_, REGION_BYTES);
        region_ = nullptr;
        return false;
    }
    return true;
}

std::uint32_t FingerprintIndex::home_slot(const ChunkKey& key) {
    return load_le32(key.bytes) & SLOT_MASK;
}

void FingerprintIndex::prefetch(const ChunkKey& key) const {
    const Block* b = block(home_slot(key) >> GROUP_BITS);
    if (!b) return;
    const auto* p = reinterpret_cast<const char*>(b);
    __builtin_prefetch(p);
    __builtin_prefetch(p + 64);
}

std::uint32_t FingerprintIndex::position(const Block& b, std::uint32_t s) {
    if (b.dense()) return s;
    const std::uint32_t w = s / 64;
    std::uint32_t rank = 0;
    for (std::uint32_t i = 0; i < w; ++i)
        rank += std::uint32_t(std::popcount(b.bits[i]));
    return rank + std::uint32_t(std::popcount(b.bits[w] & ((std::uint64_t(1) << (s % 64)) - 1)));
}

// Slots s .. s + m - 1 of the block's group are occupied and slot s + m, in the same group, is
// empty: e takes slot s, the run moves up one slot and fills s + m. The block has room for one
// more entry.
void FingerprintIndex::push_open(Block& b, std::uint32_t s, std::uint32_t m, const Entry& e) {
    assert(s + m < GROUP_SLOTS && b.count < b.capacity);
    const std::uint32_t at = position(b, s);
    // A compact block keeps the entries after the run in slot order too: they move up one place.
    const std::uint32_t moving = b.dense() ? m : b.count - at;
    Entry* entries = b.entries();
    std::memmove(entries + at + 1, entries + at, moving * sizeof(Entry));
    entries[at] = e;
    set_bit(b.bits, s + m);
    ++b.count;
}

// Slots s .. s + m - 1 (m >= 1) of the block's group are occupied: e takes slot s, the run moves
// up one slot, and the entry that was in slot s + m - 1 comes out and is returned. The group's
// occupancy does not change.
FingerprintIndex::Entry FingerprintIndex::push_closed(Block& b, std::uint32_t s, std::uint32_t m,
                                                      const Entry& e) {
    assert(m >= 1 && s + m <= GROUP_SLOTS);
    const std::uint32_t at = position(b, s);
    Entry* entries = b.entries();
    const Entry out = entries[at + m - 1];
    std::memmove(entries + at + 1, entries + at, (m - 1) * sizeof(Entry));
    entries[at] = e;
    return out;
}

std::uint32_t FingerprintIndex::lookup_or_insert(const ChunkKey& key, std::uint64_t value) {
    assert(value <= VALUE_MASK);
    const std::uint32_t home = home_slot(key);
    const std::uint32_t g = home >> GROUP_BITS, s = home & (GROUP_SLOTS - 1);
    const std::uint32_t next = (g + 1) & (GROUP_COUNT - 1);  // after the last group: group 0
    const std::uint32_t in_first = std::min(PROBE_WINDOW, GROUP_SLOTS - s);
    const Entry wanted = entry_of(key);

    // The run: occupied slots from home up to the first empty one, within the window. When the
    // window reaches into the next group and the run goes on to this group's end, it continues
    // at the next group's first slots.
    Block* a = block(g);
    Block* b = nullptr;
    std::uint32_t occupied = a ? window_bits(a->bits, s) : 0;
    const std::uint32_t first_full = (std::uint32_t(1) << in_first) - 1;
    if (in_first < PROBE_WINDOW && occupied == first_full && (b = block(next)) != nullptr)
        occupied = (occupied | window_bits(b->bits, 0) << in_first) & 0xFFFF;
    const std::uint32_t n = std::uint32_t(std::countr_one(occupied));  // at most 16
    const std::uint32_t n1 = std::min(n, in_first), n2 = n - n1;

    if (n1 > 0) {
        const Entry* e = a->entries() + position(*a, s);
        for (std::uint32_t i = 0; i < n1; ++i)
            if (e[i] == wanted) return 1;
    }
    for (std::uint32_t i = 0; i < n2; ++i)  // slots 0 .. n2 - 1 are the first entries either way
        if (b->entries()[i] == wanted) return 1;
    if (value == 0 || failed_) return 0;

    // The new key takes home and every entry of the run moves up one slot. When the window was
    // full, the entry that would move past its end is dropped; otherwise the empty slot that
    // ended the run is filled.
    const bool full = n == PROBE_WINDOW;
    if (s + n < GROUP_SLOTS || (full && s + PROBE_WINDOW <= GROUP_SLOTS)) {
        // The run and the slot past it lie in this group.
        if (full) {
            push_closed(*a, s, n, wanted);
            ++dropped_;
            return 0;
        }
        if (!make_room(g)) return 0;
        push_open(*block(g), s, n, wanted);
        ++entries_;
        return 0;
    }

    // The run reaches this group's last slot; that slot's entry leaves the group. Into the next
    // group it pushes that group's part of the run up one slot, except behind the table's last
    // slot: the entries in slots 0, 1, ... of group 0 stay, and the entry from the last slot goes
    // to the slot just past the run's end instead (or is dropped when the window was full).
    const bool wraps = g == GROUP_COUNT - 1;
    if (!full) {
        if (!make_room(next)) return 0;
        a = block(g);  // making room may have moved blocks
        b = block(next);
    }
    const Entry carried = push_closed(*a, s, n1, wanted);
    if (full) {
        if (!wraps) push_closed(*b, 0, n2, carried);
        ++dropped_;
        return 0;
    }
    if (wraps)
        push_open(*b, n2, 0, carried);
    else
        push_open(*b, 0, n2, carried);
    ++entries_;
    return 0;
}

bool FingerprintIndex::restore_entry(std::uint32_t slot, const ChunkKey& key) {
    const std::uint32_t g = (slot & SLOT_MASK) >> GROUP_BITS, s = slot & (GROUP_SLOTS - 1);
    if (failed_ || !make_room(g)) return false;
    Block& b = *block(g);
    assert(!(b.bits[s / 64] >> (s % 64) & 1));
    push_open(b, s, 0, entry_of(key));
    ++entries_;
    return true;
}

bool FingerprintIndex::entry_at(std::uint32_t slot, ChunkKey& key) const {
    const std::uint32_t s = slot & (GROUP_SLOTS - 1);
    const Block* b = block((slot & SLOT_MASK) >> GROUP_BITS);
    if (!b || !(b->bits[s / 64] >> (s % 64) & 1)) return false;
    key = key_of(b->entries()[position(*b, s)]);
    return true;
}

// Ensures the group's block has room for one more entry: a group without one gets the smallest
// block, a full compact block moves to the next larger class (or turns dense), and what it held
// is copied over. False, with failed_ set, when the memory cannot be had.
bool FingerprintIndex::make_room(std::uint32_t group) {
    const Block* old = block(group);
    if (old && old->count < old->capacity) return true;
    const std::uint16_t capacity = old ? next_capacity(old->capacity) : COMPACT_CAPACITIES[0];
    const std::size_t at = allocate(block_bytes(capacity));
    if (at == 0) {
        failed_ = true;
        return false;
    }
    old = block(group);  // the pool may have been compacted
    Block* b = reinterpret_cast<Block*>(region_ + at);
    *b = Block{};
    b->group = group;
    b->capacity = capacity;
    if (old) {
        std::memcpy(b->bits, old->bits, sizeof b->bits);
        b->count = old->count;
        if (b->dense()) {
            // Scatter: each entry to the slot it stands for.
            std::uint32_t rank = 0;
            for (std::uint32_t w = 0; w < GROUP_SLOTS / 64; ++w)
                for (std::uint64_t bits = old->bits[w]; bits != 0; bits &= bits - 1)
                    b->entries()[w * 64 + std::uint32_t(std::countr_zero(bits))] =
                        old->entries()[rank++];
        } else {
            std::memcpy(b->entries(), old->entries(), old->count * sizeof(Entry));
        }
        outgrown_ += block_bytes(old->capacity);
    }
    directory_[group] = std::uint32_t(at / UNIT);
    return true;
}

// Room for a block of `bytes` at the pool's end: its offset in the region, 0 when the memory
// cannot be had.
std::size_t FingerprintIndex::allocate(std::size_t bytes) {
    const std::size_t allowance =
        DIRECTORY_BYTES + POOL_ALLOWANCE_BASE + POOL_ALLOWANCE_PER_ENTRY * entries_;
    // Squeeze outgrown blocks out when the pool would pass its allowance and they are worth a
    // pass over it, or when the region is used up.
    if ((top_ + bytes > allowance && outgrown_ >= (top_ - DIRECTORY_BYTES) / 8) ||
        top_ + bytes > REGION_BYTES)
        compact();
    if (top_ + bytes > REGION_BYTES || !commit_to(top_ + bytes)) return 0;
    const std::size_t at = top_;
    top_ += bytes;
    return at;
}

// Commits the region up to at least `end`: ahead of need by a step, so that commits are few and
// the system can back them with large pages.
bool FingerprintIndex::commit_to(std::size_t end) {
    if (end <= committed_) return true;
    const std::size_t step = std::max(COMMIT_STEP, committed_ / 4);
    std::size_t want =
        (std::max(end, committed_ + step) + COMMIT_STEP - 1) / COMMIT_STEP * COMMIT_STEP;
    want = std::min(want, REGION_BYTES);
    if (!commit_region(region_ + committed_, want - committed_)) {
        // Short of memory: the least that will do, before giving up.
        constexpr std::size_t PAGE = 65536;
        want = std::min((end + PAGE - 1) / PAGE * PAGE, REGION_BYTES);
        if (!commit_region(region_ + committed_, want - committed_)) return false;
    }
    committed_ = want;
    return true;
}

// Slides every live block down over the outgrown ones, in pool order. A block is live when its
// group's directory word names it.
void FingerprintIndex::compact() {
    std::size_t to = DIRECTORY_BYTES;
    for (std::size_t from = DIRECTORY_BYTES; from < top_;) {
        const Block* b = reinterpret_cast<const Block*>(region_ + from);
        const std::uint32_t group = b->group;
        const std::size_t bytes = block_bytes(b->capacity);
        if (directory_[group] == from / UNIT) {
            if (to != from) std::memmove(region_ + to, region_ + from, bytes);
            directory_[group] = std::uint32_t(to / UNIT);
            to += bytes;
        }
        from += bytes;
    }
    top_ = to;
    outgrown_ = 0;
}

}  // namespace chunksieve
