#include "index/index_state.h"

#include <algorithm>
#include <bit>
#include <cassert>
#include <cstring>
#include <thread>

#include "chunking/byte_order.h"
#include "index/crc32c.h"
#include "index/flat_index.h"
#include "platform/write_behind.h"

namespace chunksieve {

namespace {

// Even with every slot held the file stays within the flat table's size; with values (25 bytes
// an entry where a flat table's slot takes 21), 800 MiB, which a 32-bit size still counts.
static_assert(state_size(FingerprintIndex::SLOT_COUNT) <= FlatFingerprintIndex::TABLE_BYTES);
static_assert(state_size(FingerprintIndex::SLOT_COUNT, true) <= SIZE_MAX);

constexpr std::uint8_t MAGIC[8] = {'C', 'S', 'I', 'E', 'V', 'E', 'I', 'X'};

std::uint64_t load_value(const std::uint8_t* p) {
    return std::uint64_t(load_le32(p)) | std::uint64_t(p[4]) << 32;
}

void store_value(std::uint8_t* p, std::uint64_t v) {
    store_le32(p, std::uint32_t(v));
    p[4] = std::uint8_t(v >> 32);
}

void write_header(std::uint8_t* h, std::uint64_t entries, const StateInfo& info, bool values) {
    std::memcpy(h, MAGIC, sizeof MAGIC);
    store_le32(h + 8, info.section ? STATE_VERSION : STATE_VERSION_2);
    store_le32(h + 12, FingerprintIndex::SLOT_COUNT);
    store_le32(h + 16, FingerprintIndex::PROBE_WINDOW);
    store_le32(h + 20, sizeof(ChunkKey));
    store_le64(h + 24, entries);
    store_le64(h + 32, info.total);
    store_le32(h + 40, values ? STATE_FLAG_VALUES : 0);
    store_le32(h + 44, 0);
    store_le64(h + 48, info.state_id);
    store_le64(h + 56, info.new_chunks);
}

// Where a checked file's entries begin, and the bytes each takes.
struct Layout {
    std::size_t header;
    std::size_t entry;
};

Layout layout_of(const StateCheck& c) {
    if (c.version == STATE_VERSION_1) return {STATE_HEADER_BYTES_1, STATE_ENTRY_BYTES};
    return {STATE_HEADER_BYTES, state_entry_bytes(c.has_values)};
}

bool same_parameters(const std::uint8_t* h) {
    return load_le32(h + 12) == FingerprintIndex::SLOT_COUNT &&
           load_le32(h + 16) == FingerprintIndex::PROBE_WINDOW &&
           load_le32(h + 20) == sizeof(ChunkKey);
}

// Fills fixed-size pieces and hands each full one to the sink, with the checksum running over
// everything handed on. Bytes are written straight into the piece: room() has space for at least
// ROOM bytes, of which advance() takes those written; what runs past a full piece begins the next.
// From the first full piece on, a thread of its own gives the pieces to the sink from a ring while
// this one makes the next: the system copies pieces while the next are made. The sink gets the
// pieces in order, whole, and nothing more once it has refused one.
class PieceWriter {
  public:
    static constexpr std::size_t PIECE = 65536;
    static constexpr std::size_t ROOM = FingerprintIndex::GROUP_SLOTS * state_entry_bytes(true);
    static_assert(STATE_HEADER_BYTES <= ROOM && STATE_CHECKSUM_BYTES <= ROOM);

    // The first piece is this object's own, so that a small save needs no memory but the stack.
    explicit PieceWriter(ByteSink& sink) : out_(sink, SHAPE, first_) {}
    PieceWriter(const PieceWriter&) = delete;
    PieceWriter& operator=(const PieceWriter&) = delete;

    // Invariant between calls: used_ < PIECE, so that ROOM bytes fit behind it.
    std::uint8_t* room() {
        assert(used_ < PIECE);
        return out_.buffer() + used_;
    }
    void advance(std::size_t n) {
        assert(n <= ROOM);
        used_ += n;
        if (used_ < PIECE) [[likely]]
            return;
        const std::uint8_t* const full = out_.buffer();
        hand_on(PIECE);
        used_ -= PIECE;
        // The writer reads only the PIECE bytes handed on; the same piece when there is no ring.
        std::memmove(out_.buffer(), full + PIECE, used_);
    }
    void put(const std::uint8_t* data, std::size_t n) {
        std::memcpy(room(), data, n);
        advance(n);
    }

    // Hands on what the piece holds, full or not.
    void flush() {
        if (used_ > 0) hand_on(used_);
        used_ = 0;
    }

    std::uint32_t crc() const { return crc_; }
    // Whether the sink took every piece; waits for the last to be given to it.
    bool ok() { return out_.finish(); }

