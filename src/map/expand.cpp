#include "map/expand.h"

#include <algorithm>
#include <cassert>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "chunking/byte_order.h"
#include "chunking/chunk_ends.h"
#include "chunking/chunk_rules.h"
#include "chunking/rolling_hash.h"
#include "index/crc32c.h"
#include "platform/write_behind.h"

namespace chunksieve {

namespace {

// Bytes read from a map, an output or an input at a time, and the room each window keeps.
constexpr std::size_t READ_PIECE = std::size_t(1) << 20;
// The restored bytes go to the sink in pieces of this size, a ring of them in flight: small
// enough to stay in a core's cache between being filled and being written.
constexpr std::size_t EMIT_PIECE = std::size_t(256) << 10;
constexpr std::uint32_t EMIT_RING = 8;
// What a window must hold from where a new chunk starts for its end to be found: the longest
// chunk and its fill.
constexpr std::size_t RECORD_REACH = MAX_CHUNK_LENGTH + CHUNK_ALIGNMENT - 1;
constexpr std::size_t MAX_TAIL_BYTES = MAX_CHUNK_LENGTH - 1;
// An ordinal's place: where its chunk starts in its source, and its length.
constexpr std::uint32_t LENGTH_BITS = 16;
constexpr std::uint64_t MAX_PLACE_OFFSET = (std::uint64_t(1) << (64 - LENGTH_BITS)) - 1;
static_assert(MAX_CHUNK_LENGTH < (1u << LENGTH_BITS));

// A failure on the way: the report's fields, thrown to the walk's top.
struct Stop {
    ExpandError error;
    std::uint64_t at = 0;
    std::uint64_t value = 0;
};

// A map read front to back, exactly, with the checksum of what was read running along.
class MapReader {
  public:
    static constexpr std::size_t PIECE = std::size_t(1) << 16;  // maps are small
    explicit MapReader(ByteSource& src) : src_(src), buf_(new std::uint8_t[PIECE]) {}

    // Exactly n bytes into dst; false at the end of the map (failures throw).
    bool take(std::uint8_t* dst, std::size_t n) {
        while (n > 0) {
            if (pos_ == fill_ && !refill()) return false;
            const std::size_t k = std::min(n, fill_ - pos_);
            std::memcpy(dst, buf_.get() + pos_, k);
            crc_ = crc32c(crc_, dst, k);
            pos_ += k;
            offset_ += k;
            dst += k;
            n -= k;
        }
        return true;
    }
    // Whether the map has no byte left.
    bool at_end() { return pos_ == fill_ && !refill(); }
    std::uint64_t offset() const { return offset_; }
    std::uint32_t crc() const { return crc_; }

  private:
    bool refill() {
        if (ended_) return false;
        const std::ptrdiff_t got = src_.read(buf_.get(), PIECE);
        if (got < 0) throw Stop{ExpandError::map_read, offset_};
        if (got == 0) ended_ = true;
        pos_ = 0;
        fill_ = std::size_t(got);
        return got > 0;
    }

    ByteSource& src_;
    std::unique_ptr<std::uint8_t[]> buf_;
    std::size_t pos_ = 0, fill_ = 0;
    std::uint64_t offset_ = 0;
    std::uint32_t crc_ = 0;
    bool ended_ = false;
};

// Data read front to back through a window that holds what a chunk needs ahead of it: an output
// or input read in order, or one read back at increasing offsets (which can skip).
class Window {
  public:
    Window(ByteSource* seq, ReadBack* back) : seq_(seq), back_(back) {}

