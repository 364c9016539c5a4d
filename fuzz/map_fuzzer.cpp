// Expand on arbitrary map and output bytes: it never reads out of bounds, never runs on without
// bound (the restored bytes are capped), and whatever it reports as restored has the length and
// the checksum its map gives.
//
// Input: byte 0 chooses how the map is read and what can be read back (bit 0: the output, else
// the restored bytes; bit 1: recompute the map's checksums first, so that changes reach what
// the records say; bits 2..7: the piece size the map and output are read in); bytes 1..2, the
// map's length (little-endian); then the map, then the output.
#include <cstddef>
#include <cstdint>

#include "checksums.h"
#include "fuzz_check.h"
#include "index/crc32c.h"
#include "map_io.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace chunksieve;
    if (size < 3) return 0;
    const std::uint8_t how = data[0];
    const std::size_t map_len = std::min<std::size_t>(data[1] | data[2] << 8, size - 3);
    MapBytes map(data + 3, data + 3 + map_len);
    const MapBytes out(data + 3 + map_len, data + size);
    if (how & 2) test::reseal_map(map);
    const std::size_t piece = 1 + std::size_t(how >> 2) * 331;
    constexpr std::size_t LIMIT = std::size_t(8) << 20;
    const bool out_back = how & 1;
    const Expanded e = expand_in_memory(map, out, {}, out_back, !out_back, piece, LIMIT);
    if (e.report.error == ExpandError::none) {
        CHECK(e.restored.size() == e.report.end.input_bytes);
        CHECK(crc32c(0, e.restored.data(), e.restored.size()) == e.report.end.input_crc);
        CHECK(out.size() == e.report.end.output_bytes);
    }
    return 0;
}
