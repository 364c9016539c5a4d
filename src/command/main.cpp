// chunksieve [OPTION]... IN OUT: writes to OUT the first copy of every distinct content-defined
// chunk of IN, each padded to a multiple of 64 bytes. Exit status 0 after a complete run, 1 on
// any failure, with one line on standard error that says what failed and the system's reason.
// Without options a complete run prints nothing.
//
// With --index STATE the run starts from the index STATE holds (an empty one when there is no
// STATE) and, only after a complete run, replaces STATE with the updated index; after any
// failure STATE is as it was, and a STATE.lock that the run made is gone again.
//
// With --map MAP the run also writes the map that rebuilds IN from OUT; --expand rebuilds it
// (expand_command.cpp).
#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <string>

#include "chunksieve/chunksieve.h"
#include "command/command_line.h"
#include "command/expand_command.h"
#include "command/progress.h"
#include "command/state_option.h"
#include "platform/files.h"
#include "platform/side_file.h"
#include "platform/terminal.h"

namespace {

using namespace chunksieve;
using Clock = std::chrono::steady_clock;

struct ContextFree {
    void operator()(chunksieve_ctx* c) const { chunksieve_free(c); }
};
using Context = std::unique_ptr<chunksieve_ctx, ContextFree>;

chunksieve_counts counts_of(const chunksieve_ctx* ctx) {
    chunksieve_counts c;
    chunksieve_get_counts(ctx, &c);
    return c;
}

// What --index did, for --stats.
struct StateFigures {
    std::uint64_t loaded = 0, saved = 0;
    double load_seconds = 0, save_seconds = 0;
};

double seconds_since(Clock::time_point t) {
    return std::chrono::duration<double>(Clock::now() - t).count();
}

std::string output_refused(const Files& files, const char* out) {
    switch (files.clash()) {
        case OutputClash::same_file:
            return output_name(out) + " is the input file";
        case OutputClash::input_on_device:
            return output_name(out) + " is the device that holds the input file";
        case OutputClash::none:
            break;
    }
    const std::string reason = system_message(files.error());
    if (is_standard(out)) return "cannot write to standard output: " + reason;
    return "cannot create " + quoted(out) + ": " + reason;
}

std::string map_write_failed(const char* map, int code) {
    return "writing the map " + output_name(map) + ": " + system_message(code);
}

// The message for a run that did not complete.
std::string run_failed(chunksieve_error e, int code, const chunksieve_ctx* ctx, const char* in,
                       const char* out, const char* map) {
    switch (e) {
        case CHUNKSIEVE_ERROR_READ:
            return "reading " + input_name(in) + ": " + system_message(code);
        case CHUNKSIEVE_ERROR_WRITE:
            return "writing " + output_name(out) + ": " + system_message(code);
        case CHUNKSIEVE_ERROR_MAP_WRITE:
            return map_write_failed(map, code);
        default:  // NO_MEMORY
            return "out of memory for the index, holding " +
                   std::to_string(counts_of(ctx).index_entries) + " entries";
    }
}

void print_stats(const chunksieve_counts& c, double seconds, const StateFigures* state, bool map) {
    const std::uint64_t input = c.input_bytes;
    const std::uint64_t new_bytes = c.output_bytes - c.fill_bytes;
    const double share = input > 0 ? 100.0 * double(new_bytes) / double(input) : 0;
    const double rate = seconds > 0 ? double(input) / 1e6 / seconds : 0;
    std::fprintf(stderr,
                 "input bytes: %" PRIu64
                 "\n"
                 "chunks: %" PRIu64
                 "\n"
                 "new chunks written: %" PRIu64
                 "\n"
                 "chunks found: %" PRIu64 "\n",
                 input, c.chunks, c.new_chunks, c.chunks - c.new_chunks);
    if (map) {
        const std::uint64_t earlier = c.found_earlier_runs;
        std::fprintf(stderr,
                     "  met in earlier runs: %" PRIu64
                     "\n"
                     "  met earlier in this run: %" PRIu64 "\n",
                     earlier, c.chunks - c.new_chunks - earlier);
    }
    std::fprintf(stderr,
                 "output bytes: %" PRIu64
                 "\n"
                 "fill bytes in the output: %" PRIu64
                 "\n"
                 "bytes after the last chunk end, not written: %" PRIu64
                 "\n"
                 "index entries dropped from full windows: %" PRIu64
                 "\n"
                 "new share of the input: %.2f%%\n",
                 c.output_bytes, c.fill_bytes, c.tail_bytes, c.index_dropped, share);
    if (map) std::fprintf(stderr, "map bytes: %" PRIu64 "\n", c.map_bytes);
    std::fprintf(stderr,
                 "wall time: %.3f s\n"
                 "speed: %.1f MB/s\n",
                 seconds, rate);
    if (state)
        std::fprintf(stderr,
                     "index entries loaded: %" PRIu64
                     " in %.3f s\n"
                     "index entries saved: %" PRIu64 " in %.3f s\n",
                     state->loaded, state->load_seconds, state->saved, state->save_seconds);
}

// Why MAP may not be written where it is: it is IN, OUT or STATE, under any name.
std::string map_clash(const char* map, const SideFile& map_file, const char* in, const char* out,
                      const char* index) {
    if (is_standard(map) && is_standard(out))
        return "the map and the output cannot both be standard output";
    const FileId id = map_file.id();
    if (!is_standard(in) && id == file_id(in)) return "the map " + quoted(map) + " is the input";
    if (!is_standard(out) && id == file_id(out)) return "the map " + quoted(map) + " is the output";
    if (index && id == file_id(index))
        return "the map " + quoted(map) + " is the index state " + quoted(index);
    return {};
}

void show_progress(void* progress, std::uint64_t bytes) {
    static_cast<Progress*>(progress)->read_so_far(bytes);
}

}  // namespace

