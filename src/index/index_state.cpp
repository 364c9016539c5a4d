#include "index/index_state.h"

#include <bit>
#include <cassert>
#include <cstring>

#include "chunking/byte_order.h"
#include "index/crc32c.h"
#include "index/flat_index.h"

namespace chunksieve {

namespace {

// Even with every slot held the file stays within the flat table's size.
static_assert(state_size(FingerprintIndex::SLOT_COUNT) <= FlatFingerprintIndex::TABLE_BYTES);

constexpr std::uint8_t MAGIC[8] = {'C', 'S', 'I', 'E', 'V', 'E', 'I', 'X'};

std::uint64_t load_le64(const std::uint8_t* p) {
    return std::uint64_t(load_le32(p)) | std::uint64_t(load_le32(p + 4)) << 32;
}

void store_le64(std::uint8_t* p, std::uint64_t v) {
    store_le32(p, std::uint32_t(v));
    store_le32(p + 4, std::uint32_t(v >> 32));
}

void write_header(std::uint8_t* h, std::uint64_t entries, std::uint64_t total) {
    std::memcpy(h, MAGIC, sizeof MAGIC);
    store_le32(h + 8, STATE_VERSION);
    store_le32(h + 12, FingerprintIndex::SLOT_COUNT);
    store_le32(h + 16, FingerprintIndex::PROBE_WINDOW);
    store_le32(h + 20, sizeof(ChunkKey));
    store_le64(h + 24, entries);
    store_le64(h + 32, total);
}

bool same_parameters(const std::uint8_t* h) {
    return load_le32(h + 12) == FingerprintIndex::SLOT_COUNT &&
           load_le32(h + 16) == FingerprintIndex::PROBE_WINDOW &&
           load_le32(h + 20) == sizeof(ChunkKey);
}

// Fills fixed-size pieces and hands each full one to the sink, with the checksum running over
// everything handed on. Bytes are written straight into the piece: room() has space for at least
// ROOM bytes, of which advance() takes those written; what runs past a full piece begins the next.
class PieceWriter {
  public:
    static constexpr std::size_t PIECE = 65536;
    static constexpr std::size_t ROOM = FingerprintIndex::GROUP_SLOTS * STATE_ENTRY_BYTES;
    static_assert(STATE_HEADER_BYTES <= ROOM && STATE_CHECKSUM_BYTES <= ROOM);

    explicit PieceWriter(StateSink& sink) : sink_(sink) {}

    // Invariant between calls: used_ < PIECE, so that ROOM bytes fit behind it.
    std::uint8_t* room() {
        assert(used_ < PIECE);
        return buf_ + used_;
    }
    void advance(std::size_t n) {
        assert(n <= ROOM);
        used_ += n;
        if (used_ < PIECE) [[likely]]
            return;
        hand_on(PIECE);
        used_ -= PIECE;
        std::memmove(buf_, buf_ + PIECE, used_);
    }
    void put(const std::uint8_t* data, std::size_t n) {
        std::memcpy(room(), data, n);
        advance(n);
    }

    // Hands on what the piece holds, full or not.
    void flush() {
        hand_on(used_);
        used_ = 0;
    }

    std::uint32_t crc() const { return crc_; }
    bool ok() const { return ok_; }

  private:
    // Nothing more reaches the sink once it has refused a piece.
    void hand_on(std::size_t n) {
        if (!ok_ || n == 0) return;
        crc_ = crc32c(crc_, buf_, n);
        ok_ = sink_.write_all(buf_, n);
    }

