// One whole run, file to file, with a chosen kernel set ("plain" for the per-byte loop), or with
// the best kernels and the flat reference table in place of the index ("flat"), and optionally a
// chosen driver (Overlap):
//   sieve_bench KERNELS|flat IN OUT [automatic|never|always|write_behind]
// The command itself always takes the best set this CPU supports, the compact index and the
// automatic driver; this tool forces others through the library, so that each can be timed on
// the same input.
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
        std::fputs("usage: sieve_bench KERNELS|flat IN OUT [automatic|never|always|write_behind]\n",
                   stderr);
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
    const std::string driver = argc > 4 ? argv[4] : "automatic";
    Overlap overlap = Overlap::automatic;
    if (driver == "never") {
        overlap = Overlap::never;
    } else if (driver == "always") {
        overlap = Overlap::always;
    } else if (driver == "write_behind") {
        overlap = Overlap::write_behind;
    } else if (driver != "automatic") {
        std::fprintf(stderr, "driver %s: automatic, never, always or write_behind\n", argv[4]);
        return 2;
    }
    Files files;
    if (!files.open_input(argv[2]) || !filter.index.create() || !files.create_output(argv[3]))
        return 1;
    if (filter.flat_reference) {
        if (!flat.create()) return 1;
        if (files.input_size() >= FLAT_LARGE_PAGE_INPUT_BYTES) flat.use_large_pages();
    }
    const RunStatus status = run_filter(filter, files, overlap);
    return files.close_all() && status == RunStatus::complete ? 0 : 1;
}
