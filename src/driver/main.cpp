// chunksieve [--index STATE] IN OUT: writes to OUT the first copy of every distinct
// content-defined chunk of IN, each padded to a multiple of 64 bytes. Exit status 0 after a
// complete run, 1 on any failure. Arguments after the second operand are ignored.
//
// With --index STATE the run starts from the index STATE holds (an empty one when there is no
// STATE) and, only after a complete run, replaces STATE with the updated index. A failure prints
// one line on standard error; STATE is then left as it was.
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>

#include "driver/files.h"
#include "driver/run.h"
#include "driver/state_option.h"
#include "filter/dedup_filter.h"

namespace {

// One run's whole state: buffers, the filter's stack and the index's table pointer, set up once.
chunksieve::DedupFilter filter;

int fail(const std::string& what) {
    std::fprintf(stderr, "chunksieve: %s\n", what.c_str());
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    using namespace chunksieve;
    const char* state_path = nullptr;
    if (argc >= 2 && std::strcmp(argv[1], "--index") == 0) {
        if (argc < 3) return fail("--index needs a file name");
        state_path = argv[2];
        argv += 2;
        argc -= 2;
    }
    if (argc < 3) return 1;
#if defined(CHUNKSIEVE_PLAIN_LOOP)
    filter.kernels = nullptr;  // the per-byte reference loop, for differential tests
#endif

    std::optional<StateFile> state;
    if (state_path) {
        state.emplace(state_path);
        const std::string problem = lock_state_file(*state, state_path);
        if (!problem.empty()) return fail(problem);
    }
    Files files;
    if (!files.open_input(argv[1])) return 1;
    // The table and the state come before the output: a run that cannot start leaves an existing
    // output alone.
    if (!filter.index.create()) return 1;
    if (state) {
        std::uint64_t loaded = 0;
        std::string problem = load_state_file(*state, state_path, filter, loaded);
        if (problem.empty()) problem = check_output_is_not_state(*state, state_path, argv[2]);
        if (!problem.empty()) return fail(problem);
    }
    if (!files.create_output(argv[2])) return 1;
    if (state) {
        // A new output at STATE's own name: refused before anything is written to it.
        const std::string problem = check_output_is_not_state(*state, state_path, argv[2]);
        if (!problem.empty()) return fail(problem);
    }

    const RunStatus status = run_filter(filter, files);
    const bool closed = files.close_all();
    if (status != RunStatus::complete || !closed) return 1;
    if (state) {
        const std::string problem = save_state_file(*state, state_path, filter);
        if (!problem.empty()) return fail(problem);
    }
    return 0;
}
