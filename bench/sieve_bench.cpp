// One whole run, file to file, with a chosen kernel set ("plain" for the per-byte loop) and,
// optionally, a chosen driver:
//   sieve_bench KERNELS IN OUT [automatic|never|always]
// The command itself always takes the best set this CPU supports and the automatic driver; this
// tool forces others through the library, so that each can be timed on the same input.
#include <cstdio>
#include <string>

#include "chunking/kernels.h"
#include "driver/files.h"
#include "driver/run.h"

namespace {
chunksieve::DedupFilter filter;
}

int main(int argc, char** argv) {
    using namespace chunksieve;
    if (argc < 4) {
        std::fputs("usage: sieve_bench KERNELS IN OUT [automatic|never|always]\n", stderr);
        return 2;
    }
    const std::string name = argv[1];
    if (name == "plain") {
        filter.kernels = nullptr;
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
    } else if (driver != "automatic") {
        std::fprintf(stderr, "driver %s: automatic, never or always\n", argv[4]);
        return 2;
    }
    Files files;
    if (!files.open_input(argv[2]) || !filter.index.create() || !files.create_output(argv[3]))
        return 1;
    if (files.input_size() >= 0) expect_input_size(filter, std::uint64_t(files.input_size()));
    const RunStatus status = run_filter(filter, files, overlap);
    return files.close_all() && status == RunStatus::complete ? 0 : 1;
}
