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

Bytes run_in_memory(const Bytes& input, std::size_t piece) {
    auto f = make_filter();
    MemoryIo io(input, piece);
    EXPECT_EQ(run_filter(*f, io), RunStatus::complete);
    return io.output;
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

}  // namespace chunksieve::test