    StateSink& sink_;
    std::uint32_t crc_ = 0;
    bool ok_ = true;
    std::size_t used_ = 0;
    std::uint8_t buf_[PIECE + ROOM];
};

}  // namespace

StateCheck check_state(const std::uint8_t* data, std::size_t size) {
    StateCheck c;
    if (size == 0) return {StateError::empty};
    if (std::memcmp(data, MAGIC, size < sizeof MAGIC ? size : sizeof MAGIC) != 0)
        return {StateError::not_state};
    if (size < state_size(0)) return {StateError::truncated};

    c.version = load_le32(data + 8);
    c.entries = load_le64(data + 24);
    c.total = load_le64(data + 32);
    const std::size_t body = size - STATE_CHECKSUM_BYTES;
    const bool intact = crc32c(0, data, body) == load_le32(data + body);
    // Another version or other parameters are told only of a file that is whole: a damaged
    // header field is damage.
    if (c.version != STATE_VERSION) {
        c.error = intact ? StateError::version : StateError::damaged;
        return c;
    }
    if (!same_parameters(data)) {
        c.error = intact ? StateError::parameters : StateError::damaged;
        return c;
    }
    if (c.entries > FingerprintIndex::SLOT_COUNT) {
        c.error = StateError::damaged;
        return c;
    }
    if (size != state_size(c.entries)) {
        c.error = size < state_size(c.entries) ? StateError::truncated : StateError::damaged;
        return c;
    }
    if (!intact) {
        c.error = StateError::damaged;
        return c;
    }
    // Each slot holds one entry: slots strictly increase and stay within the table.
    std::uint64_t next = 0;
    for (std::uint64_t i = 0; i < c.entries; ++i) {
        const std::uint32_t slot = load_le32(data + STATE_HEADER_BYTES + i * STATE_ENTRY_BYTES);
        if (slot < next || slot >= FingerprintIndex::SLOT_COUNT) {
            c.error = StateError::damaged;
            return c;
        }
        next = std::uint64_t(slot) + 1;
    }
    return c;
}

StateCheck load_state(const std::uint8_t* data, std::size_t size, FingerprintIndex& index) {
    StateCheck c = check_state(data, size);
    if (c.error != StateError::none) return c;
    assert(index.entries() == 0);
    // The entries of one group of slots stand together (slots increase): each group's block is
    // made at once, its keys copied straight from the file.
    const std::uint8_t* e = data + STATE_HEADER_BYTES;
    const std::uint8_t* const end = e + c.entries * STATE_ENTRY_BYTES;
    while (e != end) {
        const std::uint8_t* const first = e;
        std::uint32_t slot = load_le32(e);
        const std::uint32_t group = FingerprintIndex::group_of(slot);
        std::uint64_t bits = 0;
        do {
            bits |= std::uint64_t(1) << (slot & (FingerprintIndex::GROUP_SLOTS - 1));
            e += STATE_ENTRY_BYTES;
        } while (e != end && FingerprintIndex::group_of(slot = load_le32(e)) == group);
        if (!index.restore_group(group, bits, first + 4, STATE_ENTRY_BYTES)) {
            c.error = StateError::no_memory;
            return c;
        }
    }
    return c;
}

StateError save_state(const FingerprintIndex& index, std::uint64_t total, StateSink& sink) {
    PieceWriter out(sink);
    std::uint8_t header[STATE_HEADER_BYTES];
    write_header(header, index.entries(), total);
    out.put(header, sizeof header);

    std::uint64_t written = 0;
    index.for_each_group([&](std::uint32_t group, std::uint64_t bits, const std::uint8_t* keys) {
        std::uint8_t* const start = out.room();
        std::uint8_t* e = start;
        for (; bits != 0; bits &= bits - 1, keys += sizeof(ChunkKey), e += STATE_ENTRY_BYTES) {
            store_le32(
                e, group << FingerprintIndex::GROUP_BITS | std::uint32_t(std::countr_zero(bits)));
            std::memcpy(e + 4, keys, sizeof(ChunkKey));
        }
        written += std::size_t(e - start) / STATE_ENTRY_BYTES;
        out.advance(std::size_t(e - start));
    });
    assert(written == index.entries());  // the header's count is the file's
    (void)written;
    out.flush();

    std::uint8_t trailer[STATE_CHECKSUM_BYTES];
    store_le32(trailer, out.crc());
    out.put(trailer, sizeof trailer);
    out.flush();
    return out.ok() ? StateError::none : StateError::write_failed;
}

}  // namespace chunksieve
