// The fingerprint index alone: N random keys, every one new, asked of the compact index (without
// values, or keeping a value with every entry) or of the flat reference table with the filter's
// prefetching, on one thread. Two passes: the first on fresh memory (the compact index commits its
// pool as it grows, the flat table takes a page fault per page it touches), the second on the same
// memory after clearing it, which leaves what the look-ups and insertions cost by themselves. A
// third pass asks for every key again: each is found, and its value read back.
//   index_bench compact|compact-values|flat [KEYS]
// KEYS defaults to 25,600,000: the table three quarters full, as a run of short distinct chunks
// leaves it.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "index/fingerprint_index.h"
#include "index/flat_index.h"

namespace {

using namespace chunksieve;

// The filter's prefetch distances for each form (dedup_filter.cpp).
constexpr std::size_t AHEAD = 8, DIRECTORY_AHEAD = 24;

template <class Ask>
double timed_pass(const std::vector<ChunkKey>& keys, Ask&& ask) {
    const auto start = std::chrono::steady_clock::now();
    for (std::size_t j = 0; j < keys.size(); ++j)
        ask(j);
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

int main(int argc, char** argv) {
    const std::string form = argc > 1 ? argv[1] : "";
    if (form != "compact" && form != "compact-values" && form != "flat") {
        std::fputs("usage: index_bench compact|compact-values|flat [KEYS]\n", stderr);
        return 2;
    }
    const std::size_t n = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 25'600'000;
    std::vector<ChunkKey> keys(n);
    std::mt19937_64 random(42);
    for (ChunkKey& k : keys)
        for (std::size_t i = 0; i < sizeof k.bytes; i += 8) {
            const std::uint64_t v = random();
            std::memcpy(k.bytes + i, &v, 8);
        }

    double fresh = 0, warm = 0, again = 0;
    std::uint64_t new_keys = 0, values = 0;
    if (form != "flat") {
        static FingerprintIndex index;
        if (!index.create(form == "compact-values")) return 1;
        auto ask = [&](std::size_t j) {
            if (j + DIRECTORY_AHEAD < n) index.prefetch_directory(keys[j + DIRECTORY_AHEAD]);
            if (j + AHEAD < n) index.prefetch(keys[j + AHEAD]);
            new_keys += !index.lookup_or_insert(keys[j], j + 1);
            if (j % 4096 == 0) index.commit_ahead();  // on this thread: a run has the writer's
        };
        fresh = timed_pass(keys, ask);
        if (index.failed()) return 1;
        std::printf("%s: %llu entries, %llu dropped, pool %zu MiB, %llu compactions\n",
                    form.c_str(), (unsigned long long)index.entries(),
                    (unsigned long long)index.dropped(), index.pool_bytes() >> 20,
                    (unsigned long long)index.compactions());
        index.clear();
        warm = timed_pass(keys, ask);
        again = timed_pass(keys, [&](std::size_t j) {
            if (j + DIRECTORY_AHEAD < n) index.prefetch_directory(keys[j + DIRECTORY_AHEAD]);
            if (j + AHEAD < n) index.prefetch(keys[j + AHEAD]);
            std::uint64_t value = 0;
            new_keys += !index.lookup_or_insert(keys[j], j + 1, &value);
            values += value;
        });
    } else {
        static FlatFingerprintIndex index;
        if (!index.create()) return 1;
        index.use_large_pages();
        auto ask = [&](std::size_t j) {
            if (j + AHEAD < n) index.prefetch(keys[j + AHEAD]);
            new_keys += !index.lookup_or_insert(keys[j], j + 1);
        };
        fresh = timed_pass(keys, ask);
        std::memset(&index.slot(0), 0, FlatFingerprintIndex::TABLE_BYTES);
        warm = timed_pass(keys, ask);
        again = timed_pass(keys, [&](std::size_t j) {
            if (j + AHEAD < n) index.prefetch(keys[j + AHEAD]);
            std::uint64_t value = 0;
            new_keys += !index.lookup_or_insert(keys[j], j + 1, &value);
            values += value;
        });
    }
    // Every key is new in the first two passes and found in the third, with the value it was
    // given (none without values): the counts keep the calls from being optimised away.
    const std::uint64_t given = form == "compact" ? 0 : n * (n + 1) / 2;
    std::printf("%s: %zu keys, fresh memory %.3f s, warm %.3f s, found %.3f s%s%s\n", form.c_str(),
                n, fresh, warm, again, new_keys == 2 * n ? "" : " (some keys repeated)",
                values == given ? "" : " (values differ)");
    return 0;
}
