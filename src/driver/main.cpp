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
#include <optional>
#include <string>

#include "driver/checksum_io.h"
#include "driver/command_line.h"
#include "driver/expand_command.h"
#include "driver/files.h"
#include "driver/progress.h"
#include "driver/run.h"
#include "driver/side_file.h"
#include "driver/state_option.h"
#include "driver/terminal.h"
#include "filter/dedup_filter.h"

namespace {

using namespace chunksieve;
using Clock = std::chrono::steady_clock;

// One run's whole state: buffers, the filter's stack and the index, set up once.
DedupFilter filter;

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

std::string map_write_failed(const char* map, const SideFile& map_file) {
    return "writing the map " + output_name(map) + ": " + system_message(map_file.error());
}

// The message for a run that did not complete.
std::string run_failed(RunStatus status, const Files& files, const char* in, const char* out,
                       const char* map, const SideFile& map_file) {
    switch (status) {
        case RunStatus::read_failed:
            return "reading " + input_name(in) + ": " + system_message(files.read_error());
        case RunStatus::write_failed:
            return "writing " + output_name(out) + ": " + system_message(files.write_error());
        case RunStatus::no_memory:
            return "out of memory for the index, holding " +
                   std::to_string(filter.index.entries()) + " entries";
        case RunStatus::map_failed:
            return map_write_failed(map, map_file);
        case RunStatus::complete:
            break;
    }
    return {};
}

void print_stats(const DedupFilter& f, double seconds, const StateFigures* state,
                 const MapWriter* map) {
    const FilterCounts& c = f.counts;
    const std::uint64_t input = c.chunk_bytes + c.tail_bytes;
    const double share = input > 0 ? 100.0 * double(c.new_bytes) / double(input) : 0;
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
        const std::uint64_t earlier = map->repeats_of_earlier_runs();
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
                 c.new_bytes + c.fill_bytes, c.fill_bytes, c.tail_bytes, f.index.dropped(), share);
    if (map) std::fprintf(stderr, "map bytes: %" PRIu64 "\n", map->bytes_written());
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

}  // namespace

int main(int argc, char** argv) {
    const Clock::time_point started = Clock::now();
    const CommandLine cl = parse_command_line(argc, argv);
    if (!cl.error.empty()) return fail(cl.error + " (see chunksieve --help)");
    if (cl.help || cl.version) {
        std::fputs(cl.help ? help_text().c_str() : "chunksieve " CHUNKSIEVE_VERSION "\n", stdout);
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
#if defined(CHUNKSIEVE_PLAIN_LOOP)
    filter.kernels = nullptr;  // the per-byte reference loop, for differential tests
#endif

    // The state's lock comes first: a run that waits for its input holds it meanwhile.
    std::optional<StateFile> state;
    StateFigures figures;
    StateCheck loaded;
    ChunkOrder order(true);  // the map's, from the state
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
    if (!filter.index.create(map != nullptr))
        return fail("cannot reserve memory for the index: " + system_message(last_system_error()));
    if (state) {
        const Clock::time_point loading = Clock::now();
        std::string problem =
            load_state_file(*state, cl.index, filter, loaded, map ? &order : nullptr);
        if (problem.empty() && !is_standard(out))
            problem = check_output_is_not_state(*state, cl.index, out);
        if (problem.empty() && map) problem = check_state_anchors_map(loaded, cl.index);
        if (!problem.empty()) return fail(problem);
        figures.loaded = loaded.entries;
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
    std::optional<MapWriter> map_writer;
    if (map) {
        // A run goes on from a state that a map names, even one that holds no entries, so that
        // the chain of maps stays unbroken.
        const bool from_index = loaded.state_id != 0;
        const bool order_from_index = from_index && loaded.section != nullptr;
        map_writer.emplace(map_file);
        if (order_from_index) map_writer->order() = std::move(order);
        if (!map_file.cut() || !map_writer->begin(MapStart{from_index, order_from_index,
                                                           from_index ? loaded.state_id : 0,
                                                           from_index ? loaded.new_chunks : 0})) {
            map_file.remove_created(map);
            return fail(map_write_failed(map, map_file));
        }
        filter.map = &*map_writer;
    }
    const std::int64_t size = files.input_size();

    ChecksumIo counted(files);
    StreamIo& io = map ? static_cast<StreamIo&>(counted) : files;
    RunStatus status;
    if (cl.progress && stderr_is_terminal()) {
        ProgressIo shown(io, size, started);
        status = run_filter(filter, shown);
        shown.clear();
    } else {
        status = run_filter(filter, io);
    }
    if (status != RunStatus::complete) {
        const std::string message = run_failed(status, files, in, out, map, map_file);
        files.close_all();
        if (map) map_file.remove_created(map);
        return fail(message);
    }
    if (!files.close_all()) {
        if (map) map_file.remove_created(map);
        return fail("closing " + output_name(out) + ": " + system_message(files.error()));
    }
    // The map's end names the index this run leaves, which the save below then carries.
    std::uint64_t index_id = 0;
    if (map) {
        if (state) index_id = run_index_id(filter, loaded.state_id, counted.crc());
        if (!finish_map(filter, counted.crc(), index_id) || !map_file.close()) {
            map_file.remove_created(map);
            return fail(map_write_failed(map, map_file));
        }
    }
    if (state) {
        const Clock::time_point saving = Clock::now();
        const std::uint64_t next = map ? map_writer->next_ordinal() : 0;
        if (const std::string problem = save_state_file(*state, cl.index, filter, next, index_id,
                                                        map ? &map_writer->order() : nullptr);
            !problem.empty()) {
            if (map) map_file.remove_created(map);  // it names a state that was not saved
            return fail(problem);
        }
        figures.saved = filter.index.entries();
        figures.save_seconds = seconds_since(saving);
        // STATE.lock stays for the runs to come; a run that does not get here removes one it made.
        state->keep_lock();
    }
    if (cl.stats)
        print_stats(filter, seconds_since(started), state ? &figures : nullptr,
                    map ? &*map_writer : nullptr);
    return 0;
}