    // At least `want` bytes from here on, unless the data ends first.
    void ensure(std::size_t want) {
        if (fill_ - pos_ >= want || ended_) return;
        // Small at first, for the many small outputs and inputs; the full size once the data
        // proves longer than that.
        const std::size_t capacity = buf_ ? FULL : SMALL;
        if (capacity != capacity_) {
            std::unique_ptr<std::uint8_t[]> grown(new std::uint8_t[capacity + SCAN_SLACK]);
            if (buf_) std::memcpy(grown.get(), buf_.get() + pos_, fill_ - pos_);
            buf_ = std::move(grown);
            capacity_ = capacity;
        } else {
            std::memmove(buf_.get(), buf_.get() + pos_, fill_ - pos_);
        }
        base_ += pos_;
        fill_ -= pos_;
        pos_ = 0;
        ++generation_;
        while (fill_ < want && !ended_) {
            const std::ptrdiff_t got = read(buf_.get() + fill_, capacity_ - fill_);
            if (got < 0) throw Stop{ExpandError::data_read, base_ + fill_};
            if (got == 0) ended_ = true;
            fill_ += std::size_t(got);
        }
        // What the chunk-end kernels read past the data never decides a result; zeroed, it is
        // at least defined.
        std::memset(buf_.get() + fill_, 0, SCAN_SLACK);
    }
    const std::uint8_t* data() const { return buf_.get(); }
    std::size_t pos() const { return pos_; }
    std::size_t fill() const { return fill_; }
    std::size_t available() const { return fill_ - pos_; }
    std::uint64_t offset() const { return base_ + pos_; }
    // Changes whenever the bytes move in the buffer.
    std::uint64_t generation() const { return generation_; }
    void advance(std::size_t n) { pos_ += n; }
    // Whether the data has no byte beyond here.
    bool at_end() {
        ensure(1);
        return available() == 0;
    }

  private:
    std::ptrdiff_t read(std::uint8_t* buf, std::size_t cap) {
        if (!back_) return seq_->read(buf, cap);
        const std::ptrdiff_t got = back_->read_at(buf, cap, next_);
        if (got > 0) next_ += std::uint64_t(got);
        return got;
    }

    static constexpr std::size_t SMALL = 2 * RECORD_REACH;
    static constexpr std::size_t FULL = READ_PIECE + RECORD_REACH;

    ByteSource* seq_;
    ReadBack* back_;
    std::uint64_t next_ = 0;  // the next offset to read back
    std::unique_ptr<std::uint8_t[]> buf_;
    std::size_t capacity_ = 0;  // of buf_, which has SCAN_SLACK bytes more
    std::size_t pos_ = 0, fill_ = 0;
    std::uint64_t base_ = 0;  // the data offset of buf_[0]
    std::uint64_t generation_ = 0;
    bool ended_ = false;
};

// What repeats copy from, read back in aligned blocks and kept in a few slots, each block in the
// slot its number picks: the stretches a run of repeats copies from are read once, and the few
// places that interleave with them (a repeated header, a block of zeros) stay at hand.
class ReadCache {
  public:
    static constexpr std::size_t BLOCK = std::size_t(1) << 16;
    static constexpr std::size_t SLOTS = 64;
    static_assert(BLOCK >= MAX_CHUNK_LENGTH, "a chunk spans at most two blocks");

    ReadCache() = default;

    // The n bytes at `offset` of src to dst; throws `read_error` when src cannot be read, and
    // data_short when it has fewer bytes.
    void copy(ReadBack& src, std::uint64_t offset, std::size_t n, std::uint8_t* dst,
              ExpandError read_error) {
        while (n > 0) {
            const std::uint64_t block = offset / BLOCK;
            const std::size_t in = std::size_t(offset % BLOCK);
            const std::size_t k = std::min(n, BLOCK - in);
            const std::uint8_t* p = get(src, block, in + k, read_error);
            std::memcpy(dst, p + in, k);
            dst += k;
            offset += k;
            n -= k;
        }
    }

  private:
    struct Slot {
        ReadBack* src = nullptr;
        std::uint64_t block = 0;
        std::size_t len = 0;
        std::unique_ptr<std::uint8_t[]> bytes;
    };

