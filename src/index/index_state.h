// The saved index: what a run leaves for the next one so that chunks met in earlier runs count as
// met. It holds the index's entries and the running total (the padded length of every chunk
// filtered so far, from which block numbers go on). All numbers little-endian:
//
//   offset  size
//   0       8       magic "CSIEVEIX"
//   8       4       format version, 1
//   12      4       slot count of the index, 2^25
//   16      4       probe window, 16
//   20      4       key size, 16
//   24      8       entry count E
//   32      8       running total
//   40      20 E    entries in increasing slot order: slot (4), key (16)
//   40+20E  4       CRC-32C of every byte before it
//
// A file is accepted only whole: every field, the size, the checksum and the slot order are
// checked, and an index is given none of the entries of a file that fails one of them.
#pragma once

#include <cstddef>
#include <cstdint>

#include "index/fingerprint_index.h"

namespace chunksieve {

inline constexpr std::uint32_t STATE_VERSION = 1;
inline constexpr std::size_t STATE_HEADER_BYTES = 40;
inline constexpr std::size_t STATE_ENTRY_BYTES = 4 + sizeof(ChunkKey);
inline constexpr std::size_t STATE_CHECKSUM_BYTES = 4;
static_assert(STATE_ENTRY_BYTES == 20);

// The file's size with `entries` entries.
constexpr std::uint64_t state_size(std::uint64_t entries) {
    return STATE_HEADER_BYTES + STATE_ENTRY_BYTES * entries + STATE_CHECKSUM_BYTES;
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
};

// Checks a whole file's bytes; with error none, entries and total are the file's.
StateCheck check_state(const std::uint8_t* data, std::size_t size);

// Puts a file's entries into `index`, which must be empty, after the checks of check_state and
// with the same verdict. A file that fails any check leaves the index empty (the checksum and
// the slots are checked as the entries go in, so a damaged file may have been loaded in part
// and then forgotten); after no_memory the index holds part of the entries and must not be used.
StateCheck load_state(const std::uint8_t* data, std::size_t size, FingerprintIndex& index);

// Where a saved state goes, in pieces.
class StateSink {
  public:
    // All n bytes; false when they could not be written.
    virtual bool write_all(const std::uint8_t* data, std::size_t n) = 0;

  protected:
    ~StateSink() = default;
};

// Writes the state of `index` and the running total `total` to `sink`, in pieces of at most
// 64 KiB. none, or write_failed at the first refused piece (nothing more is written).
StateError save_state(const FingerprintIndex& index, std::uint64_t total, StateSink& sink);

}  // namespace chunksieve
