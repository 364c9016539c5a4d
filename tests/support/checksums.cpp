#include "checksums.h"

#include <cstddef>

#include "chunking/byte_order.h"
#include "index/crc32c.h"
#include "map/map_format.h"

namespace chunksieve::test {

void reseal_state(std::vector<std::uint8_t>& file) {
    if (file.size() < 4) return;
    store_le32(file.data() + file.size() - 4, crc32c(0, file.data(), file.size() - 4));
}

void reseal_map(std::vector<std::uint8_t>& m) {
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

}  // namespace chunksieve::test
