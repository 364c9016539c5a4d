// Every kernel set's chunk_keys against the one-chunk reference chunk_key, for any lengths
// (1 .. 65,535) in any mix across the lanes, with the bytes a kernel may read past a job set to
// garbage that no key may depend on.
//
// Input: byte 0 gives the number of jobs (0 .. 63, low six bits) and their layout (bit 6): each
// job in a heap block of its own, exactly its bytes plus the read slack, so that AddressSanitizer
// sees any read before a job or past its slack; or all jobs one after another in one buffer, as
// the filter cuts them from a block. Then a length code per job: a byte b below 0xF0 is a length
// of b + 1, otherwise two more bytes give 1 + (their value modulo 65,535). The rest of the input
// is the chunks' bytes, repeated as far as the lengths need.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "chunking/chunk_digest.h"
#include "chunking/kernels.h"
#include "filters.h"
#include "fuzz_check.h"

namespace {

using namespace chunksieve;

constexpr std::uint32_t MAX_LENGTH = 65535;

struct Reader {
    const std::uint8_t* p;
    std::size_t left;

    bool take(std::uint8_t& b) {
        if (left == 0) return false;
        b = *p++;
        --left;
        return true;
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Reader in{data, size};
    std::uint8_t head;
    if (!in.take(head)) return 0;
    const std::size_t count = head & 63;
    const bool one_buffer = head & 64;

    std::vector<std::uint32_t> lengths;
    for (std::size_t j = 0; j < count; ++j) {
        std::uint8_t b, hi = 0, lo = 0;
        if (!in.take(b)) return 0;
        if (b < 0xF0) {
            lengths.push_back(std::uint32_t(b) + 1);
        } else {
            if (!in.take(hi) || !in.take(lo)) return 0;
            lengths.push_back(1 + (std::uint32_t(hi) << 8 | lo) % MAX_LENGTH);
        }
    }
    // The chunks' bytes: the rest of the input, over and over; the slack: their complement.
    std::size_t at = 0;
    const auto next_byte = [&] { return in.left ? in.p[at++ % in.left] : std::uint8_t(0); };

    std::vector<std::unique_ptr<std::uint8_t[]>> blocks;
    std::vector<KeyJob> jobs;
    if (one_buffer) {
        std::size_t total = 0;
        for (const std::uint32_t n : lengths)
            total += n;
        blocks.push_back(std::make_unique<std::uint8_t[]>(total + KERNEL_READ_SLACK));
        std::uint8_t* p = blocks.back().get();
        for (const std::uint32_t n : lengths) {
            for (std::uint32_t i = 0; i < n; ++i)
                p[i] = next_byte();
            jobs.push_back({p, n});
            p += n;
        }
        for (std::size_t i = 0; i < KERNEL_READ_SLACK; ++i)
            p[i] = std::uint8_t(~next_byte());
    } else {
        for (const std::uint32_t n : lengths) {
            blocks.push_back(std::make_unique<std::uint8_t[]>(n + KERNEL_READ_SLACK));
            std::uint8_t* p = blocks.back().get();
            for (std::uint32_t i = 0; i < n; ++i)
                p[i] = next_byte();
            for (std::size_t i = 0; i < KERNEL_READ_SLACK; ++i)
                p[n + i] = std::uint8_t(~next_byte());
            jobs.push_back({p, n});
        }
    }

    std::vector<ChunkKey> expect;
    for (const KeyJob& job : jobs)
        expect.push_back(chunk_key(job.data, job.length));

    for (const ChunkingKernels* k : test::runnable_kernel_sets()) {
        // Exactly `count` keys: a write past the last one is a heap overflow.
        const auto keys = std::make_unique<ChunkKey[]>(count);
        k->chunk_keys(jobs.data(), count, keys.get());
        for (std::size_t j = 0; j < count; ++j) {
            if (keys[j] == expect[j]) continue;
            std::fprintf(stderr, "%s: job %zu of %zu, length %u: wrong key\n", k->name, j, count,
                         jobs[j].length);
            std::abort();
        }
    }
    return 0;
}
