// The map: what it takes to rebuild a run's input from its output. The output holds each new
// chunk once, padded; the map says, chunk by chunk in input order, whether the chunk is the next
// record of the output or a repeat of an earlier new chunk, and holds the bytes after the last
// chunk end, which the output never holds. It holds no lengths: a new chunk's length follows
// from running the chunk-end rule over its record, a repeat's from its first copy.
//
// New chunks are numbered in the order they are written, 0 up, across every run of a chain of
// runs that share a saved index (the ordinal); a repeat names the ordinal of its first copy,
// near one of a few recent ones (StartCache), or a replay goes as the chain went at an earlier
// place (ChunkOrder, in chunk_order.h). All numbers little-endian.
//
// Header, 64 bytes:
//   0   8  magic "CSIEVEMP"
//   8   2  format version, 2 (version 1, still read, has no replay records)
//   10  2  header size, 64
//   12  4  mandatory features: a reader refuses a map with a bit it does not know (none yet)
//   16  4  optional features: a reader may ignore a bit it does not know (none yet)
//   20  2  shortest chunk 100     22  2  longest chunk 65535     24  2  record alignment 64
//   26  2  hash window 12         28  4  hash threshold          32  4  marker 99 19 D3 FF
//   36  4  flags: bit 0 the run started from a saved index; bit 1 the chunk order goes on from
//          that index's (else it starts empty); other bits 0
//   40  8  the id of that saved index (0 without one)
//   48  8  the first ordinal of this run: new chunks in the chain before it
//   56  4  0
//   60  4  CRC-32C of bytes 0..59
//
// Frames, each a checkpoint: what a reader has restored before it must agree with the counts
// its header gives, and its checksum covers it whole.
//   0   1  kind: 'R' records, 'T' the tail bytes, 'E' the end
//   1   3  payload size P (records at most FRAME_RECORD_BYTES, the tail at most 65,534)
//   4   8  chunks of the input before this frame
//   12  8  input bytes before this frame
//   20  8  output bytes before this frame
//   28  P  payload
//   28+P 4 CRC-32C of bytes 0 .. 28+P-1 of the frame
//
// A records payload is a sequence of records (in version 2 covering at most MAX_FRAME_CHUNKS
// chunks), each a varint (7 bits a byte, low first, at most
// 10 bytes) v = count << 2 | kind, count >= 1, then for a repeat kind a varint reference
// r = zigzag(o - slot's ordinal) << 3 | slot, naming its first ordinal o through StartCache:
//   kind 0  count new chunks: the next count records of the output
//   kind 1  count repeats of the chunks with ordinals o, o+1, ..., o+count-1
//   kind 2  count repeats of the one chunk with ordinal o
//   kind 3  count repeats replayed: then, instead of a reference, varints b = zigzag(B - the
//           map's last replay's B, 0 before the first) and f, for the place in the chunk order B
//           stretches back and f chunks into that stretch; the chunks take the references from
//           that place on (ChunkOrder::at, then advance, each after the chunk before was added)
// Every ordinal a repeat names is below the next ordinal to be given.
// The tail payload is the input's bytes after its last chunk end (a 'T' frame only when there
// are any). The 'E' frame comes last, once, and the map ends with it; its payload, 64 bytes:
//   0   8  chunks                 8   8  new chunks (records of the output)
//   16  8  input bytes            24  8  output bytes
//   32  4  CRC-32C of the input   36  4  flags: bit 0 the run saved an index; other bits 0
//   40  8  the id of the index it saved (0 without one)
//   48  8  the next ordinal after this run
//   56  4  0
//   60  4  CRC-32C of every byte of the map before this field
// A map that ends anywhere before the end of its 'E' frame is incomplete.
#pragma once

#include <cstddef>
#include <cstdint>

#include "chunking/byte_order.h"

namespace chunksieve {

inline constexpr std::uint8_t MAP_MAGIC[8] = {'C', 'S', 'I', 'E', 'V', 'E', 'M', 'P'};
inline constexpr std::uint16_t MAP_VERSION = 2;
inline constexpr std::uint16_t MAP_VERSION_1 = 1;
inline constexpr std::uint32_t MAP_KNOWN_MANDATORY = 0;
inline constexpr std::size_t MAP_HEADER_BYTES = 64;
inline constexpr std::size_t FRAME_HEAD_BYTES = 28;
inline constexpr std::size_t FRAME_CHECK_BYTES = 4;
inline constexpr std::size_t FRAME_RECORD_BYTES = 16384;
inline constexpr std::size_t MAP_END_BYTES = 64;
inline constexpr std::size_t MAX_RECORD_BYTES = 30;  // three varints of at most 10 bytes
// A records frame of version 2 covers at most this many chunks: a reader's work is bounded by
// the map's bytes even where a record restores nothing (a link's repeats).
inline constexpr std::uint64_t MAX_FRAME_CHUNKS = std::uint64_t(1) << 24;
inline constexpr std::uint32_t MAP_FROM_INDEX = 1;   // header flag
inline constexpr std::uint32_t MAP_ORDER = 2;        // header flag
inline constexpr std::uint32_t MAP_SAVED_INDEX = 1;  // end flag

enum class FrameKind : std::uint8_t { records = 'R', tail = 'T', end = 'E' };
enum class RecordKind : std::uint8_t { fresh = 0, run = 1, same = 2, replay = 3 };

// The ordinals where recent repeats began and where their runs would go on, most recent first:
// a run of repeats that an edit or an earlier repeat broke off tends to go on where it stopped,
// a chunk that repeats often (zeros, a common header) to come back, and others to lie near one
// of these. A repeat names its first ordinal as one slot and the signed distance from the
// ordinal there. The writer and the reader keep it alike, record by record, from all slots
// holding the map's first ordinal.
class StartCache {
  public:
    static constexpr std::uint32_t SLOTS = 8;

