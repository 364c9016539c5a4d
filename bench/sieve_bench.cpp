// One whole run, file to file, with a chosen kernel set ("plain" for the per-byte loop), and
// optionally a chosen driver (Overlap):
//   sieve_bench KERNELS IN OUT [automatic|never|always]
// The command itself always takes the best set this CPU supports and the automatic driver; this
// tool forces others through the library, so that each can be timed on the same input.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "chunking/kernels.h"
#include "engine/file_streams.h"
#include "engine/run.h"

namespace {
chunksieve::DedupFilter filter;
}  // namespace

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
    const int in = open(argv[2], O_RDONLY);
    const int out = open(argv[3], O_WRONLY | O_CREAT | O_TRUNC, 0666);
    if (in < 0 || out < 0 || !filter.index.create()) return 1;
    FileStreams files(in, out);
    const RunStatus status = run_filter(filter, files, overlap);
    return close(out) == 0 && status == RunStatus::complete ? 0 : 1;
}
