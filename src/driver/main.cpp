// chunksieve IN OUT: writes to OUT the first copy of every distinct content-defined chunk of IN,
// each padded to a multiple of 64 bytes. Prints nothing. Exit status 0 after a complete run,
// 1 on any failure. Arguments after the second are ignored.
#include "driver/files.h"
#include "driver/run.h"
#include "filter/dedup_filter.h"

namespace {

// One run's whole state: buffers, the filter's stack and the index's table pointer, set up once.
chunksieve::DedupFilter filter;

}  // namespace

int main(int argc, char** argv) {
    using namespace chunksieve;
    if (argc < 3) return 1;
#if defined(CHUNKSIEVE_PLAIN_LOOP)
    filter.kernels = nullptr;  // the per-byte reference loop, for differential tests
#endif

    Files files;
    if (!files.open_input(argv[1])) return 1;
    // The table comes before the output: a run that cannot start leaves an existing output alone.
    if (!filter.index.create()) return 1;
    if (!files.create_output(argv[2])) return 1;

    const RunStatus status = run_filter(filter, files);
    const bool closed = files.close_all();
    return status == RunStatus::complete && closed ? 0 : 1;
}