    explicit StartCache(std::uint64_t first = 0) {
        for (std::uint64_t& s : slots_)
            s = first;
    }
    std::uint64_t at(std::uint32_t slot) const { return slots_[slot]; }

    // After a repeat record of `count` chunks from `start`.
    void note(bool run, std::uint64_t start, std::uint64_t count) {
        put(start);
        if (run) put(start + count);
    }
    // After a replay that ended at `last`: a predicted stretch cut short goes on after it.
    void note_replay(std::uint64_t last) { put(last + 1); }

  private:
    void put(std::uint64_t ordinal) {
        std::uint32_t i = 0;
        while (i < SLOTS - 1 && slots_[i] != ordinal)
            ++i;
        for (; i > 0; --i)
            slots_[i] = slots_[i - 1];
        slots_[0] = ordinal;
    }

    std::uint64_t slots_[SLOTS];
};

// The signed distance from `from` to `to` as one unsigned number: 2d for d >= 0, 2|d| - 1 for
// d < 0, so that near values either way take few varint bytes.
inline std::uint64_t zigzag(std::uint64_t to, std::uint64_t from) {
    return to >= from ? (to - from) << 1 : ((from - to) << 1) - 1;
}

// The number that zigzag `z` names from `from`, into `to`: false when it would fall below 0 or
// at or past `limit`.
inline bool unzigzag(std::uint64_t from, std::uint64_t z, std::uint64_t limit, std::uint64_t& to) {
    const std::uint64_t away = (z >> 1) + (z & 1);
    if (z & 1) {
        if (away > from) return false;
        to = from - away;
    } else {
        if (away >= limit || from >= limit - away) return false;
        to = from + away;
    }
    return true;
}

// A repeat's reference to `ordinal` from `slot`: the zigzag of the signed distance, then the
// slot in the low three bits.
inline std::uint64_t reference_code(const StartCache& c, std::uint32_t slot,
                                    std::uint64_t ordinal) {
    return zigzag(ordinal, c.at(slot)) << 3 | slot;
}

// Appends v as a varint at p; the bytes written.
inline std::size_t put_varint(std::uint8_t* p, std::uint64_t v) {
    std::size_t n = 0;
    while (v >= 0x80) {
        p[n++] = std::uint8_t(v | 0x80);
        v >>= 7;
    }
    p[n++] = std::uint8_t(v);
    return n;
}

// Reads a varint from [p, end) into v: the bytes read, 0 when it is cut short or longer than
// ten bytes or past 64 bits.
inline std::size_t get_varint(const std::uint8_t* p, const std::uint8_t* end, std::uint64_t& v) {
    v = 0;
    for (std::size_t n = 0; n < 10 && p + n < end; ++n) {
        const std::uint64_t b = p[n] & 0x7F;
        if (n == 9 && b > 1) return 0;
        v |= b << (7 * n);
        if (!(p[n] & 0x80)) return n + 1;
    }
    return 0;
}

// What the header says beyond its constants.
struct MapStart {
    bool from_index = false;
    bool order = false;  // the chunk order goes on from the saved index's
    std::uint64_t index_id = 0;
    std::uint64_t first_ordinal = 0;
};

// What the end frame says.
struct MapEnd {
    std::uint64_t chunks = 0;
    std::uint64_t new_chunks = 0;
    std::uint64_t input_bytes = 0;
    std::uint64_t output_bytes = 0;
    std::uint32_t input_crc = 0;
    bool saved_index = false;
    std::uint64_t index_id = 0;
    std::uint64_t next_ordinal = 0;
};

// The id of the index a run leaves: a mix of the id it started from and what the run took in,
// never 0. Two runs from the same index over different inputs leave different ids.
std::uint64_t next_index_id(std::uint64_t from, std::uint32_t input_crc, std::uint64_t input_bytes,
                            std::uint64_t chunks, std::uint64_t next_ordinal);

}  // namespace chunksieve
