#include "index/fingerprint_index.h"

#include <algorithm>
#include <cassert>
#include <iterator>
#include <mutex>

#include "chunking/byte_order.h"
#include "platform/table_memory.h"

namespace chunksieve {

namespace {

// The room a compact block has, class by class: steps of about a quarter, so that an outgrown
// block is copied once per several insertions and a block's unused room stays small. A group
// that outgrows the last compact class turns dense: 1 KiB of entries for at least 44 of them,
// 23.6 bytes an entry with the header, no more than the compact form's worst.
constexpr std::uint16_t COMPACT_CAPACITIES[] = {1, 2, 3, 4, 6, 8, 11, 14, 18, 23, 29, 36, 43};
static_assert(std::size(COMPACT_CAPACITIES) == FingerprintIndex::COMPACT_CLASSES);

// The pool may grow to this many bytes, plus this many per entry, before outgrown blocks are
// squeezed out: with what is committed ahead, the directory and the program's own few MiB, a run
// stays within 16 MiB plus 24 bytes per entry held. With values an entry takes 21 bytes where it
// took 16, and the allowance per entry grows in proportion (23 * 21 / 16, rounded down): a run
// then stays within 16 MiB plus 32 bytes per entry held.
constexpr std::size_t POOL_ALLOWANCE_BASE = std::size_t(6) << 20;
constexpr std::size_t POOL_ALLOWANCE_PER_ENTRY = 23;
constexpr std::size_t VALUED_POOL_ALLOWANCE_PER_ENTRY = 30;

// The pool is committed ahead of need in steps of a thirty-second of what it holds, within
// these bounds: few commits, each one a whole number of large pages; when memory runs short, in
// whole units of COMMIT_UNIT_BYTES.
constexpr std::size_t COMMIT_STEP = LARGE_PAGE_BYTES;
constexpr std::size_t COMMIT_STEP_MAX = 8 * LARGE_PAGE_BYTES;

// The class of a compact block's capacity: its place in COMPACT_CAPACITIES.
std::size_t class_of(std::uint16_t capacity) {
    std::size_t c = 0;
    while (COMPACT_CAPACITIES[c] != capacity)
        ++c;
    return c;
}

// The smallest block that holds `count` entries: a compact class, or dense.
std::uint16_t capacity_for(std::uint32_t count) {
    for (const std::uint16_t c : COMPACT_CAPACITIES)
        if (c >= count) return c;
    return FingerprintIndex::GROUP_SLOTS;
}

// The group's occupancy from slot s on, one bit a slot, 16 slots (fewer at the group's end: the
// slots past it read as empty).
std::uint32_t window_bits(std::uint64_t bits, std::uint32_t s) {
    return std::uint32_t(bits >> s) & 0xFFFF;
}

constexpr std::uint64_t bit(std::uint32_t s) {
    return std::uint64_t(1) << s;
}

// A group's occupancy bits for its lower half, whose entries a compact block keeps from its front.
constexpr std::uint64_t LOWER_HALF = bit(FingerprintIndex::HALF_SLOTS) - 1;

// Set bits of x. A build for any x86 CPU cannot assume the instruction for it, and the library
// call that std::popcount becomes there costs more than these few operations inline; elsewhere
// (or where the build may assume the instruction) the compiler's own form.
constexpr std::uint32_t count_ones(std::uint64_t x) {
#if (defined(__x86_64__) || defined(__i386__)) && !defined(__POPCNT__)
    x -= (x >> 1) & 0x5555555555555555;
    x = (x & 0x3333333333333333) + ((x >> 2) & 0x3333333333333333);
    x = (x + (x >> 4)) & 0x0F0F0F0F0F0F0F0F;
    return std::uint32_t((x * 0x0101010101010101) >> 56);
#else
    return std::uint32_t(std::popcount(x));
#endif
}
static_assert(count_ones(0) == 0 && count_ones(~std::uint64_t(0)) == 64 &&
              count_ones(0x8000000000000001) == 2 && count_ones(0xF0F0) == 8);

}  // namespace

FingerprintIndex::~FingerprintIndex() {
    release_region(region_, region_bytes_);
}

bool FingerprintIndex::create(bool keep_values) {
    // Every group dense fits the region of its mode.
    static_assert(DIRECTORY_BYTES + GROUP_COUNT * keys_block_bytes(GROUP_SLOTS) <= REGION_BYTES);
    static_assert(DIRECTORY_BYTES + GROUP_COUNT * valued_block_bytes(GROUP_SLOTS) ==
                  VALUED_REGION_BYTES);
    if (region_) {
        if (keep_values == keep_values_) return true;
        if (top_ != DIRECTORY_BYTES) return false;  // blocks laid out for the other mode
        // Nothing to keep: the region is reserved again, at the other mode's size.
        release_region(region_, region_bytes_);
        region_ = nullptr;
        directory_ = nullptr;
        committed_.store(0, std::memory_order_relaxed);
        commit_wanted_.store(0, std::memory_order_relaxed);
    }
    keep_values_ = keep_values;
    region_bytes_ = keep_values ? VALUED_REGION_BYTES : REGION_BYTES;
    allowance_base_ = POOL_ALLOWANCE_BASE;
    allowance_per_entry_ = keep_values ? VALUED_POOL_ALLOWANCE_PER_ENTRY : POOL_ALLOWANCE_PER_ENTRY;
    region_ = static_cast<std::uint8_t*>(reserve_region(region_bytes_));
    if (!region_) return false;
    // Every look-up reads the directory, and keys are spread over all of it: large pages where
    // the system has them, committed whole at once, with the pool's first step beside it.
    advise_large_pages(region_, region_bytes_);
    directory_ = reinterpret_cast<std::uint32_t*>(region_);
    if (!commit_up_to(DIRECTORY_BYTES)) {
        release_region(region_, region_bytes_);
        region_ = nullptr;
        return false;
    }
    return true;
}

void FingerprintIndex::clear() {
    if (!region_) return;
    commit_wanted_.store(0, std::memory_order_relaxed);
    std::memset(directory_, 0, DIRECTORY_BYTES);
    top_ = DIRECTORY_BYTES;
    outgrown_ = 0;
    std::fill(std::begin(free_), std::end(free_), 0);
    entries_ = dropped_ = compactions_ = unknown_values_ = 0;
    failed_ = false;
}

std::uint32_t FingerprintIndex::home_slot(const ChunkKey& key) {
    return load_le32(key.bytes) & SLOT_MASK;
}

void FingerprintIndex::prefetch_directory(const ChunkKey& key) const {
    __builtin_prefetch(directory_ + group_of(home_slot(key)));
}

// The header, and the lines from about the key's place to the end of its window (dense) or to
// the free room in the middle of the block (compact: an insertion shifts every entry between
// its place and that room). A compact block's entry of slot s sits roughly s / GROUP_SLOTS of
// the way through, the room about half-way. With values, a dense block's values of the window
// too, which a found key's value is read from and an insertion shifts; in a compact block the
// lines counted over the whole block, values and all, reach into the values: measured, asking
// for the values' lines of their own there cost more than it saved.
template <bool VALUES>
inline void FingerprintIndex::prefetch_lines(const char* p, std::size_t lines,
                                             std::uint32_t s) const {
    constexpr std::size_t DENSE_BYTES =
        VALUES ? valued_block_bytes(GROUP_SLOTS) : keys_block_bytes(GROUP_SLOTS);
    constexpr std::size_t DENSE_LINES = (DENSE_BYTES + 63) / 64;
    static_assert(DENSE_LINES < (1u << (32 - OFFSET_BITS)), "a block's lines fit above its offset");
    __builtin_prefetch(p);
    std::size_t first, end;
    if (lines == DENSE_LINES) {
        const std::size_t window = sizeof(Block) + s * sizeof(Entry);
        first = window / 64;
        end = std::min(lines, (window + PROBE_WINDOW * sizeof(Entry) + 63) / 64);
        if constexpr (VALUES) {
            const std::size_t values = keys_block_bytes(GROUP_SLOTS) + s * VALUE_BYTES;
            for (std::size_t i = values / 64; i * 64 < values + PROBE_WINDOW * VALUE_BYTES; ++i)
                __builtin_prefetch(p + i * 64);
        }
    } else {
        const std::size_t place = s * lines / GROUP_SLOTS;
        if (s < HALF_SLOTS) {
            first = place - (place > 1);  // a line early: the entries may sit before the average
            end = lines / 2 + 2;
        } else {
            first = lines / 2 - (lines / 2 > 1);
            end = place + 2;  // and the run, which a look-up reads
        }
        end = std::min(end, lines);
    }
    for (std::size_t i = std::max<std::size_t>(first, 1); i < end; ++i)
        __builtin_prefetch(p + i * 64);
}

void FingerprintIndex::prefetch(const ChunkKey& key) const {
    const std::uint32_t home = home_slot(key), s = home & (GROUP_SLOTS - 1);
    const std::uint32_t word = directory_[group_of(home)];
    if (word == 0) return;
    const char* p = reinterpret_cast<const char*>(region_) + std::size_t(word & OFFSET_MASK) * UNIT;
    const std::size_t lines = word >> OFFSET_BITS;
    if (keep_values_)
        prefetch_lines<true>(p, lines, s);
    else
        prefetch_lines<false>(p, lines, s);
}

std::uint32_t FingerprintIndex::upper_begin(const Block& b) {
    return b.capacity - count_ones(b.bits >> HALF_SLOTS);
}

std::uint32_t FingerprintIndex::position(const Block& b, std::uint32_t s) {
    if (b.dense()) return s;
    return s < HALF_SLOTS ? count_ones(b.bits & (bit(s) - 1))
                          : b.capacity - count_ones(b.bits >> s);
}

// Slots s .. s + m - 1 of the block's group are occupied and slot s + m, in the same half, is
// empty: the item takes slot s, the run moves up one slot and fills s + m. The block has room for
// one more entry. Values move with their entries, over the same places.
template <bool VALUES>
void FingerprintIndex::push_open(Block& b, std::uint32_t s, std::uint32_t m, const Item& item) {
    assert(s / HALF_SLOTS == (s + m) / HALF_SLOTS && b.count < b.capacity);
    const std::uint32_t at = position(b, s);
    Entry* entries = b.entries();
    std::uint8_t* values = b.values();
    if (b.dense()) {
        std::memmove(entries + at + 1, entries + at, m * sizeof(Entry));
        entries[at] = item.entry;
        if constexpr (VALUES) {
            std::memmove(values + (at + 1) * VALUE_BYTES, values + at * VALUE_BYTES,
                         m * VALUE_BYTES);
            store_value(values + at * VALUE_BYTES, item.value);
        }
    } else if (s < HALF_SLOTS) {
        // The lower half's entries from s on move up one place, into the free room.
        const std::uint32_t lower = count_ones(b.bits & LOWER_HALF);
        std::memmove(entries + at + 1, entries + at, (lower - at) * sizeof(Entry));
        entries[at] = item.entry;
        if constexpr (VALUES) {
            std::memmove(values + (at + 1) * VALUE_BYTES, values + at * VALUE_BYTES,
                         (lower - at) * VALUE_BYTES);
            store_value(values + at * VALUE_BYTES, item.value);
        }
    } else {
        // The upper half's entries below s move down one place, into the free room; the run
        // keeps its places, one slot higher each.
        const std::uint32_t upper = upper_begin(b);
        std::memmove(entries + upper - 1, entries + upper, (at - upper) * sizeof(Entry));
        entries[at - 1] = item.entry;
        if constexpr (VALUES) {
            std::memmove(values + (upper - 1) * VALUE_BYTES, values + upper * VALUE_BYTES,
                         (at - upper) * VALUE_BYTES);
            store_value(values + (at - 1) * VALUE_BYTES, item.value);
        }
    }
    b.bits |= bit(s + m);
    ++b.count;
}

// Slots s .. s + m - 1 (m >= 1) of the block's group, in one half, are occupied: the item takes
// slot s, the run moves up one slot, and the entry that was in slot s + m - 1 comes out and is
// returned, with its value. The group's occupancy does not change.
template <bool VALUES>
FingerprintIndex::Item FingerprintIndex::push_closed(Block& b, std::uint32_t s, std::uint32_t m,
                                                     const Item& item) {
    assert(m >= 1 && s / HALF_SLOTS == (s + m - 1) / HALF_SLOTS);
    const std::uint32_t at = position(b, s);  // a half's run lies at adjacent places
    Entry* entries = b.entries();
    Item out{entries[at + m - 1], 0};
    std::memmove(entries + at + 1, entries + at, (m - 1) * sizeof(Entry));
    entries[at] = item.entry;
    if constexpr (VALUES) {
        std::uint8_t* values = b.values() + at * VALUE_BYTES;
        out.value = load_value(values + (m - 1) * VALUE_BYTES);
        std::memmove(values + VALUE_BYTES, values, (m - 1) * VALUE_BYTES);
        store_value(values, item.value);
    }
    return out;
}

template <bool VALUES>
std::uint32_t FingerprintIndex::ask(const ChunkKey& key, std::uint64_t value, std::uint64_t* held) {
    assert(value <= VALUE_MASK);
    const std::uint32_t home = home_slot(key);
    const std::uint32_t g = group_of(home), s = home & (GROUP_SLOTS - 1);
    // The window's slots in home's half, and where the rest lie: the upper half of the same
    // group, or the lower half of the next (after the last group: group 0).
    const std::uint32_t in_first = std::min(PROBE_WINDOW, HALF_SLOTS - s % HALF_SLOTS);
    const bool upper = s >= HALF_SLOTS;
    const std::uint32_t g2 = upper ? (g + 1) & (GROUP_COUNT - 1) : g;
    const std::uint32_t s2 = upper ? 0 : HALF_SLOTS;
    const Entry wanted = entry_of(key);

    // The run: occupied slots from home up to the first empty one, within the window. When the
    // window reaches into the next group and the run goes on to this group's end, it continues
    // at the next group's first slots.
    Block* a = block(g);
    Block* b = upper ? nullptr : a;
    std::uint32_t occupied = a ? window_bits(a->bits, s) : 0;
    const std::uint32_t first_full = (std::uint32_t(1) << in_first) - 1;
    if (upper && in_first < PROBE_WINDOW && occupied == first_full && (b = block(g2)) != nullptr)
        occupied = (occupied | window_bits(b->bits, 0) << in_first) & 0xFFFF;
    const std::uint32_t n = std::uint32_t(std::countr_one(occupied));  // at most 16
    const std::uint32_t n1 = std::min(n, in_first), n2 = n - n1;

    // A found key's value, read only when asked for.
    auto found = [held](const Block* in, std::uint32_t at) {
        if (held) *held = VALUES ? load_value(in->values() + at * VALUE_BYTES) : 0;
        return 1u;
    };
    if (n1 > 0) {
        const std::uint32_t at = position(*a, s);
        const Entry* e = a->entries() + at;
        for (std::uint32_t i = 0; i < n1; ++i)
            if (e[i] == wanted) return found(a, at + i);
    }
    if (n2 > 0) {
        const std::uint32_t at = position(*b, s2);
        const Entry* e = b->entries() + at;
        for (std::uint32_t i = 0; i < n2; ++i)
            if (e[i] == wanted) return found(b, at + i);
    }
    if (value == 0 || failed_) return 0;

    // The new key takes home and every entry of the run moves up one slot. When the window was
    // full, the entry that would move past its end is dropped, with its value; otherwise the
    // empty slot that ended the run is filled.
    const Item item{wanted, value};
    auto drop = [this](const Item& out) {
        if (VALUES && out.value == 0) --unknown_values_;
        ++dropped_;
    };
    const bool full = n == PROBE_WINDOW;
    if (n < in_first || (full && in_first == PROBE_WINDOW)) {
        // The run and the slot past it lie in home's half.
        if (full) {
            drop(push_closed<VALUES>(*a, s, n, item));
            return 0;
        }
        if (!make_room(g)) return 0;
        push_open<VALUES>(*block(g), s, n, item);
        ++entries_;
        return 0;
    }

    // The run reaches the half's last slot; that slot's entry leaves the half. Into the next half
    // it pushes that half's part of the run up one slot, except behind the table's last slot:
    // the entries in slots 0, 1, ... of group 0 stay, and the entry from the last slot goes to
    // the slot just past the run's end instead (or is dropped when the window was full).
    const bool wraps = upper && g == GROUP_COUNT - 1;
    if (!full) {
        if (!make_room(g2)) return 0;
        a = block(g);  // making room may have moved blocks
        b = block(g2);
    }
    const Item carried = push_closed<VALUES>(*a, s, n1, item);
    if (full) {
        drop(wraps ? carried : push_closed<VALUES>(*b, s2, n2, carried));
        return 0;
    }
    if (wraps)
        push_open<VALUES>(*b, n2, 0, carried);
    else
        push_open<VALUES>(*b, s2, n2, carried);
    ++entries_;
    return 0;
}

// lookup_or_insert, inline, calls the form for the index's mode straight away.
template std::uint32_t FingerprintIndex::ask<false>(const ChunkKey&, std::uint64_t, std::uint64_t*);
template std::uint32_t FingerprintIndex::ask<true>(const ChunkKey&, std::uint64_t, std::uint64_t*);

bool FingerprintIndex::restore_group(std::uint32_t group, std::uint64_t bits,
                                     const std::uint8_t* keys, const std::uint8_t* values,
                                     std::size_t stride) {
    assert(group < GROUP_COUNT && bits != 0 && !block(group));
    if (failed_) return false;
    const std::uint32_t count = count_ones(bits);
    // The smallest block that holds them all, as insertions one by one would have left it.
    const std::uint16_t capacity = capacity_for(count);
    // Nothing has outgrown its block while a saved index is loaded: no block waits for reuse
    // and none needs squeezing out, so the block goes at the pool's end, through allocate()
    // only when memory must be committed for it.
    assert(outgrown_ == 0);
    std::size_t at = top_;
    if (top_ + block_bytes(capacity) <= committed_.load(std::memory_order_acquire)) [[likely]] {
        top_ += block_bytes(capacity);
    } else if ((at = allocate(capacity)) == 0) {
        failed_ = true;
        return false;
    }
    const std::uint32_t lower = count_ones(bits & LOWER_HALF);
    place_block(at, group, capacity, bits, keys, keys + lower * stride, stride);
    if (keep_values_) {
        Block& b = *reinterpret_cast<Block*>(region_ + at);
        if (values) {
            place_values(b, values, values + lower * stride, stride);
            for (std::uint32_t i = 0; i < count; ++i)
                unknown_values_ += load_value(values + i * stride) == 0;
        } else {
            std::memset(b.values(), 0, capacity * VALUE_BYTES);
            unknown_values_ += count;
        }
    }
    directory_[group] = directory_word(at, capacity);
    entries_ += count;
    return true;
}

// Writes a block at `at` for the group, holding the occupied slots `bits`, whose keys stand in
// slot order at lower + i * stride for the lower half's slots and at upper + i * stride for the
// upper half's: each to the slot it stands for in a dense block, a half from each end in a
// compact one.
void FingerprintIndex::place_block(std::size_t at, std::uint32_t group, std::uint16_t capacity,
                                   std::uint64_t bits, const std::uint8_t* lower,
                                   const std::uint8_t* upper, std::size_t stride) {
    Block* b = reinterpret_cast<Block*>(region_ + at);
    *b = Block{};
    b->bits = bits;
    b->group = group;
    b->count = std::uint16_t(count_ones(bits));
    b->capacity = capacity;
    if (bits == 0) return;  // a new group's first block
    Entry* entries = b->entries();
    const std::uint64_t lower_bits = bits & LOWER_HALF;
    const std::uint32_t in_lower = count_ones(lower_bits), in_upper = b->count - in_lower;
    if (b->dense()) {
        std::uint32_t i = 0;
        for (std::uint64_t x = lower_bits; x != 0; x &= x - 1, ++i)
            std::memcpy(&entries[std::countr_zero(x)], lower + i * stride, sizeof(Entry));
        i = 0;
        for (std::uint64_t x = bits ^ lower_bits; x != 0; x &= x - 1, ++i)
            std::memcpy(&entries[std::countr_zero(x)], upper + i * stride, sizeof(Entry));
    } else if (stride == sizeof(Entry)) {
        std::memcpy(entries, lower, in_lower * sizeof(Entry));
        std::memcpy(entries + capacity - in_upper, upper, in_upper * sizeof(Entry));
    } else {
        for (std::uint32_t i = 0; i < in_lower; ++i)
            std::memcpy(&entries[i], lower + i * stride, sizeof(Entry));
        for (std::uint32_t i = 0; i < in_upper; ++i)
            std::memcpy(&entries[capacity - in_upper + i], upper + i * stride, sizeof(Entry));
    }
}

// Writes the block's values, which stand as its entries do in place_block: the i-th of the lower
// half's occupied slots at lower + i * stride, of the upper half's at upper + i * stride.
void FingerprintIndex::place_values(Block& b, const std::uint8_t* lower, const std::uint8_t* upper,
                                    std::size_t stride) {
    std::uint8_t* values = b.values();
    const std::uint64_t lower_bits = b.bits & LOWER_HALF;
    const std::uint32_t in_lower = count_ones(lower_bits), in_upper = b.count - in_lower;
    if (b.dense()) {
        std::uint32_t i = 0;
        for (std::uint64_t x = lower_bits; x != 0; x &= x - 1, ++i)
            std::memcpy(values + std::countr_zero(x) * VALUE_BYTES, lower + i * stride,
                        VALUE_BYTES);
        i = 0;
        for (std::uint64_t x = b.bits ^ lower_bits; x != 0; x &= x - 1, ++i)
            std::memcpy(values + std::countr_zero(x) * VALUE_BYTES, upper + i * stride,
                        VALUE_BYTES);
    } else if (stride == VALUE_BYTES) {
        std::memcpy(values, lower, in_lower * VALUE_BYTES);
        std::memcpy(values + (b.capacity - in_upper) * VALUE_BYTES, upper, in_upper * VALUE_BYTES);
    } else {
        for (std::uint32_t i = 0; i < in_lower; ++i)
            std::memcpy(values + i * VALUE_BYTES, lower + i * stride, VALUE_BYTES);
        for (std::uint32_t i = 0; i < in_upper; ++i)
            std::memcpy(values + (b.capacity - in_upper + i) * VALUE_BYTES, upper + i * stride,
                        VALUE_BYTES);
    }
}

bool FingerprintIndex::entry_at(std::uint32_t slot, ChunkKey& key, std::uint64_t* value) const {
    const std::uint32_t s = slot & (GROUP_SLOTS - 1);
    const Block* b = block(group_of(slot));
    if (!b || !(b->bits & bit(s))) return false;
    const std::uint32_t at = position(*b, s);
    key = key_of(b->entries()[at]);
    if (value) *value = keep_values_ ? load_value(b->values() + at * VALUE_BYTES) : 0;
    return true;
}

// Ensures the group's block has room for one more entry: a group without one gets the smallest
// block, a full compact block moves to the next larger class (or turns dense), and what it held
// is copied over. False, with failed_ set, when the memory cannot be had.
bool FingerprintIndex::make_room(std::uint32_t group) {
    Block* old = block(group);
    const std::uint32_t count = old ? old->count : 0;
    if (old && count < old->capacity) return true;
    const std::uint16_t capacity = capacity_for(count + 1);
    const std::size_t at = allocate(capacity);
    if (at == 0) {
        failed_ = true;
        return false;
    }
    old = block(group);  // the pool may have been compacted
    if (!old) {
        place_block(at, group, capacity, 0, nullptr, nullptr, sizeof(Entry));
    } else {
        const auto* entries = reinterpret_cast<const std::uint8_t*>(old->entries());
        const std::uint32_t upper = upper_begin(*old);
        place_block(at, group, capacity, old->bits, entries, entries + upper * sizeof(Entry),
                    sizeof(Entry));
        if (keep_values_)
            place_values(*reinterpret_cast<Block*>(region_ + at), old->values(),
                         old->values() + upper * VALUE_BYTES, VALUE_BYTES);
        // The outgrown block waits for a group that grows into its class, or for the next
        // compaction; its first entry links it to the next one waiting.
        outgrown_ += block_bytes(old->capacity);
        old->group |= OUTGROWN;
        std::uint32_t& waiting = free_[class_of(old->capacity)];
        old->entries()[0].lo = waiting;
        waiting = directory_[group] & OFFSET_MASK;
    }
    directory_[group] = directory_word(at, capacity);
    return true;
}

// Room for a block of the given capacity: an outgrown one of that size, or a new one at the pool's
// end. Its offset in the region, 0 when the memory cannot be had.
std::size_t FingerprintIndex::allocate(std::uint16_t capacity) {
    const std::size_t bytes = block_bytes(capacity);
    if (capacity < GROUP_SLOTS) {
        std::uint32_t& waiting = free_[class_of(capacity)];
        if (waiting != 0) {
            const std::size_t at = std::size_t(waiting) * UNIT;
            waiting = std::uint32_t(reinterpret_cast<Block*>(region_ + at)->entries()[0].lo);
            outgrown_ -= bytes;
            return at;
        }
    }
    const std::size_t allowance = allowance_base_ + allowance_per_entry_ * entries_;
    // Squeeze outgrown blocks out when the pool would pass its allowance and they are worth a
    // pass over it, or when the region is used up.
    if ((pool_bytes() + bytes > allowance && outgrown_ >= pool_bytes() / 8) ||
        top_ + bytes > region_bytes_)
        compact();
    if (top_ + bytes > region_bytes_ || !commit_up_to(top_ + bytes)) return 0;
    const std::size_t at = top_;
    top_ += bytes;
    // Within a quarter step of the committed end: the next step may be committed elsewhere.
    const std::size_t committed = committed_.load(std::memory_order_relaxed);
    const std::size_t step = commit_step(committed);
    if (top_ + step / 4 > committed && committed < region_bytes_)
        commit_wanted_.store(std::min(round_up(committed + step, COMMIT_STEP), region_bytes_),
                             std::memory_order_relaxed);
    return at;
}

// The step by which the region is committed ahead of need once `committed` bytes are: a
// thirty-second of it, within bounds, so that commits are few and the system can back them
// with large pages.
std::size_t FingerprintIndex::commit_step(std::size_t committed) {
    return std::clamp(committed / 32, COMMIT_STEP, COMMIT_STEP_MAX);
}

// Commits the region up to at least `end`, ahead of need by a step.
bool FingerprintIndex::commit_up_to(std::size_t end) {
    if (end <= committed_.load(std::memory_order_acquire)) return true;
    const std::lock_guard lock(commit_mutex_);  // waits while commit_ahead commits
    const std::size_t committed = committed_.load(std::memory_order_relaxed);
    if (end <= committed) return true;  // what commit_ahead committed is enough
    std::size_t want = std::min(
        round_up(std::max(end, committed + commit_step(committed)), COMMIT_STEP), region_bytes_);
    if (!commit_region(region_ + committed, want - committed)) {
        // Short of memory: the least that will do, before giving up.
        want = std::min(round_up(end, COMMIT_UNIT_BYTES), region_bytes_);
        if (!commit_region(region_ + committed, want - committed)) return false;
    }
    committed_.store(want, std::memory_order_release);
    return true;
}

void FingerprintIndex::commit_ahead() {
    const std::size_t want = commit_wanted_.load(std::memory_order_relaxed);
    if (want <= committed_.load(std::memory_order_relaxed)) return;
    const std::unique_lock lock(commit_mutex_, std::try_to_lock);
    if (!lock) return;  // an insertion that is committing needs no help
    const std::size_t committed = committed_.load(std::memory_order_relaxed);
    // Short of memory, nothing is committed here: the insertion that needs it finds out.
    if (want > committed && commit_region(region_ + committed, want - committed))
        committed_.store(want, std::memory_order_release);
}

// Slides every live block down over the outgrown ones, in pool order: a pass over the pool's
// headers, with a directory write for each block that moves.
void FingerprintIndex::compact() {
    std::size_t to = DIRECTORY_BYTES;
    for (std::size_t from = DIRECTORY_BYTES; from < top_;) {
        const Block* b = reinterpret_cast<const Block*>(region_ + from);
        const std::uint32_t group = b->group;
        const std::uint16_t capacity = b->capacity;  // before the move may overwrite it
        const std::size_t bytes = block_bytes(capacity);
        if (!(group & OUTGROWN)) {
            if (to != from) std::memmove(region_ + to, region_ + from, bytes);
            directory_[group] = directory_word(to, capacity);
            to += bytes;
        }
        from += bytes;
    }
    top_ = to;
    outgrown_ = 0;
    std::fill(std::begin(free_), std::end(free_), 0);
    ++compactions_;
}

}  // namespace chunksieve
