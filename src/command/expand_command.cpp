#include "command/expand_command.h"

#include <cinttypes>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "chunksieve/chunksieve.h"
#include "platform/files.h"
#include "platform/side_file.h"
#include "platform/terminal.h"

namespace chunksieve {

namespace {

// A file as the library reads and writes it, which remembers whether one of its calls failed:
// the library's READ says only that some read did.
struct Source {
    SideFile* file;
    bool failed = false;

    static std::ptrdiff_t read(void* user, void* buf, std::size_t capacity) {
        Source& s = *static_cast<Source*>(user);
        const std::ptrdiff_t got = s.file->read(static_cast<std::uint8_t*>(buf), capacity);
        s.failed = s.failed || got < 0;
        return got;
    }
    static std::ptrdiff_t read_at(void* user, void* buf, std::size_t n, std::uint64_t offset) {
        Source& s = *static_cast<Source*>(user);
        const std::ptrdiff_t got = s.file->read_at(static_cast<std::uint8_t*>(buf), n, offset);
        s.failed = s.failed || got < 0;
        return got;
    }
    static int write(void* user, const void* buf, std::size_t n) {
        Source& s = *static_cast<Source*>(user);
        return s.file->write_all(static_cast<const std::uint8_t*>(buf), n) ? 0 : -1;
    }
    chunksieve_source source(bool at_offsets) {
        return {this, read, at_offsets ? read_at : nullptr};
    }
};

// The message for a failed expand.
std::string expand_failed(chunksieve_error e, const chunksieve_expand_result& r,
                          const CommandLine& cl, const Source& map_file, const Source& out,
                          const Source& restored, const std::vector<Source>& links) {
    const char* const out_path = cl.operands[0];
    const char* const restored_path = cl.operands[1];
    // How the messages name link j's map and its data.
    const auto link_map = [&](std::size_t j) { return "link map " + quoted(cl.link_maps[j]); };
    const auto link_data = [&](std::size_t j) {
        return (cl.link_data[j].is_input ? "link input " : "link output ") +
               quoted(cl.link_data[j].path);
    };
    const bool link = r.which >= 0;
    const std::size_t i = link ? std::size_t(r.which) : 0;
    const std::string map = link ? link_map(i) : "map " + input_name(cl.map);
    const std::string data = link ? link_data(i) : "output " + input_name(out_path);
    const std::string at = std::to_string(r.at);
    switch (e) {
        case CHUNKSIEVE_ERROR_READ: {
            // Which file failed, and the system's reason, are the file's own.
            const auto reading = [](const std::string& what, const Source& s) {
                return "reading " + what + ": " + system_message(s.file->error());
            };
            if (restored.failed)
                return "reading back " + output_name(restored_path) + ": " +
                       system_message(restored.file->error());
            if (out.failed) return reading("output " + input_name(out_path), out);
            for (std::size_t j = 0; j < cl.link_maps.size(); ++j) {
                if (links[2 * j].failed) return reading(link_map(j), links[2 * j]);
                if (links[2 * j + 1].failed) return reading(link_data(j), links[2 * j + 1]);
            }
            return reading(map, map_file);
        }
        case CHUNKSIEVE_ERROR_WRITE:
            return "writing " + output_name(restored_path) + ": " +
                   system_message(restored.file->error());
        case CHUNKSIEVE_ERROR_MAP_EMPTY:
            return map + " is empty, not a map";
        case CHUNKSIEVE_ERROR_NOT_MAP:
            return map + " is not a map of chunksieve";
        case CHUNKSIEVE_ERROR_MAP_VERSION:
            return map + " has format version " + std::to_string(r.value) +
                   "; this chunksieve reads versions 1 and " +
                   std::to_string(CHUNKSIEVE_MAP_FORMAT_VERSION);
        case CHUNKSIEVE_ERROR_MAP_FEATURES: {
            char bits[32];
            std::snprintf(bits, sizeof bits, "0x%" PRIx64, r.value);
            return map + " needs features this chunksieve does not have (" + bits + ")";
        }
        case CHUNKSIEVE_ERROR_MAP_PARAMETERS:
            return map + " was made with other chunking parameters";
        case CHUNKSIEVE_ERROR_MAP_DAMAGED:
            return map + " is damaged at byte " + at + " (a checksum does not match)";
        case CHUNKSIEVE_ERROR_MAP_TRUNCATED:
            return map + " is truncated: it ends at byte " + at + ", before its end";
        case CHUNKSIEVE_ERROR_MAP_TRAILING:
            return map + " has bytes after its end, from byte " + at;
        case CHUNKSIEVE_ERROR_MAP_INVALID:
            return map + " is damaged at byte " + at + " (it says what no run writes)";
        case CHUNKSIEVE_ERROR_DATA_MISMATCH:
            return data + " does not match " + map + " (at byte " + at + ")";
        case CHUNKSIEVE_ERROR_DATA_SHORT:
            return data + " ends at byte " + at + ", before " + map + " does";
        case CHUNKSIEVE_ERROR_DATA_LONG:
            return data + " has bytes beyond what " + map + " describes, from byte " + at;
        case CHUNKSIEVE_ERROR_CHECKSUM:
            return "the restored bytes do not match the checksum in " + map +
                   ": OUT, the map or a link is not the one it was made with";
        case CHUNKSIEVE_ERROR_NEEDS_LINKS:
            return map +
                   " goes on from earlier runs with an index state: give each earlier run's map "
                   "and output, the first run first, with --link-map and --link-out";
        case CHUNKSIEVE_ERROR_NO_CHAIN:
            return map + " does not go on from earlier runs: give it no links";
        case CHUNKSIEVE_ERROR_FIRST_LINK:
            return map +
                   " goes on from an earlier run: the links must start with the first run "
                   "of the chain";
        case CHUNKSIEVE_ERROR_BROKEN_CHAIN:
            return map + " does not go on from " +
                   (link ? link_map(i - 1) : "the last link map " + quoted(cl.link_maps.back())) +
                   ": a link is missing, out of order, or of another chain";
        case CHUNKSIEVE_ERROR_NO_MEMORY:
            return "out of memory for the places of the new chunks";
        default:
            break;
    }
    return chunksieve_error_name(e);
}

}  // namespace

int run_expand(const CommandLine& cl) {
    if (!cl.map) return fail("--expand needs --map MAP (see chunksieve --help)");
    if (cl.index) return fail("--expand takes no --index: the maps name the states they need");
    if (cl.operands.size() != 2)
        return fail("needs two operands, OUT and RESTORED, got " +
                    std::to_string(cl.operands.size()) +
                    " (usage: chunksieve --expand --map MAP [--] OUT RESTORED)");
    if (cl.link_maps.size() != cl.link_data.size())
        return fail("each --link-map needs one --link-out or --link-in, got " +
                    std::to_string(cl.link_maps.size()) + " and " +
                    std::to_string(cl.link_data.size()));
    const char* out_path = cl.operands[0];
    const char* restored_path = cl.operands[1];
    if (is_standard(cl.map) && is_standard(out_path))
        return fail("the map and the output cannot both be standard input");
    // Binary bytes would garble a terminal: refused, unless forced, before anything is opened.
    if (is_standard(restored_path) && !cl.force && stdout_is_terminal())
        return fail(terminal_refused("the restored bytes"));

    SideFile map, out, restored;
    if (!map.open_read(cl.map))
        return fail("cannot open the map " + input_name(cl.map) + ": " +
                    system_message(map.error()));
    if (!out.open_read(out_path))
        return fail("cannot open " + input_name(out_path) + ": " + system_message(out.error()));
    // Links: map, then data, for each; read back at random, so their data must be files.
    std::vector<SideFile> link_files(2 * cl.link_maps.size());
    for (std::size_t i = 0; i < cl.link_maps.size(); ++i) {
        const char* lmap = cl.link_maps[i];
        const char* ldata = cl.link_data[i].path;
        if (!link_files[2 * i].open_read(lmap))
            return fail("cannot open link map " + quoted(lmap) + ": " +
                        system_message(link_files[2 * i].error()));
        if (!link_files[2 * i + 1].open_read(ldata))
            return fail("cannot open link " + quoted(ldata) + ": " +
                        system_message(link_files[2 * i + 1].error()));
        if (!link_files[2 * i + 1].is_regular())
            return fail("link " + input_name(ldata) +
                        " is not a regular file: its chunks are read back where they stand");
    }
    if (!restored.open_write(restored_path, true))
        return fail("cannot create " + output_name(restored_path) + ": " +
                    system_message(restored.error()));
    // Refused before anything is written: RESTORED must be none of the files read, and one of
    // OUT and RESTORED must be readable at random for the repeats.
    std::string problem;
    const FileId rid = restored.id();
    if (rid == map.id()) problem = output_name(restored_path) + " is the map";
    if (rid == out.id()) problem = output_name(restored_path) + " is the output";
    for (std::size_t i = 0; problem.empty() && i < link_files.size(); ++i)
        if (rid == link_files[i].id())
            problem = output_name(restored_path) + " is the link " +
                      quoted(i % 2 ? cl.link_data[i / 2].path : cl.link_maps[i / 2]);
    if (problem.empty() && !out.is_regular() && !restored.is_regular())
        problem =
            "neither the output nor RESTORED is a regular file: the repeats are copied "
            "from one of them, read back";
    if (problem.empty() && !restored.cut())
        problem =
            "cannot create " + output_name(restored_path) + ": " + system_message(restored.error());
    if (!problem.empty()) {
        restored.remove_created(restored_path);
        return fail(problem);
    }

    Source map_source{&map}, out_source{&out}, restored_sink{&restored};
    std::vector<Source> link_sources;
    for (SideFile& f : link_files)
        link_sources.push_back(Source{&f});
    std::vector<chunksieve_link> links;
    for (std::size_t i = 0; i < cl.link_maps.size(); ++i)
        links.push_back({link_sources[2 * i].source(false), link_sources[2 * i + 1].source(true),
                         cl.link_data[i].is_input ? 1 : 0});
    chunksieve_expand_job job{};
    job.map = map_source.source(false);
    job.out = out_source.source(out.is_regular());
    job.restored_user = &restored_sink;
    job.write_restored = Source::write;
    job.read_restored_at = restored.is_regular() ? Source::read_at : nullptr;
    job.links = links.data();
    job.link_count = links.size();
    chunksieve_expand_result report{};
    const chunksieve_error e = chunksieve_expand(&job, &report);
    std::string message;
    if (e != CHUNKSIEVE_OK)
        message = expand_failed(e, report, cl, map_source, out_source, restored_sink, link_sources);
    else if (!restored.close())
        message = "closing " + output_name(restored_path) + ": " + system_message(restored.error());
    if (!message.empty()) {
        // No wrong file is left behind as if restored: one this run made goes, one it found is
        // left empty.
        if (restored.created())
            restored.remove_created(restored_path);
        else
            restored.cut();
        return fail(message);
    }
    if (cl.stats)
        std::fprintf(stderr,
                     "restored bytes: %" PRIu64
                     "\n"
                     "chunks: %" PRIu64
                     "\n"
                     "new chunks read from the output: %" PRIu64 "\n",
                     report.restored_bytes, report.chunks, report.new_chunks);
    return 0;
}

}  // namespace chunksieve
