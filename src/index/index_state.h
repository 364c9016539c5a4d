// The saved index: what a run leaves for the next one so that chunks met in earlier runs count as
// met. It holds the index's entries, with their values when the index keeps values, the running
// total (the padded length of every chunk filtered so far, from which block numbers go on), and
// two numbers the caller gives at save and gets back at load: an id for the state and the count
// of new chunks so far, and a section whose bytes the caller makes and reads (the map's recent
// chunk order). All numbers little-endian. Format version 2, what save_state writes without a
// section:
//
//   offset  size
//   0       8       magic "CSIEVEIX"
//   8       4       format version, 2
//   12      4       slot count of the index, 2^25
//   16      4       probe window, 16
//   20      4       key size, 16
//   24      8       entry count E
//   32      8       running total
//   40      4       flags: bit 0, every entry carries a value; the other bits are 0
//   44      4       0
//   48      8       state id (0: none)
//   56      8       new chunks so far
//   64      W E     entries in increasing slot order: slot (4), key (16), and with flag bit 0 the
//                   value (5, 40 bits, never 0); W is 20, or 25 with values
//   64+W E  4       CRC-32C of every byte before it
//
// Format version 3, what save_state writes with a section: version 2's, with the section between
// the entries and the checksum:
//   64+W E  8       the section's first field (the caller's)
//   72+W E  8       the section's item count N
//   80+W E  8 N     the items (the caller's)
//
// Format version 1, still read (as a state without values, of id 0 and no new chunks): the same
// first 40 bytes with version 1, then the entries as slot (4) and key (16), then the checksum.
//
// A file is accepted only whole: every field, the size, the checksum, the slot order and the
// values are checked. load_state checks the checksum and the slots while it loads, so a damaged
// file may be loaded in part; the index is then emptied again, and a run never uses any of it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "index/fingerprint_index.h"
#include "stream/byte_sink.h"

namespace chunksieve {

inline constexpr std::uint32_t STATE_VERSION = 3;    // what save_state writes with a section
inline constexpr std::uint32_t STATE_VERSION_2 = 2;  // and without one
inline constexpr std::uint32_t STATE_VERSION_1 = 1;
inline constexpr std::size_t STATE_SECTION_HEAD_BYTES = 16;
inline constexpr std::size_t STATE_SECTION_ITEM_BYTES = 8;
inline constexpr std::size_t STATE_HEADER_BYTES = 64;
inline constexpr std::size_t STATE_HEADER_BYTES_1 = 40;                 // version 1's
inline constexpr std::size_t STATE_ENTRY_BYTES = 4 + sizeof(ChunkKey);  // slot and key
inline constexpr std::size_t STATE_VALUE_BYTES = 5;
inline constexpr std::size_t STATE_CHECKSUM_BYTES = 4;
inline constexpr std::uint32_t STATE_FLAG_VALUES = 1;  // flag bit 0
static_assert(STATE_ENTRY_BYTES == 20);
static_assert(STATE_VALUE_BYTES == FingerprintIndex::VALUE_BYTES);

// An entry's bytes in a file of version 2, with or without values.
constexpr std::size_t state_entry_bytes(bool values) {
    return STATE_ENTRY_BYTES + (values ? STATE_VALUE_BYTES : 0);
}

// A version 2 file's size with `entries` entries.
constexpr std::uint64_t state_size(std::uint64_t entries, bool values = false) {
    return STATE_HEADER_BYTES + state_entry_bytes(values) * entries + STATE_CHECKSUM_BYTES;
}

enum class StateError {
    none,
    empty,         // a file of no bytes
    not_state,     // it does not begin with the magic number
    truncated,     // shorter than its entry count makes it
    version,       // intact, but of another format version
    parameters,    // intact, but made for an index of another slot count, window or key size
    damaged,       // the checksum does not match, or it holds what no save writes
    no_memory,     // the index could not take the entries
    write_failed,  // the sink refused bytes
};

struct StateCheck {
    StateError error = StateError::none;
    std::uint32_t version = 0;  // the file's format version, once the magic number matched
    std::uint64_t entries = 0;
    std::uint64_t total = 0;
    bool has_values = false;  // every entry carries a value (never in version 1)
    std::uint64_t state_id = 0;
    std::uint64_t new_chunks = 0;
    // Version 3's section, head and items, within the checked bytes (nullptr without one).
    const std::uint8_t* section = nullptr;
    std::size_t section_bytes = 0;
};

// Whether a loaded state can anchor a map: without values its index cannot say where a chunk it
// holds was written, and without an id no map of the run that saved it names it. An empty state
// holds nothing to refer to.
inline bool state_anchors_map(const StateCheck& c) {
    return c.entries == 0 || (c.has_values && c.state_id != 0);
}

// Checks a whole file's bytes; with error none, the fields after error are the file's.
StateCheck check_state(const std::uint8_t* data, std::size_t size);

// Puts a file's entries into `index`, which must be empty, after the checks of check_state and
// with the same verdict. A file that fails any check leaves the index empty (the checksum, the
// slots and the values are checked as the entries go in, so a damaged file may have been loaded
// in part and then forgotten); after no_memory the index holds part of the entries and must not
// be used. The values go in when the file has them and the index keeps values; an index that
// keeps values given a file without them holds every loaded entry with the value 0, "unknown"
// (which the caller may refuse: has_values tells); an index without values drops the file's.
StateCheck load_state(const std::uint8_t* data, std::size_t size, FingerprintIndex& index);

// What a save writes besides the index's entries: the running total, and the caller's count of
// new chunks so far, id for the state and section (opaque here: a head of
// STATE_SECTION_HEAD_BYTES whose bytes 8..15 count the items that follow it, each
// STATE_SECTION_ITEM_BYTES; none when `section` is nullptr).
struct StateInfo {
    std::uint64_t total = 0;
    std::uint64_t new_chunks = 0;
    std::uint64_t state_id = 0;
    const std::uint8_t* section = nullptr;
    std::size_t section_bytes = 0;
};

// Writes the state of `index` with `info` to `sink`, in pieces of at most 64 KiB, in version 3
// with a section and 2 without.
// The entries carry their values when the index keeps values and knows every one of them (a
// file with values holds no unknown one: while an entry loaded without its value is still held,
// unknown_values() is not 0 and the file is written without values). none, or write_failed at
// the first refused piece (nothing more is written).
StateError save_state(const FingerprintIndex& index, const StateInfo& info, ByteSink& sink);

}  // namespace chunksieve