int main(int argc, char** argv) {
    const Clock::time_point started = Clock::now();
    const CommandLine cl = parse_command_line(argc, argv);
    if (!cl.error.empty()) return fail(cl.error + " (see chunksieve --help)");
    if (cl.help || cl.version) {
        const std::string text =
            cl.help ? help_text() : std::string("chunksieve ") + chunksieve_version_string() + "\n";
        std::fputs(text.c_str(), stdout);
        // The C library reports through errno, on every system.
        if (std::fflush(stdout) != 0)
            return fail(std::string("writing standard output: ") + std::strerror(errno));
        return 0;
    }
    if (cl.expand) return run_expand(cl);
    if (!cl.link_maps.empty() || !cl.link_data.empty())
        return fail(
            "--link-map, --link-out and --link-in go with --expand (see chunksieve --help)");
    // Checked before anything is opened: an operand too many is most often a glob that matched
    // more than one file, and the last of them would be overwritten.
    if (cl.operands.size() != 2)
        return fail("needs two operands, IN and OUT, got " + std::to_string(cl.operands.size()) +
                    " (usage: chunksieve [OPTION]... [--] IN OUT)");
    const char* in = cl.operands[0];
    const char* out = cl.operands[1];
    const char* map = cl.map;
    // Binary bytes would garble a terminal: refused, unless forced, before anything is touched.
    const char* to_terminal = is_standard(out)          ? "the output"
                              : map && is_standard(map) ? "the map"
                                                        : nullptr;
    if (to_terminal && !cl.force && stdout_is_terminal())
        return fail(terminal_refused(to_terminal));
    // The state's lock comes first: a run that waits for its input holds it meanwhile.
    std::optional<StateFile> state;
    StateFigures figures;
    if (cl.index) {
        state.emplace(cl.index);
        if (const std::string problem = lock_state_file(*state, cl.index); !problem.empty())
            return fail(problem);
    }
    Files files;
    if (!(is_standard(in) ? files.use_standard_input() : files.open_input(in)))
        return fail("cannot open " + input_name(in) + ": " + system_message(files.error()));
    // The table and the state come before the output: a run that cannot start leaves an existing
    // output alone. With a map the index keeps each key's value: where its chunk's first copy is.
    // A run without --index leaves no index to go on from, and its map names none.
    unsigned flags = (map ? CHUNKSIEVE_WITH_MAP : 0u) | (state ? 0u : CHUNKSIEVE_ONE_RUN);
#if defined(CHUNKSIEVE_PLAIN_LOOP)
    flags |= CHUNKSIEVE_REFERENCE_LOOP;  // the per-byte reference loop, for differential tests
#endif
    const Context ctx(chunksieve_create(flags));
    if (!ctx)
        return fail("cannot reserve memory for the index: " + system_message(last_system_error()));
    if (state) {
        const Clock::time_point loading = Clock::now();
        std::string problem = load_state_file(*state, cl.index, ctx.get());
        if (problem.empty() && !is_standard(out))
            problem = check_output_is_not_state(*state, cl.index, out);
        if (!problem.empty()) return fail(problem);
        figures.loaded = counts_of(ctx.get()).index_entries;
        figures.load_seconds = seconds_since(loading);
    }
    // The map is opened (made if need be) before the output, and cut only once it is known to
    // be neither the input, the output nor the state, so that a refused run changes none of
    // them; a run refused or failed after this removes a map it created.
    SideFile map_file;
    if (map) {
        std::string problem;
        if (!map_file.open_write(map, false))
            problem = "cannot create the map " + output_name(map) + ": " +
                      system_message(map_file.error());
        else
            problem = map_clash(map, map_file, in, out, cl.index);
        if (!problem.empty()) {
            map_file.remove_created(map);
            return fail(problem);
        }
    }
    if (!(is_standard(out) ? files.use_standard_output() : files.create_output(out))) {
        if (map) map_file.remove_created(map);
        return fail(output_refused(files, out));
    }
    if (state && !is_standard(out)) {
        // A new output at STATE's own name: refused before anything is written to it.
        if (const std::string problem = check_output_is_not_state(*state, cl.index, out);
            !problem.empty()) {
            if (map) map_file.remove_created(map);
            return fail(problem);
        }
    }
    // The map's first bytes are written as the run starts, from where the cut left it.
    if (map && !map_file.cut()) {
        map_file.remove_created(map);
        return fail(map_write_failed(map, map_file.error()));
    }
    chunksieve_files run{files.input(), files.output(),
                         map ? map_file.native_handle() : CHUNKSIEVE_NO_FILE, nullptr, nullptr};
    std::optional<Progress> progress;
    if (cl.progress && stderr_is_terminal()) {
        progress.emplace(files.input_size(), started);
        run.progress = show_progress;
        run.progress_user = &*progress;
    }
    int code = 0;
    const chunksieve_error e = chunksieve_filter_files(ctx.get(), &run, &code);
    if (progress) progress->clear();
    if (e != CHUNKSIEVE_OK) {
        const std::string message = run_failed(e, code, ctx.get(), in, out, map);
        files.close_all();
        if (map) map_file.remove_created(map);
        return fail(message);
    }
    if (!files.close_all()) {
        if (map) map_file.remove_created(map);
        return fail("closing " + output_name(out) + ": " + system_message(files.error()));
    }
    if (map && !map_file.close()) {
        map_file.remove_created(map);
        return fail(map_write_failed(map, map_file.error()));
    }
    if (state) {
        const Clock::time_point saving = Clock::now();
        if (const std::string problem = save_state_file(*state, cl.index, ctx.get());
            !problem.empty()) {
            if (map) map_file.remove_created(map);  // it names a state that was not saved
            return fail(problem);
        }
        figures.saved = counts_of(ctx.get()).index_entries;
        figures.save_seconds = seconds_since(saving);
        // STATE.lock stays for the runs to come; a run that does not get here removes one it made.
        state->keep_lock();
    }
    if (cl.stats)
        print_stats(counts_of(ctx.get()), seconds_since(started), state ? &figures : nullptr,
                    map != nullptr);
    return 0;
}
