// Deterministic benchmark inputs.
//   make_bench_input repeats SIZE SEED          random data with repeated stretches
//   make_bench_input copies BASE COPIES EDITS SEED
//                   COPIES copies of the file BASE, each with EDITS small random insertions
//                   and deletions
//   make_bench_input short-chunks COUNT SEED
//                   COUNT distinct chunks of 8 random bytes, each ended by the marker 99 19 D3 FF:
//                   an index load no file of ordinary data reaches (24 million fill 72% of the
//                   2^25 slots)
// Output goes to stdout.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

bool put(const Bytes& b) {
    for (std::size_t off = 0; off < b.size();) {
        const ssize_t n = write(1, b.data() + off, b.size() - off);
        if (n <= 0) return false;
        off += std::size_t(n);
    }
    return true;
}

Bytes random_block(std::mt19937_64& rng, std::size_t n) {
    Bytes b(n);
    for (std::size_t i = 0; i + 8 <= n; i += 8) {
        const std::uint64_t v = rng();
        for (int k = 0; k < 8; ++k)
            b[i + k] = std::uint8_t(v >> (8 * k));
    }
    for (std::size_t i = n & ~std::size_t(7); i < n; ++i)
        b[i] = std::uint8_t(rng());
    return b;
}

// Half fresh random data, half stretches of 4 KiB to 1 MiB repeated from what came before.
int repeats(std::size_t size, std::uint64_t seed) {
    std::mt19937_64 rng(seed);
    Bytes all;
    all.reserve(size);
    while (all.size() < size) {
        const std::size_t len = 4096 + rng() % (1 << 20);
        if (all.size() < (8u << 20) || rng() % 2) {
            const Bytes fresh = random_block(rng, len);
            all.insert(all.end(), fresh.begin(), fresh.end());
        } else {
            const std::size_t from = rng() % (all.size() - len);
            all.insert(all.end(), all.begin() + std::ptrdiff_t(from),
                       all.begin() + std::ptrdiff_t(from + len));
        }
    }
    all.resize(size);
    return put(all) ? 0 : 1;
}

int copies(const char* base_path, int count, int edits, std::uint64_t seed) {
    Bytes base;
    if (FILE* f = std::fopen(base_path, "rb")) {
        std::uint8_t buf[1 << 16];
        std::size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, f)) > 0)
            base.insert(base.end(), buf, buf + n);
        std::fclose(f);
    } else {
        return 1;
    }
    if (base.empty()) return 1;
    std::mt19937_64 rng(seed);
    for (int c = 0; c < count; ++c) {
        Bytes copy = base;
        for (int e = 0; e < edits; ++e) {
            const std::size_t at = rng() % copy.size();
            const std::size_t len = 1 + rng() % 64;
            if (rng() % 2) {
                const Bytes ins = random_block(rng, len);
                copy.insert(copy.begin() + std::ptrdiff_t(at), ins.begin(), ins.end());
            } else {
                copy.erase(copy.begin() + std::ptrdiff_t(at),
                           copy.begin() + std::ptrdiff_t(std::min(copy.size(), at + len)));
            }
        }
        if (!put(copy)) return 1;
    }
    return 0;
}

int short_chunks(std::size_t count, std::uint64_t seed) {
    std::mt19937_64 rng(seed);
    Bytes out;
    for (std::size_t c = 0; c < count;) {
        out.clear();
        for (; c < count && out.size() < (1u << 20); ++c) {
            const std::uint64_t v = rng();
            for (int k = 0; k < 8; ++k)
                out.push_back(std::uint8_t(v >> (8 * k)));
            out.insert(out.end(), {0x99, 0x19, 0xD3, 0xFF});
        }
        if (!put(out)) return 1;
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "repeats" && argc == 4)
        return repeats(std::strtoull(argv[2], nullptr, 10), std::strtoull(argv[3], nullptr, 10));
    if (mode == "copies" && argc == 6)
        return copies(argv[2], std::atoi(argv[3]), std::atoi(argv[4]),
                      std::strtoull(argv[5], nullptr, 10));
    if (mode == "short-chunks" && argc == 4)
        return short_chunks(std::strtoull(argv[2], nullptr, 10),
                            std::strtoull(argv[3], nullptr, 10));
    std::fputs(
        "usage: make_bench_input repeats SIZE SEED | copies BASE COPIES EDITS SEED\n"
        "       | short-chunks COUNT SEED\n",
        stderr);
    return 2;
}