    // The block, read back unless a slot holds at least `need` of its bytes.
    const std::uint8_t* get(ReadBack& src, std::uint64_t block, std::size_t need,
                            ExpandError read_error) {
        const std::size_t i =
            std::size_t(block + reinterpret_cast<std::uintptr_t>(&src) / 64) % SLOTS;
        Slot& s = slots_[i];
        if (!s.bytes) s.bytes.reset(new std::uint8_t[BLOCK]);  // at its first use
        std::uint8_t* const p = s.bytes.get();
        if (s.src != &src || s.block != block || s.len < need) {
            s.src = nullptr;
            const std::ptrdiff_t got = src.read_at(p, BLOCK, block * BLOCK);
            if (got < 0) throw Stop{read_error, block * BLOCK};
            if (std::size_t(got) < need) throw Stop{ExpandError::data_short, block * BLOCK + got};
            s.src = &src;
            s.block = block;
            s.len = std::size_t(got);
        }
        return p;
    }

    Slot slots_[SLOTS];
};

// The restored bytes' checksum, taken as they go to the sink: in order, on whichever thread
// writes them (the writer's while there is one, beside the restoring).
class ChecksummedSink final : public ByteSink {
  public:
    explicit ChecksummedSink(ByteSink& sink) : sink_(sink) {}
    bool write_all(const std::uint8_t* data, std::size_t n) override {
        crc_ = crc32c(crc_, data, n);
        return sink_.write_all(data, n);
    }
    std::uint32_t crc() const { return crc_; }

  private:
    ByteSink& sink_;
    std::uint32_t crc_ = 0;
};

// The restored bytes on their way to the sink, with their checksum. Full buffers are written by
// a thread of their own while the next ones fill (on one thread when none can be started), so
// that the writes' copying runs beside the search for chunk ends and the copies of repeats.
// A failed write stops the walk at the next hand-over or wait, at the count of bytes written.
class Emitter {
  public:
    explicit Emitter(ByteSink& sink) : sink_(sink), out_(sink_, SHAPE) {}
    Emitter(const Emitter&) = delete;
    Emitter& operator=(const Emitter&) = delete;

    // Room for n bytes (at most PIECE) at the end.
    std::uint8_t* room(std::size_t n) {
        if (used_ + n > PIECE) flush();
        return out_.buffer() + used_;
    }
    void commit(std::size_t n) { used_ += n; }
    void append(const std::uint8_t* p, std::size_t n) {
        std::memcpy(room(n), p, n);
        commit(n);
    }
    // Hands the buffer on; waits for a free one. The writer starts with the first full buffer:
    // a small restore needs no thread.
    void flush(bool last = false) {
        if (used_ == 0) return;
        if (!out_.hand_on(used_, !last)) throw Stop{ExpandError::restored_write, out_.written()};
        used_ = 0;
    }
    // Flushes, and waits until every byte is written.
    void finish() {
        flush(true);
        if (!out_.finish()) throw Stop{ExpandError::restored_write, out_.written()};
    }
    // The restored bytes at offset .. offset + n, held here (not yet handed on) or read back
    // once written.
    void copy_own(std::uint64_t offset, std::size_t n, ReadBack& back, ReadCache& cache) {
        std::uint8_t* dst = room(n);
        const std::uint64_t handed = out_.handed();
        if (offset < handed) {
            const std::size_t before = std::size_t(std::min<std::uint64_t>(n, handed - offset));
            if (!out_.wait_written(offset + before))
                throw Stop{ExpandError::restored_write, out_.written()};
            cache.copy(back, offset, before, dst, ExpandError::restored_read);
            used_ += before;
            dst += before;
            offset += before;
            n -= before;
        }
        if (n == 0) return;
        std::memcpy(dst, out_.buffer() + (offset - handed), n);
        used_ += n;
    }
    std::uint64_t offset() const { return out_.handed() + used_; }
    // Of every byte handed on; after finish().
    std::uint32_t crc() const { return sink_.crc(); }

