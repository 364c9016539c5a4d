// Runs with a map, and expand, in memory, for tests and fuzzers (no test framework needed): a
// chain of runs that share one filter's index, as runs with a saved index do, and the sources
// and sinks expand takes.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "chunking/byte_order.h"
#include "driver/checksum_io.h"
#include "driver/run.h"
#include "filter/dedup_filter.h"
#include "index/crc32c.h"
#include "map/expand.h"
#include "map/map_writer.h"
#include "memory_io.h"

namespace chunksieve {

using MapBytes = std::vector<std::uint8_t>;

// Bytes read in order, in pieces of at most `piece` bytes, and at random.
class MemorySource final : public ByteSource, public ReadBack {
  public:
    explicit MemorySource(const MapBytes& data, std::size_t piece = 1 << 20)
        : data_(data), piece_(piece) {}
    std::ptrdiff_t read(std::uint8_t* buf, std::size_t capacity) override {
        const std::size_t n = std::min({capacity, piece_, data_.size() - pos_});
        if (n > 0) std::memcpy(buf, data_.data() + pos_, n);
        pos_ += n;
        return std::ptrdiff_t(n);
    }
    std::ptrdiff_t read_at(std::uint8_t* buf, std::size_t n, std::uint64_t offset) override {
        if (offset >= data_.size()) return 0;
        n = std::min<std::size_t>(n, data_.size() - std::size_t(offset));
        std::memcpy(buf, data_.data() + offset, n);
        return std::ptrdiff_t(n);
    }

  private:
    const MapBytes& data_;
    std::size_t piece_;
    std::size_t pos_ = 0;
};

// Bytes written, readable back, refusing any write that would take them past `limit`.
class MemorySink final : public ByteSink, public ReadBack {
  public:
    explicit MemorySink(std::size_t limit = SIZE_MAX) : limit_(limit) {}
    bool write_all(const std::uint8_t* data, std::size_t n) override {
        if (n > limit_ - bytes.size()) return false;
        bytes.insert(bytes.end(), data, data + n);
        return true;
    }
    std::ptrdiff_t read_at(std::uint8_t* buf, std::size_t n, std::uint64_t offset) override {
        if (offset >= bytes.size()) return 0;
        n = std::min<std::size_t>(n, bytes.size() - std::size_t(offset));
        std::memcpy(buf, bytes.data() + offset, n);
        return std::ptrdiff_t(n);
    }
    MapBytes bytes;

  private:
    std::size_t limit_;
};

struct MappedRun {
    RunStatus status = RunStatus::complete;
    MapBytes out, map;
    std::uint64_t index_id = 0;  // of the index the run left
};

// Runs that go on from each other's index, as runs with one saved index do; each writes a map.
// The filter is large: keep one chain per test, on the heap.
class MapChain {
  public:
    // With a reference loop (kernels nullptr) or a kernel set.
    explicit MapChain(const ChunkingKernels* kernels = &best_kernels())
        : filter_(std::make_unique<DedupFilter>()) {
        reset(kernels);
    }
    // As new: an empty index (a fresh mapping, so that only what a chain touches costs).
    void reset(const ChunkingKernels* kernels) {
        DedupFilter& f = *filter_;
        std::destroy_at(&f.index);
        std::construct_at(&f.index);
        f.kernels = kernels;
        f.total = 0;
        ok_ = f.index.create(true);
        id_ = next_ = 0;
    }
    bool ok() const { return ok_; }
    DedupFilter& filter() { return *filter_; }

