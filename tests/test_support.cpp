#include "test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>

namespace chunksieve::test {

std::ptrdiff_t MemoryIo::read(std::uint8_t* buf, std::size_t capacity) {
    if (int(reads.size()) == fail_read_at) return -1;
    const std::size_t n = std::min({capacity, piece_, input_.size() - offset_});
    if (n > 0) std::memcpy(buf, input_.data() + offset_, n);  // an empty input has no data()
    offset_ += n;
    reads.push_back(n);
    return std::ptrdiff_t(n);
}

bool MemoryIo::write_all(const std::uint8_t* buf, std::size_t n) {
    if (int(writes.size()) == fail_write_at) return false;
    output.insert(output.end(), buf, buf + n);
    writes.push_back(n);
    return true;
}

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
