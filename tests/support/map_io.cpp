#include "map_io.h"

#include <utility>

#include "engine/checksum_io.h"
#include "filters.h"
#include "map/map_writer.h"

namespace chunksieve {

MapChain::MapChain(const ChunkingKernels* kernels) : filter_(std::make_unique<DedupFilter>()) {
    reset(kernels);
}

void MapChain::reset(const ChunkingKernels* kernels) {
    ok_ = test::renew_filter(*filter_, kernels, true);
    id_ = next_ = 0;
}

MappedRun MapChain::run(const MapBytes& input, std::size_t piece, Overlap overlap) {
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
    writer.begin(MapStart{from_index, from_index, from_index ? id_ : 0, from_index ? next_ : 0});
    f.map = &writer;
    StreamIo& counted_io = counted;
    r.status = run_filter(f, counted_io, overlap);
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

Expanded expand_in_memory(const MapBytes& map, const MapBytes& out,
                          const std::vector<MemoryLink>& links, bool out_back, bool restored_back,
                          std::size_t piece, std::size_t limit, const ChunkingKernels& k) {
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

}  // namespace chunksieve
