// Input to the filter with a map, and back with expand: the restored bytes are the input, for
// one run or a chain of runs that share an index, with the block loop or the per-byte loop.
//
// Input: byte 0 chooses the loop (bit 0), the refill size (bits 1..3) and where the input is cut
// into the chain's runs (bits 4..7: none, or two or three runs at proportional places); the
// rest is the input.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "fuzz_check.h"
#include "map_io.h"

namespace {

chunksieve::MapChain& chain() {
    static chunksieve::MapChain c;  // one filter, about 2 MiB, kept across inputs
    return c;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace chunksieve;
    if (size < 1) return 0;
    const std::uint8_t how = data[0];
    const MapBytes input(data + 1, data + size);
    MapChain& c = chain();
    c.reset(how & 1 ? nullptr : &best_kernels());
    CHECK(c.ok());
    const std::size_t piece = std::size_t(1) << (2 * ((how >> 1) & 7) + 2);  // 4 .. 64 KiB
    // The runs: cuts at thirds or halves, from the top bits.
    std::vector<MapBytes> runs;
    const std::uint32_t parts = 1 + (how >> 4) % 3;
    for (std::uint32_t i = 0; i < parts; ++i)
        runs.emplace_back(input.begin() + std::ptrdiff_t(input.size() * i / parts),
                          input.begin() + std::ptrdiff_t(input.size() * (i + 1) / parts));
    std::vector<MappedRun> done;
    std::vector<MemoryLink> links;
    for (const MapBytes& run : runs) {
        done.push_back(c.run(run, piece, Overlap::never));
        CHECK(done.back().status == RunStatus::complete);
    }
    for (std::size_t i = 0; i < runs.size(); ++i) {
        const Expanded e =
            expand_in_memory(done[i].map, done[i].out, links, i % 2 == 0, i % 2 == 1, piece);
        CHECK(e.report.error == ExpandError::none);
        CHECK(e.restored == runs[i]);
        links.push_back({&done[i].map, &done[i].out, false});
    }
    return 0;
}