    // The next run over `input`, read `piece` bytes at a time.
    MappedRun run(const MapBytes& input, std::size_t piece = STREAM_BLOCK,
                  Overlap overlap = Overlap::automatic) {
        MappedRun r;
        MemoryIo io(input, piece);
        ChecksumIo counted(io);
        MemorySink map;
        MapWriter writer(map);
        DedupFilter& f = *filter_;
        const bool from_index = id_ != 0;
        // The chunk order goes from run to run as a saved index's section carries it.
        if (from_index && !writer.order().load_section(section_.data(), section_.size(), next_))
            r.status = RunStatus::map_failed;
        writer.begin(
            MapStart{from_index, from_index, from_index ? id_ : 0, from_index ? next_ : 0});
        f.map = &writer;
        r.status = run_filter(f, io_for(counted), overlap);
        if (r.status == RunStatus::complete) {
            r.index_id = run_index_id(f, from_index ? id_ : 0, counted.crc());
            finish_map(f, counted.crc(), r.index_id);
            id_ = r.index_id;
            next_ = writer.next_ordinal();
            section_ = writer.order().section();
        }
        f.map = nullptr;
        r.out = std::move(io.output);
        r.map = std::move(map.bytes);
        return r;
    }

  private:
    static StreamIo& io_for(ChecksumIo& c) { return c; }

    std::unique_ptr<DedupFilter> filter_;
    bool ok_ = false;
    std::uint64_t id_ = 0, next_ = 0;
    std::vector<std::uint8_t> section_;
};

// Expand in memory: the map and output read in pieces of `piece` bytes; `out_back` and
// `restored_back` say which of them can be read back (one must be); the restored bytes may
// not pass `limit`.
struct MemoryLink {
    const MapBytes* map;
    const MapBytes* data;
    bool data_is_input;
};

struct Expanded {
    ExpandReport report;
    MapBytes restored;
};

inline Expanded expand_in_memory(const MapBytes& map, const MapBytes& out,
                                 const std::vector<MemoryLink>& links = {}, bool out_back = true,
                                 bool restored_back = true, std::size_t piece = 1 << 20,
                                 std::size_t limit = SIZE_MAX,
                                 const ChunkingKernels& k = best_kernels()) {
    MemorySource map_src(map, piece), out_src(out, piece);
    MemorySink restored(limit);
    std::vector<std::unique_ptr<MemorySource>> sources;
    std::vector<ExpandLink> expand_links;
    for (const MemoryLink& l : links) {
        sources.push_back(std::make_unique<MemorySource>(*l.map, piece));
        sources.push_back(std::make_unique<MemorySource>(*l.data, piece));
        expand_links.push_back(
            {sources[sources.size() - 2].get(), sources.back().get(), l.data_is_input});
    }
    ExpandJob job;
    job.map = &map_src;
    job.out = &out_src;
    job.out_back = out_back ? &out_src : nullptr;
    job.restored = &restored;
    job.restored_back = restored_back ? &restored : nullptr;
    job.links = expand_links;
    job.prefer_restored = restored_back;
    Expanded e;
    e.report = expand(k, job);
    e.restored = std::move(restored.bytes);
    return e;
}

// Recomputes every checksum of a map that is laid out as frames (as far as its frames go), so
// that a change to it is seen for what it says rather than as damage.
inline void reseal(MapBytes& m) {
    if (m.size() < MAP_HEADER_BYTES) return;
    store_le32(m.data() + 60, crc32c(0, m.data(), 60));
    std::uint32_t crc = crc32c(0, m.data(), MAP_HEADER_BYTES);
    for (std::size_t at = MAP_HEADER_BYTES; m.size() - at >= FRAME_HEAD_BYTES;) {
        std::uint8_t* f = m.data() + at;
        const std::size_t size = std::size_t(f[1] | f[2] << 8 | f[3] << 16);
        const std::size_t body = FRAME_HEAD_BYTES + size;
        if (m.size() - at < body + FRAME_CHECK_BYTES) return;
        if (f[0] == std::uint8_t(FrameKind::end) && size == MAP_END_BYTES)
            store_le32(f + FRAME_HEAD_BYTES + 60, crc32c(crc, f, FRAME_HEAD_BYTES + 60));
        store_le32(f + body, crc32c(0, f, body));
        crc = crc32c(crc, f, body + FRAME_CHECK_BYTES);
        at += body + FRAME_CHECK_BYTES;
    }
}

}  // namespace chunksieve
