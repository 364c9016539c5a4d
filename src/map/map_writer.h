// MapWriter: writes a run's map front to back as the run goes, a frame at a time, with no seek:
// the map may be a pipe. The filter tells it every chunk in input order; the run's end gives it
// the tail bytes and the counts for the end frame.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "chunking/chunk_rules.h"
#include "map/map_format.h"
#include "stream/byte_sink.h"

namespace chunksieve {

class MapWriter {
  public:
    explicit MapWriter(ByteSink& sink);
    MapWriter(const MapWriter&) = delete;
    MapWriter& operator=(const MapWriter&) = delete;

    // Writes the header; false when the sink refused it.
    bool begin(const MapStart& start);

    // The next chunk of the input, `n` bytes: new (written to the output as its next record),
    // or a repeat of the new chunk numbered `ordinal`.
    void add_new(std::uint32_t n) {
        if (pending_count_ > 0 && pending_kind_ != RecordKind::fresh) flush_pending();
        pending_kind_ = RecordKind::fresh;
        ++pending_count_;
        pending_input_ += n;
        pending_output_ += padded_length(n);
        ++next_ordinal_;
    }
    void add_repeat(std::uint64_t ordinal, std::uint32_t n) {
        if (pending_count_ > 0 && !extends(ordinal)) flush_pending();
        if (pending_count_ == 0) {
            pending_kind_ = RecordKind::run;
            pending_first_ = ordinal;
        } else if (pending_count_ == 1) {
            pending_kind_ = ordinal == pending_last_ ? RecordKind::same : RecordKind::run;
        }
        pending_last_ = ordinal;
        ++pending_count_;
        pending_input_ += n;
        earlier_ += ordinal < first_ordinal_;
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
    bool extends(std::uint64_t ordinal) const {
        if (pending_kind_ == RecordKind::fresh) return false;
        if (pending_count_ == 1) return ordinal == pending_last_ + 1 || ordinal == pending_last_;
        return ordinal == pending_last_ + (pending_kind_ == RecordKind::run ? 1 : 0);
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
    RecordKind pending_kind_ = RecordKind::fresh;
    std::uint64_t pending_count_ = 0;
    std::uint64_t pending_first_ = 0, pending_last_ = 0;  // ordinals, for repeats
    std::uint64_t pending_input_ = 0, pending_output_ = 0;
    StartCache starts_;
    // Chunks and bytes covered by the records so far, and by those before the current frame.
    std::uint64_t chunks_ = 0, input_ = 0, output_ = 0;
    std::uint64_t frame_chunks_ = 0, frame_input_ = 0, frame_output_ = 0;
    std::size_t payload_ = 0;  // record bytes in the current frame
    std::unique_ptr<std::uint8_t[]> frame_;
};

}  // namespace chunksieve
