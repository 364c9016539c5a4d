// One whole run, file to file, with a chosen kernel set ("plain" for the per-byte loop), or with
// the best kernels and the flat reference table in place of the index ("flat"):
//   sieve_bench KERNELS IN OUT
// The command itself always takes the best set this CPU supports and the compact index; this
// tool forces another through the library, so that each can be timed on the same input.
#include <cstdio>
#include <string>

#include "chunking/kernels.h"
#include "driver/files.h"
#include "driver/run.h"

namespace {
chunksieve::DedupFilter filter;
chunksieve::FlatFingerprintIndex flat;

// The flat table as the command once ran it: large pages from this input size on, where most of
// its small pages would be touched anyway; small pages below it and for pipes.
constexpr std::int64_t FLAT_LARGE_PAGE_INPUT_BYTES = std::int64_t(64) << 20;
}  // namespace

int main(int argc, char** argv) {
    using namespace chunksieve;
    if (argc < 4) {
        std::fputs("usage: sieve_bench KERNELS|flat IN OUT\n", stderr);
        return 2;
    }
    const std::string name = argv[1];
    if (name == "plain") {
        filter.kernels = nullptr;
    } else if (name == "flat") {
        filter.flat_reference = &flat;
    } else {
        filter.kernels = kernels_named(name);
        if (!filter.kernels || !kernels_supported(*filter.kernels)) {
            std::fprintf(stderr, "kernel set %s not available here\n", argv[1]);
            return 2;
        }
    }
    Files files;
    if (!files.open_input(argv[2]) || !filter.index.create() || !files.create_output(argv[3]))
        return 1;
    if (filter.flat_reference) {
        if (!flat.create()) return 1;
        if (files.input_size() >= FLAT_LARGE_PAGE_INPUT_BYTES) flat.use_large_pages();
    }
    const RunStatus status = run_filter(filter, files);
    return files.close_all() && status == RunStatus::complete ? 0 : 1;
}
