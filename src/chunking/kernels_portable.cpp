// The portable chunking kernels: plain loops, the reference for every other set.
#include <cstring>

#include "chunking/chunk_rules.h"
#include "chunking/kernels_isa.h"
#include "chunking/rolling_hash.h"

namespace chunksieve {

std::uint64_t marker_mask64_portable(const std::uint8_t* p) {
    std::uint64_t m = 0;
    for (int i = 0; i < 64; ++i) {
        const std::uint32_t tail = std::uint32_t(p[i - 3]) << 24 | std::uint32_t(p[i - 2]) << 16 |
                                   std::uint32_t(p[i - 1]) << 8 | p[i];
        if (tail == CHUNK_MARKER) m |= std::uint64_t(1) << i;
    }
    return m;
}

std::uint64_t hash_candidates64_portable(const std::uint8_t* p) {
    // Rolled: the window ending at p[-1] computed once, then one push and one pop per position.
    const std::uint32_t* push = crc_push_table();
    static const auto pop = [] {
        RollingHash rh;
        rh.init();
        struct Table {
            std::uint32_t e[256];
        } t;
        std::memcpy(t.e, rh.pop_table, sizeof t.e);
        return t;
    }();
    std::uint32_t h = window_hash(p);
    std::uint64_t m = 0;
    for (int i = 0; i < 64; ++i) {
        h = (h >> 8) ^ push[(h ^ p[i]) & 0xFF] ^ pop.e[p[i - 12]];
        if (h < HASH_THRESHOLD) m |= std::uint64_t(1) << i;
    }
    return m;
}

void chunk_keys_portable(const KeyJob* jobs, std::size_t count, ChunkKey* keys) {
    for (std::size_t j = 0; j < count; ++j)
        keys[j] = chunk_key(jobs[j].data, jobs[j].length);
}

}  // namespace chunksieve
