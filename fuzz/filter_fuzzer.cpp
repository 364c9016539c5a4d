// The whole filter, in memory, on arbitrary input: the per-byte reference loop and every kernel
// set this CPU runs give the same output bytes through the same writes; the output is whole
// 64-byte records; and a read or write that fails is reported as that failure, never as a
// complete run, after exactly the output a complete run had written by then.
//
// Input: byte 0 chooses the refill size (1 .. 65,536: short refills split chunks, and the scan's
// history, across many blocks); byte 1 chooses a read or write call to fail; the rest is the
// stream.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "chunking/kernels.h"
#include "engine/run.h"
#include "filter/dedup_filter.h"
#include "filters.h"
#include "fuzz_check.h"
#include "memory_io.h"

namespace {

using namespace chunksieve;
using Bytes = std::vector<std::uint8_t>;

// One filter per way of running, kept across inputs: each is about 2 MiB of buffers and stack,
// made as new for each run (test::renew_filter). Reuse runs about twice as many inputs a second
// as a new filter per run.
struct Runner {
    const ChunkingKernels* kernels;  // nullptr: the per-byte loop
    std::unique_ptr<DedupFilter> filter = std::make_unique<DedupFilter>();

    RunStatus run(MemoryIo& io) {
        CHECK(test::renew_filter(*filter, kernels));
        return run_filter(*filter, io);
    }
};

std::vector<Runner>& runners() {
    static std::vector<Runner> all = [] {
        std::vector<Runner> v;
        v.push_back(Runner{nullptr});
        for (const ChunkingKernels* k : test::runnable_kernel_sets())
            v.push_back(Runner{k});
        return v;
    }();
    return all;
}

std::size_t refill_size(std::uint8_t b) {
    // 0..127: 1..128 bytes, around the scan's history and the 64-byte kernel steps; 128..255:
    // spread over 1..65,536.
    return b < 128 ? std::size_t(b) + 1 : 1 + std::size_t(b - 128) * 65535 / 127;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    const std::size_t piece = refill_size(data[0]);
    const std::uint8_t fault = data[1];
    const std::uint8_t* const stream = data + 2;
    const std::size_t n = size - 2;
    std::vector<Runner>& all = runners();

    MemoryIo ref(stream, n, piece);
    CHECK(all[0].run(ref) == RunStatus::complete);
    CHECK(ref.output.size() % CHUNK_ALIGNMENT == 0);
    // Full buffers, written the moment they fill, then what is left, if anything: no write is
    // empty.
    CHECK(ref.writes.empty() == ref.output.empty());
    for (std::size_t i = 0; i < ref.writes.size(); ++i)
        CHECK(ref.writes[i] > 0 && (ref.writes[i] == STREAM_BLOCK || i + 1 == ref.writes.size()));
    // A chunk has at least four bytes (a marker end needs all four in the chunk), and a record
    // of n >= 4 bytes takes at most 16 n: the output is at most 16 times the input.
    CHECK(ref.output.size() <= 16 * n);

    for (std::size_t r = 1; r < all.size(); ++r) {
        MemoryIo io(stream, n, piece);
        CHECK(all[r].run(io) == RunStatus::complete);
        CHECK(io.output == ref.output);
        CHECK(io.writes == ref.writes);
        CHECK(io.reads == ref.reads);
    }

    // One failing call, on a way of running chosen by the input: the failure is what the run
    // reports, unless the run never makes that call.
    Runner& runner = all[(fault >> 1) % all.size()];
    const std::ptrdiff_t at = (fault >> 1) / std::ptrdiff_t(all.size()) % 8;
    MemoryIo io(stream, n, piece);
    if (fault & 1) {
        io.fail_write_at = at;
        const RunStatus s = runner.run(io);
        CHECK(s == (at < std::ptrdiff_t(ref.writes.size()) ? RunStatus::write_failed
                                                           : RunStatus::complete));
    } else {
        io.fail_read_at = at;
        const RunStatus s = runner.run(io);
        const std::ptrdiff_t ref_reads = std::ptrdiff_t(ref.reads.size());
        CHECK(s == (at < ref_reads ? RunStatus::read_failed : RunStatus::complete));
        CHECK(std::ptrdiff_t(io.reads.size()) == std::min(at, ref_reads));
    }
    CHECK(io.output.size() <= ref.output.size());
    CHECK(std::equal(io.output.begin(), io.output.end(), ref.output.begin()));
    return 0;
}
