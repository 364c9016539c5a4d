#include "index/flat_index.h"

#include <cassert>
#include <cstring>

#include "chunking/byte_order.h"
#include "platform/table_memory.h"

namespace chunksieve {

FlatFingerprintIndex::~FlatFingerprintIndex() {
    release_region(slots_, TABLE_BYTES);
}

bool FlatFingerprintIndex::create() {
    if (!slots_) slots_ = static_cast<IndexSlot*>(acquire_zeroed_region(TABLE_BYTES));
    return slots_ != nullptr;
}

void FlatFingerprintIndex::use_large_pages() {
    advise_large_pages(slots_, TABLE_BYTES);
}

std::uint32_t FlatFingerprintIndex::home_slot(const ChunkKey& key) {
    return load_le32(key.bytes) & SLOT_MASK;
}

std::uint64_t FlatFingerprintIndex::slot_value(const IndexSlot& s) {
    return std::uint64_t(load_le32(s.bytes)) | std::uint64_t(s.bytes[4]) << 32;
}

ChunkKey FlatFingerprintIndex::slot_key(const IndexSlot& s) {
    ChunkKey k;
    std::memcpy(k.bytes, s.bytes + 8, 13);
    k.bytes[13] = s.bytes[5];
    k.bytes[14] = s.bytes[6];
    k.bytes[15] = s.bytes[7];
    return k;
}

void FlatFingerprintIndex::write_slot(IndexSlot& s, const ChunkKey& key, std::uint64_t value) {
    store_le32(s.bytes, std::uint32_t(value));
    s.bytes[4] = std::uint8_t(value >> 32);
    s.bytes[5] = key.bytes[13];
    s.bytes[6] = key.bytes[14];
    s.bytes[7] = key.bytes[15];
    std::memcpy(s.bytes + 8, key.bytes, 13);
}

namespace {

inline bool slot_empty(const IndexSlot& s) {
    return (s.bytes[0] | s.bytes[1] | s.bytes[2] | s.bytes[3] | s.bytes[4]) == 0;
}

// Length and key byte 13 (slot bytes 5..7) first: they reject most strangers in one compare.
inline bool slot_holds(const IndexSlot& s, const ChunkKey& key) {
    return s.bytes[6] == key.bytes[14] && s.bytes[7] == key.bytes[15] &&
           s.bytes[5] == key.bytes[13] && std::memcmp(s.bytes + 8, key.bytes, 13) == 0;
}

}  // namespace

std::uint32_t FlatFingerprintIndex::lookup_or_insert(const ChunkKey& key, std::uint64_t value,
                                                     std::uint64_t* held) {
    assert(value <= VALUE_MASK);
    const std::uint32_t home = home_slot(key);

    // The run: occupied slots from home up to the first empty one, within the window.
    std::uint32_t n = 0;
    for (; n < PROBE_WINDOW; ++n) {
        const IndexSlot& s = slots_[(home + n) & SLOT_MASK];
        if (slot_empty(s)) break;
        if (slot_holds(s, key)) {
            if (held) *held = slot_value(s);
            return 1;
        }
    }
    if (value == 0) return 0;

    // The new key takes home and every entry of the run moves up one slot, except that an entry
    // behind the table's last slot (the run wrapped to slot 0) stays where it is: the entry in
    // the highest slot of the run, s, goes to the slot just past the run instead, or is dropped
    // when the window is full.
    for (std::uint32_t k = 0; k < n; ++k) {
        const IndexSlot& s = slots_[(home + k) & SLOT_MASK];
        run_[k] = ProbeRun{slot_key(s), slot_value(s), (home + k) & SLOT_MASK};
    }
    if (n == 0) {
        run_[0] = ProbeRun{key, value, home};
        n = 1;
    } else {
        std::uint32_t s = n - 1;
        for (std::uint32_t k = 0; k < n; ++k)
            if (run_[k].slot == SLOT_MASK) s = k;
        const std::uint32_t last = run_[n - 1].slot;
        for (std::uint32_t l = n - 1; l > s; --l)
            run_[l].slot = run_[l - 1].slot;
        run_[s].slot = last;
        for (std::uint32_t k = 0; k < n; ++k)
            run_[k].slot = (run_[k].slot + 1) & SLOT_MASK;
        if (n < PROBE_WINDOW) {
            run_[n] = ProbeRun{key, value, home};
            ++n;
        } else {
            run_[s] = ProbeRun{key, value, home};
        }
    }
    for (std::uint32_t k = 0; k < n; ++k)
        write_slot(slots_[run_[k].slot], run_[k].key, run_[k].value);
    return 0;
}

}  // namespace chunksieve