  private:
    static constexpr std::size_t PIECE = EMIT_PIECE;
    // The writer wakes for each buffer handed on, this thread for each one written.
    static constexpr WriteBehind::Shape SHAPE{EMIT_RING, PIECE, 1, 1};

    ChecksummedSink sink_;
    WriteBehind out_;
    std::size_t used_ = 0;  // bytes in the buffer being filled
};

// Where each new chunk of the chain is, by ordinal: offset << LENGTH_BITS | length. Kept in
// blocks that never move, so that growing costs no copy of what is there.
class Places {
  public:
    void push(std::uint64_t place) {
        if (size_ % BLOCK == 0) blocks_.emplace_back(new std::uint64_t[BLOCK]);
        blocks_.back()[size_ % BLOCK] = place;
        ++size_;
    }
    std::uint64_t operator[](std::uint64_t ordinal) const {
        return blocks_[std::size_t(ordinal / BLOCK)][ordinal % BLOCK];
    }

  private:
    static constexpr std::uint64_t BLOCK = 1 << 16;
    std::vector<std::unique_ptr<std::uint64_t[]>> blocks_;
    std::uint64_t size_ = 0;
};

struct FrameHead {
    FrameKind kind;
    std::size_t size;
    std::uint64_t chunks, input, output;
    std::uint64_t at;  // the frame's map offset
};

// Where the new chunks of one run of the chain can be read back.
struct Source {
    std::uint64_t first;  // its first ordinal
    ReadBack* back;       // nullptr: the restored bytes being written
};

// The chain's new chunks by ordinal, and the walk of one map over its data.
class Expander {
  public:
    Expander(const ChunkingKernels& k, const ExpandJob& job) : k_(k), job_(job) {}

    ExpandReport run();

  private:
    enum class Role { link_output, link_input, current };

    // One map, walked over its data: for a link, to learn where its new chunks are; for the
    // map being expanded, to restore its input as well.
    void walk(MapReader& r, Window& data, Role role, ReadBack* source, const MapStart& start,
              MapEnd& end);
    // Whether a map with this start goes on from the chain so far: which link it is (-1: the
    // map being expanded), and the id the link before it left.
    void check_chain(const MapStart& start, int which, std::uint64_t last_id) const;
    void read_header(MapReader& r, MapStart& start);
    bool read_frame(MapReader& r, FrameHead& f, std::uint8_t* payload);
    void apply_records(const std::uint8_t* p, std::size_t n, Window& data, Role role,
                       std::uint64_t frame_at);
    void fresh_chunk(Window& data, Role role);
    void repeat_chunk(std::uint64_t ordinal, Window& data, Role role);
    void copy_ordinal(std::uint64_t ordinal, std::size_t len);

    const ChunkingKernels& k_;
    const ExpandJob& job_;
    Places places_;
    std::vector<Source> sources_;
    std::unique_ptr<Emitter> emitter_;
    ReadCache cache_;
    bool from_restored_ = false;  // the expanded run's repeats are read back from what it restored

