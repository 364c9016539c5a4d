#include "test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>

namespace chunksieve::test {

std::unique_ptr<DedupFilter> make_filter() {
    auto f = std::make_unique<DedupFilter>();
    if (!f->index.create()) ADD_FAILURE() << "no memory for the fingerprint table";
    return f;
}

Bytes run_in_memory(DedupFilter& f, const Bytes& input, std::size_t piece) {
    MemoryIo io(input, piece);
    EXPECT_EQ(run_filter(f, io), RunStatus::complete);
    return io.output;
}

Bytes run_in_memory(const Bytes& input, std::size_t piece) {
    return run_in_memory(*make_filter(), input, piece);
}

Bytes cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const auto& p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

Bytes lcg_stream(std::size_t n) {
    Bytes out(n);
    std::uint32_t x = 1;
    for (auto& b : out) {
        x = (1103515245u * x + 12345u) & 0x7FFFFFFFu;
        b = std::uint8_t(x >> 16);
    }
    return out;
}

Bytes random_bytes(std::size_t n, std::uint64_t seed) {
    std::mt19937_64 rng(seed);
    Bytes out(n);
    for (auto& b : out)
        b = std::uint8_t(rng());
    return out;
}

std::vector<const ChunkingKernels*> runnable_kernel_sets() {
    std::vector<const ChunkingKernels*> sets;
    for (const ChunkingKernels* k : compiled_kernels())
        if (kernels_supported(*k)) sets.push_back(k);
    return sets;
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
