#include "filters.h"

#include <memory>

namespace chunksieve::test {

std::vector<const ChunkingKernels*> runnable_kernel_sets() {
    std::vector<const ChunkingKernels*> sets;
    for (const ChunkingKernels* k : compiled_kernels())
        if (kernels_supported(*k)) sets.push_back(k);
    return sets;
}

bool renew_filter(DedupFilter& f, const ChunkingKernels* kernels, bool keep_values) {
    std::destroy_at(&f.index);
    std::construct_at(&f.index);
    f.kernels = kernels;
    f.total = 0;
    return f.index.create(keep_values);
}

ChunkKey key_at(std::uint32_t home, std::uint32_t tag, std::uint16_t length) {
    ChunkKey k{};
    k.bytes[0] = std::uint8_t(home);
    k.bytes[1] = std::uint8_t(home >> 8);
    k.bytes[2] = std::uint8_t(home >> 16);
    k.bytes[3] = std::uint8_t(home >> 24) | 0xA0;  // bits above the slot mask do not matter
    k.bytes[7] = std::uint8_t(tag);
    k.bytes[12] = std::uint8_t(tag >> 8);
    k.bytes[13] = std::uint8_t(tag * 7);
    k.bytes[14] = std::uint8_t(length);
    k.bytes[15] = std::uint8_t(length >> 8);
    return k;
}

}  // namespace chunksieve::test