    // The walk in progress.
    std::unique_ptr<ChunkEndFinder> finder_;
    std::uint64_t finder_generation_ = ~std::uint64_t(0);
    std::uint64_t chunks_ = 0, input_ = 0, output_ = 0;
    std::uint64_t next_ordinal_ = 0;
    std::uint16_t version_ = MAP_VERSION;
    StartCache starts_;
    std::uint64_t last_back_ = 0;  // the map's last replay's stretches back
    ChunkOrder order_;             // goes on across the chain's maps unless one starts it anew
};

void Expander::read_header(MapReader& r, MapStart& start) {
    std::uint8_t h[MAP_HEADER_BYTES];
    std::size_t got = 0;
    for (; got < MAP_HEADER_BYTES; ++got)
        if (!r.take(h + got, 1)) break;
    if (got == 0) throw Stop{ExpandError::map_empty};
    if (std::memcmp(h, MAP_MAGIC, std::min(got, sizeof MAP_MAGIC)) != 0)
        throw Stop{ExpandError::not_map};
    if (got < sizeof MAP_MAGIC + 2) throw Stop{ExpandError::map_truncated, got};
    const std::uint16_t version = std::uint16_t(h[8] | h[9] << 8);
    const bool sealed = got == MAP_HEADER_BYTES && load_le32(h + 60) == crc32c(0, h, 60);
    // A newer version's header may be laid out otherwise: nothing more of it is read. An older
    // one (there is none before 1) is damage unless its header is whole.
    if (version > MAP_VERSION || (version < MAP_VERSION_1 && sealed))
        throw Stop{ExpandError::map_version, 0, version};
    if (got < MAP_HEADER_BYTES) throw Stop{ExpandError::map_truncated, got};
    if (!sealed) throw Stop{ExpandError::map_damaged, 0};
    if (const std::uint32_t unknown = load_le32(h + 12) & ~MAP_KNOWN_MANDATORY; unknown != 0)
        throw Stop{ExpandError::map_features, 0, unknown};
    const auto u16 = [&](std::size_t at) { return std::uint32_t(h[at] | h[at + 1] << 8); };
    if (u16(10) != MAP_HEADER_BYTES || u16(20) != MIN_CHUNK_LENGTH || u16(22) != MAX_CHUNK_LENGTH ||
        u16(24) != CHUNK_ALIGNMENT || u16(26) != HASH_WINDOW ||
        load_le32(h + 28) != HASH_THRESHOLD || load_le32(h + 32) != CHUNK_MARKER)
        throw Stop{ExpandError::map_parameters};
    const std::uint32_t flags = load_le32(h + 36);
    const std::uint32_t known =
        version == MAP_VERSION_1 ? MAP_FROM_INDEX : MAP_FROM_INDEX | MAP_ORDER;
    if ((flags & ~known) != 0 || load_le32(h + 56) != 0) throw Stop{ExpandError::map_invalid, 0};
    version_ = version;
    start.from_index = (flags & MAP_FROM_INDEX) != 0;
    start.order = (flags & MAP_ORDER) != 0;
    start.index_id = load_le64(h + 40);
    start.first_ordinal = load_le64(h + 48);
    // A run with no index before it numbers its new chunks from 0.
    if (start.from_index ? start.index_id == 0
                         : start.index_id != 0 || start.first_ordinal != 0 || start.order)
        throw Stop{ExpandError::map_invalid, 0};
}

// The next frame, checked whole; false when the map ends before it begins.
bool Expander::read_frame(MapReader& r, FrameHead& f, std::uint8_t* payload) {
    std::uint8_t head[FRAME_HEAD_BYTES];
    f.at = r.offset();
    if (r.at_end()) return false;
    if (!r.take(head, sizeof head)) throw Stop{ExpandError::map_truncated, r.offset()};
    const std::uint32_t crc_head = r.crc();
    f.kind = FrameKind(head[0]);
    f.size = std::size_t(head[1] | head[2] << 8 | head[3] << 16);
    // A kind or size no map has is a damaged head: nothing of it is believed.
    const bool fits =
        (f.kind == FrameKind::records && f.size > 0 && f.size <= FRAME_RECORD_BYTES) ||
        (f.kind == FrameKind::tail && f.size > 0 && f.size <= MAX_TAIL_BYTES) ||
        (f.kind == FrameKind::end && f.size == MAP_END_BYTES);
    if (!fits) throw Stop{ExpandError::map_damaged, f.at};
    f.chunks = load_le64(head + 4);
    f.input = load_le64(head + 12);
    f.output = load_le64(head + 20);
    std::uint8_t check[FRAME_CHECK_BYTES];
    if (!r.take(payload, f.size) || !r.take(check, sizeof check))
        throw Stop{ExpandError::map_truncated, r.offset()};
    if (load_le32(check) != crc32c(crc32c(0, head, sizeof head), payload, f.size))
        throw Stop{ExpandError::map_damaged, f.at};
    if (f.kind == FrameKind::end && load_le32(payload + 60) != crc32c(crc_head, payload, 60))
        throw Stop{ExpandError::map_damaged, f.at};
    return true;
}

void Expander::fresh_chunk(Window& data, Role role) {
    const bool padded = role != Role::link_input;
    data.ensure(RECORD_REACH);
    if (!finder_ || finder_generation_ != data.generation()) {
        finder_ = std::make_unique<ChunkEndFinder>(k_, data.data(), data.fill());
        finder_generation_ = data.generation();
    }
    const ChunkCut cut = finder_->chunk_at(data.pos());
    const std::size_t n = cut.end;
    if (n == 0) throw Stop{ExpandError::data_short, data.offset() + data.available()};
    const std::size_t record = padded ? std::size_t(padded_length(n)) : n;
    if (record > data.available())
        throw Stop{ExpandError::data_short, data.offset() + data.available()};
    const std::uint8_t* p = data.data() + data.pos();
    if (padded && record > n) {
        // The fill is the record's own: 0x00 after a marker, else copies of the last byte.
        std::uint8_t fill[CHUNK_ALIGNMENT];
        std::memset(fill, fill_byte(cut.how, p[n - 1]), sizeof fill);
        if (std::memcmp(p + n, fill, record - n) != 0)
            throw Stop{ExpandError::data_mismatch, data.offset() + n};
    }
    const std::uint64_t offset = role == Role::current && from_restored_ ? input_ : data.offset();
    if (offset > MAX_PLACE_OFFSET) throw Stop{ExpandError::no_memory};
    places_.push(offset << LENGTH_BITS | n);
    order_.add(next_ordinal_);
    if (role == Role::current) emitter_->append(p, n);
    data.advance(record);
    ++chunks_;
    ++next_ordinal_;
    input_ += n;
    output_ += padded_length(n);
}

// The bytes of an earlier new chunk, onto the restored bytes.
void Expander::copy_ordinal(std::uint64_t ordinal, std::size_t len) {
    const std::uint64_t offset = places_[ordinal] >> LENGTH_BITS;
    // The source: the last whose first ordinal is at or below this one.
    auto s = std::upper_bound(sources_.begin(), sources_.end(), ordinal,
                              [](std::uint64_t o, const Source& x) { return o < x.first; });
    assert(s != sources_.begin());
    --s;
    if (!s->back) {
        emitter_->copy_own(offset, len, *job_.restored_back, cache_);
        return;
    }
    cache_.copy(*s->back, offset, len, emitter_->room(len), ExpandError::data_read);
    emitter_->commit(len);
}

void Expander::repeat_chunk(std::uint64_t ordinal, Window& data, Role role) {
    order_.add(ordinal);
    const std::size_t len = std::size_t(places_[ordinal] & ((1u << LENGTH_BITS) - 1));
    if (role == Role::link_input) {
        data.ensure(len);
        if (data.available() < len)
            throw Stop{ExpandError::data_short, data.offset() + data.available()};
        data.advance(len);
    } else if (role == Role::current) {
        copy_ordinal(ordinal, len);
    }
    ++chunks_;
    input_ += len;
}

void Expander::apply_records(const std::uint8_t* p, std::size_t n, Window& data, Role role,
                             std::uint64_t frame_at) {
    const std::uint8_t* const end = p + n;
    const std::uint64_t frame_chunks = chunks_;
    while (p < end) {
        std::uint64_t v, d = 0;
        std::size_t used = get_varint(p, end, v);
        if (used == 0) throw Stop{ExpandError::map_invalid, frame_at};
        p += used;
        const auto kind = RecordKind(v & 3);
        const std::uint64_t count = v >> 2;
        // A frame's chunks are bounded, so that no record makes work without end (a link's
        // repeats restore nothing); version 1 had no bound and no replay.
        if (count == 0 ||
            (version_ != MAP_VERSION_1 && count > MAX_FRAME_CHUNKS - (chunks_ - frame_chunks)) ||
            (version_ == MAP_VERSION_1 && kind == RecordKind::replay))
            throw Stop{ExpandError::map_invalid, frame_at};
        if (kind == RecordKind::replay) {
            // The place B stretches back and f in, B given as its change from the last
            // replay's; each chunk takes the reference there, which must name a chunk restored.
            std::uint64_t b, f;
            if ((used = get_varint(p, end, b)) == 0) throw Stop{ExpandError::map_invalid, frame_at};
            p += used;
            if ((used = get_varint(p, end, f)) == 0) throw Stop{ExpandError::map_invalid, frame_at};
            p += used;
            std::uint64_t back;
            if (!unzigzag(last_back_, b, order_.stretches() + 1, back) || back == 0)
                throw Stop{ExpandError::map_invalid, frame_at};
            last_back_ = back;
            OrderPlace at{order_.stretches() - back, f};
            std::uint64_t ordinal = 0;
            for (std::uint64_t i = 0; i < count; ++i) {
                ordinal = order_.at(at);
                if (ordinal >= next_ordinal_) throw Stop{ExpandError::map_invalid, frame_at};
                repeat_chunk(ordinal, data, role);
                order_.advance(at);
            }
            starts_.note_replay(ordinal);
            continue;
        }
        if (kind == RecordKind::fresh) {
            for (std::uint64_t i = 0; i < count; ++i)
                fresh_chunk(data, role);
            continue;
        }
        used = get_varint(p, end, d);
        if (used == 0) throw Stop{ExpandError::map_invalid, frame_at};
        p += used;
        // The first ordinal: a slot's, and the signed distance from it (zigzag).
        std::uint64_t first;
        if (!unzigzag(starts_.at(std::uint32_t(d & 7)), d >> 3, next_ordinal_, first))
            throw Stop{ExpandError::map_invalid, frame_at};
        // A repeat names chunks already restored: ordinals below next_ordinal_, the whole run.
        if (first >= next_ordinal_ || (kind == RecordKind::run && count > next_ordinal_ - first))
            throw Stop{ExpandError::map_invalid, frame_at};
        starts_.note(kind == RecordKind::run, first, count);
        for (std::uint64_t i = 0; i < count; ++i)
            repeat_chunk(kind == RecordKind::run ? first + i : first, data, role);
    }
}

void Expander::check_chain(const MapStart& start, int which, std::uint64_t last_id) const {
    const bool first = which == 0 || (which < 0 && job_.links.empty());
    if (first) {
        if (!start.from_index) return;
        throw Stop{which == 0 ? ExpandError::first_link : ExpandError::needs_links, 0,
                   start.index_id};
    }
    if (!start.from_index)
        throw Stop{which < 0 ? ExpandError::no_chain : ExpandError::broken_chain};
    if (start.index_id != last_id || start.first_ordinal != next_ordinal_)
        throw Stop{ExpandError::broken_chain, 0, start.index_id};
}

void Expander::walk(MapReader& r, Window& data, Role role, ReadBack* source, const MapStart& start,
                    MapEnd& end) {
    sources_.push_back(Source{start.first_ordinal, source});
    chunks_ = input_ = output_ = 0;
    starts_ = StartCache(start.first_ordinal);
    if (!start.order) order_.reset();
    order_.begin_run();
    last_back_ = 0;
    finder_.reset();
    std::unique_ptr<std::uint8_t[]> payload(new std::uint8_t[MAX_TAIL_BYTES]);
    FrameHead f;
    bool tail_seen = false;
    for (;;) {
        if (!read_frame(r, f, payload.get())) throw Stop{ExpandError::map_truncated, r.offset()};
        // Each frame is a checkpoint: the map and the data must agree on what came before it.
        if (f.chunks != chunks_ || f.input != input_ || f.output != output_)
            throw Stop{ExpandError::data_mismatch, role == Role::link_input ? input_ : output_};
        if (f.kind == FrameKind::end) break;
        if (tail_seen) throw Stop{ExpandError::map_invalid, f.at};
        if (f.kind == FrameKind::records) {
            apply_records(payload.get(), f.size, data, role, f.at);
            continue;
        }
        tail_seen = true;
        if (role == Role::link_input) {
            data.ensure(f.size);
            if (data.available() < f.size ||
                std::memcmp(data.data() + data.pos(), payload.get(), f.size) != 0)
                throw Stop{ExpandError::data_mismatch, data.offset()};
            data.advance(f.size);
        } else if (role == Role::current) {
            emitter_->append(payload.get(), f.size);
        }
        input_ += f.size;
    }
    const std::uint8_t* e = payload.get();
    end.chunks = load_le64(e);
    end.new_chunks = load_le64(e + 8);
    end.input_bytes = load_le64(e + 16);
    end.output_bytes = load_le64(e + 24);
    end.input_crc = load_le32(e + 32);
    const std::uint32_t flags = load_le32(e + 36);
    end.saved_index = (flags & MAP_SAVED_INDEX) != 0;
    end.index_id = load_le64(e + 40);
    end.next_ordinal = load_le64(e + 48);
    if ((flags & ~MAP_SAVED_INDEX) != 0 || load_le32(e + 56) != 0 ||
        end.saved_index != (end.index_id != 0) || end.chunks != chunks_ ||
        end.new_chunks != next_ordinal_ - start.first_ordinal || end.input_bytes != input_ ||
        end.output_bytes != output_ || end.next_ordinal != next_ordinal_)
        throw Stop{ExpandError::map_invalid, f.at};
    if (!r.at_end()) throw Stop{ExpandError::map_trailing, r.offset()};
    if (!data.at_end()) throw Stop{ExpandError::data_long, data.offset()};
}

ExpandReport Expander::run() {
    ExpandReport report;
    int which = 0;
    try {
        // The links first, in order: the first goes on from no earlier run, each other one from
        // the one before it, and the map being expanded from the last.
        std::uint64_t last_id = 0;
        for (const ExpandLink& link : job_.links) {
            MapReader r(*link.map);
            MapStart start;
            MapEnd end;
            read_header(r, start);
            check_chain(start, which, last_id);
            Window data(nullptr, link.data);
            walk(r, data, link.data_is_input ? Role::link_input : Role::link_output, link.data,
                 start, end);
            last_id = end.index_id;
            ++which;
        }
        which = -1;
        emitter_ = std::make_unique<Emitter>(*job_.restored);
        from_restored_ = !job_.out_back || (job_.prefer_restored && job_.restored_back);
        MapReader r(*job_.map);
        read_header(r, report.start);
        check_chain(report.start, which, last_id);
        Window data(job_.out, nullptr);
        walk(r, data, Role::current, from_restored_ ? nullptr : job_.out_back, report.start,
             report.end);
        emitter_->finish();
        report.restored_bytes = emitter_->offset();
        if (emitter_->crc() != report.end.input_crc) throw Stop{ExpandError::checksum};
    } catch (const Stop& s) {
        report.error = s.error;
        report.at = s.at;
        report.value = s.value;
        report.which = which;
    } catch (const std::bad_alloc&) {
        report.error = ExpandError::no_memory;
        report.which = which;
    }
    return report;
}

}  // namespace

ExpandReport expand(const ChunkingKernels& k, const ExpandJob& job) {
    assert(job.out_back || job.restored_back);
    Expander e(k, job);
    return e.run();
}

}  // namespace chunksieve
