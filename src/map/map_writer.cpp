#include "map/map_writer.h"

#include <cassert>
#include <cstring>

#include "chunking/byte_order.h"
#include "chunking/chunk_rules.h"
#include "chunking/rolling_hash.h"
#include "index/crc32c.h"

namespace chunksieve {

std::uint64_t next_index_id(std::uint64_t from, std::uint32_t input_crc, std::uint64_t input_bytes,
                            std::uint64_t chunks, std::uint64_t next_ordinal) {
    // A 64-bit finaliser over each field in turn: every input bit reaches every output bit.
    auto mix = [](std::uint64_t h, std::uint64_t v) {
        h ^= v + 0x9E3779B97F4A7C15 + (h << 6) + (h >> 2);
        h ^= h >> 30;
        h *= 0xBF58476D1CE4E5B9;
        h ^= h >> 27;
        h *= 0x94D049BB133111EB;
        return h ^ (h >> 31);
    };
    std::uint64_t h = mix(0x43534945564D4150, from);
    h = mix(h, input_crc);
    h = mix(h, input_bytes);
    h = mix(h, chunks);
    h = mix(h, next_ordinal);
    return h != 0 ? h : 1;
}

MapWriter::MapWriter(ByteSink& sink)
    : sink_(sink),
      frame_(new std::uint8_t[FRAME_HEAD_BYTES + FRAME_RECORD_BYTES + FRAME_CHECK_BYTES]) {}

void MapWriter::write(const std::uint8_t* data, std::size_t n) {
    if (failed_) return;
    if (!sink_.write_all(data, n)) {
        failed_ = true;
        return;
    }
    crc_ = crc32c(crc_, data, n);
    written_ += n;
}

bool MapWriter::begin(const MapStart& start) {
    std::uint8_t h[MAP_HEADER_BYTES] = {};
    std::memcpy(h, MAP_MAGIC, sizeof MAP_MAGIC);
    h[8] = std::uint8_t(MAP_VERSION);
    h[9] = std::uint8_t(MAP_VERSION >> 8);
    h[10] = std::uint8_t(MAP_HEADER_BYTES);
    // Mandatory and optional features: none.
    h[20] = std::uint8_t(MIN_CHUNK_LENGTH);
    h[21] = std::uint8_t(MIN_CHUNK_LENGTH >> 8);
    h[22] = std::uint8_t(MAX_CHUNK_LENGTH);
    h[23] = std::uint8_t(MAX_CHUNK_LENGTH >> 8);
    h[24] = std::uint8_t(CHUNK_ALIGNMENT);
    h[26] = std::uint8_t(HASH_WINDOW);
    store_le32(h + 28, HASH_THRESHOLD);
    store_le32(h + 32, CHUNK_MARKER);
    assert(start.from_index || !start.order);
    store_le32(h + 36, (start.from_index ? MAP_FROM_INDEX : 0) | (start.order ? MAP_ORDER : 0));
    store_le64(h + 40, start.index_id);
    store_le64(h + 48, start.first_ordinal);
    store_le32(h + 60, crc32c(0, h, 60));
    first_ordinal_ = next_ordinal_ = start.first_ordinal;
    starts_ = StartCache(start.first_ordinal);
    if (!start.order) order_.reset();
    order_.begin_run();
    resume_ = OrderPlace{};
    last_back_ = 0;
    write(h, sizeof h);
    return !failed_;
}

namespace {

std::size_t varint_bytes(std::uint64_t v) {
    std::size_t n = 1;
    for (; v >= 0x80; v >>= 7)
        ++n;
    return n;
}

}  // namespace

void MapWriter::flush_pending() {
    assert(pending_count_ > 0);
    if (payload_ + MAX_RECORD_BYTES > FRAME_RECORD_BYTES) flush_frame();
    std::uint8_t* p = frame_.get() + FRAME_HEAD_BYTES + payload_;
    std::size_t n = 0;
    if (pending_kind_ == RecordKind::fresh) {
        n = put_varint(p, pending_count_ << 2 | std::uint64_t(RecordKind::fresh));
    } else {
        // Each kind still going on, at its cost: a run or a same record names its first ordinal
        // by the slot that does it in the fewest bytes, a replay its place.
        std::uint64_t reference = reference_code(starts_, 0, pending_first_);
        for (std::uint32_t slot = 1; slot < StartCache::SLOTS; ++slot)
            reference = std::min(reference, reference_code(starts_, slot, pending_first_));
        const std::uint64_t back = zigzag(replay_back_, last_back_);
        const std::size_t by_reference = varint_bytes(reference);
        const std::size_t by_place = varint_bytes(back) + varint_bytes(replay_from_.offset);
        RecordKind kind;
        if ((alive_ & REPLAY) && (!(alive_ & (RUN | SAME)) || by_place < by_reference))
            kind = RecordKind::replay;
        else
            kind = (alive_ & RUN) ? RecordKind::run : RecordKind::same;
        n = put_varint(p, pending_count_ << 2 | std::uint64_t(kind));
        if (kind == RecordKind::replay) {
            n += put_varint(p + n, back);
            n += put_varint(p + n, replay_from_.offset);
            last_back_ = replay_back_;
            starts_.note_replay(pending_last_);
        } else {
            n += put_varint(p + n, reference);
            starts_.note(kind == RecordKind::run, pending_first_, pending_count_);
        }
    }
    payload_ += n;
    chunks_ += pending_count_;
    input_ += pending_input_;
    output_ += pending_output_;
    pending_count_ = pending_input_ = pending_output_ = 0;
}

void MapWriter::frame_head(FrameKind kind, std::size_t n, std::uint8_t* head) const {
    head[0] = std::uint8_t(kind);
    head[1] = std::uint8_t(n);
    head[2] = std::uint8_t(n >> 8);
    head[3] = std::uint8_t(n >> 16);
    store_le64(head + 4, frame_chunks_);
    store_le64(head + 12, frame_input_);
    store_le64(head + 20, frame_output_);
}

void MapWriter::write_frame(FrameKind kind, const std::uint8_t* payload, std::size_t n) {
    std::uint8_t head[FRAME_HEAD_BYTES];
    frame_head(kind, n, head);
    std::uint8_t check[FRAME_CHECK_BYTES];
    store_le32(check, crc32c(crc32c(0, head, sizeof head), payload, n));
    write(head, sizeof head);
    write(payload, n);
    write(check, sizeof check);
}

void MapWriter::flush_frame() {
    if (payload_ > 0) write_frame(FrameKind::records, frame_.get() + FRAME_HEAD_BYTES, payload_);
    payload_ = 0;
    frame_chunks_ = chunks_;
    frame_input_ = input_;
    frame_output_ = output_;
}

bool MapWriter::finish(const std::uint8_t* tail, std::size_t tail_bytes, const MapEnd& end) {
    assert(tail_bytes < MAX_CHUNK_LENGTH);
    if (pending_count_ > 0) flush_pending();
    flush_frame();
    assert(end.chunks == chunks_ && end.input_bytes == input_ + tail_bytes);
    if (tail_bytes > 0) write_frame(FrameKind::tail, tail, tail_bytes);
    frame_input_ += tail_bytes;
    std::uint8_t e[MAP_END_BYTES] = {};
    store_le64(e, end.chunks);
    store_le64(e + 8, end.new_chunks);
    store_le64(e + 16, end.input_bytes);
    store_le64(e + 24, end.output_bytes);
    store_le32(e + 32, end.input_crc);
    store_le32(e + 36, end.saved_index ? MAP_SAVED_INDEX : 0);
    store_le64(e + 40, end.index_id);
    store_le64(e + 48, next_ordinal_);
    // The map's checksum covers every byte before the field: the end frame's head as well.
    std::uint8_t head[FRAME_HEAD_BYTES];
    frame_head(FrameKind::end, sizeof e, head);
    store_le32(e + 60, crc32c(crc32c(crc_, head, sizeof head), e, 60));
    write_frame(FrameKind::end, e, sizeof e);
    return !failed_;
}

}  // namespace chunksieve