  private:
    // A full ring lets this thread go on once half of it is free; the writer starts once half of
    // it is filled, or at the end: one wake-up for several pieces either way.
    static constexpr WriteBehind::Shape SHAPE{8, PIECE + ROOM, 4, 4};

    // A refusal is told by ok(), at the end; meanwhile the pieces are made and dropped.
    void hand_on(std::size_t n) {
        if (out_.failed()) return;
        crc_ = crc32c(crc_, out_.buffer(), n);
        out_.hand_on(n, n == PIECE);
    }

    std::uint32_t crc_ = 0;
    std::size_t used_ = 0;  // bytes in the piece being filled
    std::uint8_t first_[PIECE + ROOM];
    WriteBehind out_;  // after first_, which it writes from until it is gone
};

// What the header and the size tell of a file: the checks before its checksum and its entries.
// `intact` (whether the checksum matches) is asked for only where the verdict depends on it.
template <class Intact>
StateCheck check_header(const std::uint8_t* data, std::size_t size, Intact intact) {
    StateCheck c;
    if (size == 0) return {StateError::empty};
    if (std::memcmp(data, MAGIC, size < sizeof MAGIC ? size : sizeof MAGIC) != 0)
        return {StateError::not_state};
    // Version 1's header and checksum: the least that any file holds.
    if (size < STATE_HEADER_BYTES_1 + STATE_CHECKSUM_BYTES) return {StateError::truncated};

    c.version = load_le32(data + 8);
    c.entries = load_le64(data + 24);
    c.total = load_le64(data + 32);
    // Another version or other parameters are told only of a file that is whole: a damaged
    // header field is damage.
    if (c.version != STATE_VERSION && c.version != STATE_VERSION_2 &&
        c.version != STATE_VERSION_1) {
        c.error = intact() ? StateError::version : StateError::damaged;
        return c;
    }
    if (c.version != STATE_VERSION_1 && size < state_size(0)) {
        c.error = StateError::truncated;
        return c;
    }
    if (!same_parameters(data)) {
        c.error = intact() ? StateError::parameters : StateError::damaged;
        return c;
    }
    if (c.version != STATE_VERSION_1) {
        const std::uint32_t flags = load_le32(data + 40);
        if ((flags & ~STATE_FLAG_VALUES) != 0 || load_le32(data + 44) != 0) {
            c.error = StateError::damaged;  // what no save writes
            return c;
        }
        c.has_values = (flags & STATE_FLAG_VALUES) != 0;
        c.state_id = load_le64(data + 48);
        c.new_chunks = load_le64(data + 56);
    }
    if (c.entries > FingerprintIndex::SLOT_COUNT) {
        c.error = StateError::damaged;
        return c;
    }
    const Layout layout = layout_of(c);
    std::uint64_t expected = layout.header + layout.entry * c.entries + STATE_CHECKSUM_BYTES;
    if (c.version == STATE_VERSION) {
        // The section's head, then as many items as it counts.
        expected += STATE_SECTION_HEAD_BYTES;
        if (size < expected) {
            c.error = StateError::truncated;
            return c;
        }
        const std::uint8_t* head =
            data + expected - STATE_SECTION_HEAD_BYTES - STATE_CHECKSUM_BYTES;
        const std::uint64_t items = load_le64(head + 8);
        if (items > (size - expected) / STATE_SECTION_ITEM_BYTES) {
            c.error = StateError::truncated;
            return c;
        }
        expected += STATE_SECTION_ITEM_BYTES * items;
        c.section = head;
        c.section_bytes = STATE_SECTION_HEAD_BYTES + STATE_SECTION_ITEM_BYTES * items;
    }
    if (size != expected) {
        c.error = size < expected ? StateError::truncated : StateError::damaged;
        return c;
    }
    return c;
}

// Whether the checksum at the file's end matches every byte before it.
bool checksum_matches(const std::uint8_t* data, std::size_t size) {
    const std::size_t body = size - STATE_CHECKSUM_BYTES;
    return crc32c(0, data, body) == load_le32(data + body);
}

// Each slot holds one entry: the file's slots strictly increase and stay within the table; and
// each value, where the file has values, is not 0. When `index` is given, each group's entries go
// into it as they are checked, a whole block at once with the keys (and values) copied straight
// from the file; the first entry out of place stops it.
StateError walk_entries(const std::uint8_t* data, const StateCheck& c, FingerprintIndex* index) {
    const Layout layout = layout_of(c);
    const std::uint8_t* e = data + layout.header;
    const std::uint8_t* const end = e + c.entries * layout.entry;
    std::uint64_t next = 0;  // the least slot the next entry may have
    while (e != end) {
        const std::uint8_t* const first = e;
        std::uint32_t slot = load_le32(e);
        if (slot < next || slot >= FingerprintIndex::SLOT_COUNT) return StateError::damaged;
        const std::uint32_t group = FingerprintIndex::group_of(slot);
        std::uint64_t bits = 0;
        do {
            if (c.has_values && load_value(e + STATE_ENTRY_BYTES) == 0) return StateError::damaged;
            bits |= std::uint64_t(1) << (slot & (FingerprintIndex::GROUP_SLOTS - 1));
            next = std::uint64_t(slot) + 1;
            e += layout.entry;
            // A slot out of place, or past the table's end, also ends the group (its group
            // number is then not this one, unmasked); the test above then tells it.
        } while (e != end && (slot = load_le32(e)) >= next &&
                 slot >> FingerprintIndex::GROUP_BITS == group);
        if (index &&
            !index->restore_group(group, bits, first + 4,
                                  c.has_values ? first + STATE_ENTRY_BYTES : nullptr, layout.entry))
            return StateError::no_memory;
    }
    return StateError::none;
}

// Below this size a file's checksum is computed before its entries are loaded; from it on,
// beside them, on a thread of its own.
constexpr std::size_t CHECK_BESIDE_BYTES = std::size_t(1) << 20;

}  // namespace

StateCheck check_state(const std::uint8_t* data, std::size_t size) {
    StateCheck c = check_header(data, size, [&] { return checksum_matches(data, size); });
    if (c.error != StateError::none) return c;
    if (!checksum_matches(data, size)) {
        c.error = StateError::damaged;
        return c;
    }
    c.error = walk_entries(data, c, nullptr);
    return c;
}

StateCheck load_state(const std::uint8_t* data, std::size_t size, FingerprintIndex& index) {
    StateCheck c = check_header(data, size, [&] { return checksum_matches(data, size); });
    if (c.error != StateError::none) return c;
    assert(index.entries() == 0);
    // The checksum takes as long as a third of the loading: it runs beside it, and a file whose
    // checksum or slots prove wrong leaves the index empty again.
    bool intact = false;
    std::thread checking;
    if (size >= CHECK_BESIDE_BYTES) {
        try {
            checking =
                std::thread([&intact, data, size] { intact = checksum_matches(data, size); });
        } catch (...) {  // no thread: the checksum first, as for a small file
        }
    }
    if (!checking.joinable() && !(intact = checksum_matches(data, size))) {
        c.error = StateError::damaged;
        return c;
    }
    c.error = walk_entries(data, c, &index);
    if (checking.joinable()) checking.join();
    if (!intact) c.error = StateError::damaged;
    if (c.error == StateError::damaged) index.clear();
    return c;
}

StateError save_state(const FingerprintIndex& index, const StateInfo& info, ByteSink& sink) {
    const bool values = index.keeps_values() && index.unknown_values() == 0;
    PieceWriter out(sink);
    std::uint8_t header[STATE_HEADER_BYTES];
    write_header(header, index.entries(), info, values);
    out.put(header, sizeof header);

    const std::size_t entry_bytes = state_entry_bytes(values);
    std::uint64_t written = 0;
    index.for_each_group([&](std::uint32_t group, std::uint64_t bits, const std::uint8_t* keys,
                             const std::uint64_t* held) {
        const std::uint32_t first = group << FingerprintIndex::GROUP_BITS;
        std::uint8_t* const start = out.room();
        std::uint8_t* e = start;
        if (values) {
            for (; bits != 0;
                 bits &= bits - 1, keys += sizeof(ChunkKey), ++held, e += entry_bytes) {
                store_le32(e, first | std::uint32_t(std::countr_zero(bits)));
                std::memcpy(e + 4, keys, sizeof(ChunkKey));
                store_value(e + STATE_ENTRY_BYTES, *held);
            }
        } else {
            for (; bits != 0; bits &= bits - 1, keys += sizeof(ChunkKey), e += entry_bytes) {
                store_le32(e, first | std::uint32_t(std::countr_zero(bits)));
                std::memcpy(e + 4, keys, sizeof(ChunkKey));
            }
        }
        written += std::size_t(e - start) / entry_bytes;
        out.advance(std::size_t(e - start));
    });
    assert(written == index.entries());  // the header's count is the file's
    (void)written;
    if (info.section) {
        assert(info.section_bytes ==
               STATE_SECTION_HEAD_BYTES + STATE_SECTION_ITEM_BYTES * load_le64(info.section + 8));
        for (std::size_t at = 0; at < info.section_bytes; at += PieceWriter::ROOM) {
            const std::size_t n = std::min(PieceWriter::ROOM, info.section_bytes - at);
            out.put(info.section + at, n);
        }
    }
    out.flush();

    std::uint8_t trailer[STATE_CHECKSUM_BYTES];
    store_le32(trailer, out.crc());
    out.put(trailer, sizeof trailer);
    out.flush();
    return out.ok() ? StateError::none : StateError::write_failed;
}

}  // namespace chunksieve
