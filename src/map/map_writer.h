// MapWriter: writes a run's map front to back as the run goes, a frame at a time, with no seek:
// the map may be a pipe. The filter tells it every chunk in input order; the run's end gives it
// the tail bytes and the counts for the end frame.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "chunking/chunk_rules.h"
#include "map/chunk_order.h"
#include "map/map_format.h"
#include "stream/byte_sink.h"

namespace chunksieve {

class MapWriter {
  public:
    explicit MapWriter(ByteSink& sink);
    MapWriter(const MapWriter&) = delete;
    MapWriter& operator=(const MapWriter&) = delete;

    // The chunk order, to be loaded from a saved index before begin() when `start.order`.
    ChunkOrder& order() { return order_; }

    // Writes the header; false when the sink refused it. Without `start.order` the chunk order
    // starts empty.
    bool begin(const MapStart& start);

    // The next chunk of the input, `n` bytes: new (written to the output as its next record),
    // or a repeat of the new chunk numbered `ordinal`.
    void add_new(std::uint32_t n) {
        if (frame_full()) close_frame();
        if (pending_count_ > 0 && pending_kind_ != RecordKind::fresh) {
            if (alive_ & REPLAY) resume_ = cursor_;  // an edit: the input may go on from there
            flush_pending();
        }
        pending_kind_ = RecordKind::fresh;
        ++pending_count_;
        pending_input_ += n;
        pending_output_ += padded_length(n);
        order_.add(next_ordinal_++);
    }
    void add_repeat(std::uint64_t ordinal, std::uint32_t n) {
        // A run of repeats is one record while one of its kinds goes on: a run while the
        // ordinals go up by one, a same record while they stay, a replay while they go as the
        // order did from its place. When the last one stops, the record takes the kind that
        // codes it in the fewest bytes of those that went on longest.
        if (frame_full()) close_frame();
        if (pending_count_ > 0) {
            if (pending_kind_ == RecordKind::fresh) {
                flush_pending();
            } else {
                unsigned alive = alive_;
                if (ordinal != pending_last_ + 1) alive &= ~RUN;
                if (ordinal != pending_last_) alive &= ~SAME;
                if ((alive & REPLAY) && order_.at(cursor_) != ordinal) {
                    alive &= ~REPLAY;
                    resume_ = cursor_;  // where a later replay looks first
                }
                if (alive == 0)
                    flush_pending();
                else
                    alive_ = alive;
            }
        }
        if (pending_count_ == 0) {
            pending_kind_ = RecordKind::run;  // a run of repeats, whatever kind it ends as
            pending_first_ = ordinal;
            alive_ = RUN | SAME;
            if (order_.find(ordinal, resume_, cursor_)) {
                alive_ |= REPLAY;
                replay_from_ = cursor_;
                replay_back_ = order_.stretches() - cursor_.stretch;
            }
        }
        pending_last_ = ordinal;
        ++pending_count_;
        pending_input_ += n;
        earlier_ += ordinal < first_ordinal_;
        order_.add(ordinal);
        if (alive_ & REPLAY) order_.advance(cursor_);
    }

    // Ends the map: the records still pending, the tail bytes (the input after its last chunk
    // end, at most 65,534), then the end frame with `end`'s run-wide fields (chunks, new chunks
    // and the byte counts are checked against what was added). False when the sink refused
    // bytes, now or earlier.
    bool finish(const std::uint8_t* tail, std::size_t tail_bytes, const MapEnd& end);

    bool failed() const { return failed_; }
    std::uint64_t next_ordinal() const { return next_ordinal_; }
    // Of the repeats, those of chunks that earlier runs of the chain wrote.
    std::uint64_t repeats_of_earlier_runs() const { return earlier_; }
    std::uint64_t bytes_written() const { return written_; }

  private:
    bool frame_full() const { return chunks_ + pending_count_ - frame_chunks_ == MAX_FRAME_CHUNKS; }
    void close_frame() {
        if (pending_count_ > 0) flush_pending();
        flush_frame();
    }
    void flush_pending();
    void flush_frame();
    void frame_head(FrameKind kind, std::size_t n, std::uint8_t* head) const;
    void write_frame(FrameKind kind, const std::uint8_t* payload, std::size_t n);
    void write(const std::uint8_t* data, std::size_t n);

    ByteSink& sink_;
    bool failed_ = false;
    std::uint64_t written_ = 0;
    std::uint32_t crc_ = 0;  // of every byte written

    std::uint64_t first_ordinal_ = 0, next_ordinal_ = 0;
    std::uint64_t earlier_ = 0;
    // The run of chunks not yet written as a record, and what it covers.
    RecordKind pending_kind_ = RecordKind::fresh;  // fresh, or run for a run of repeats
    static constexpr unsigned RUN = 1, SAME = 2, REPLAY = 4;
    unsigned alive_ = 0;  // the kinds a run of repeats may still be
    std::uint64_t pending_count_ = 0;
    std::uint64_t pending_first_ = 0, pending_last_ = 0;  // ordinals, for repeats
    std::uint64_t pending_input_ = 0, pending_output_ = 0;
    StartCache starts_;
    ChunkOrder order_{true};
    // The pending replay: where it began, how many stretches back, and where it is now; where
    // the last one broke off; the last one's stretches back.
    OrderPlace replay_from_, cursor_, resume_;
    std::uint64_t replay_back_ = 0, last_back_ = 0;
    // Chunks and bytes covered by the records so far, and by those before the current frame.
    std::uint64_t chunks_ = 0, input_ = 0, output_ = 0;
    std::uint64_t frame_chunks_ = 0, frame_input_ = 0, frame_output_ = 0;
    std::size_t payload_ = 0;  // record bytes in the current frame
    std::unique_ptr<std::uint8_t[]> frame_;
};

}  // namespace chunksieve
