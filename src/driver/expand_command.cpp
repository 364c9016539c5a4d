#include "driver/expand_command.h"

#include <cinttypes>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "chunking/kernels.h"
#include "driver/files.h"
#include "driver/side_file.h"
#include "driver/terminal.h"

namespace chunksieve {

namespace {

// The message for a failed expand.
std::string expand_failed(const ExpandReport& r, const CommandLine& cl, const SideFile& map_file,
                          const SideFile& out, const SideFile& restored,
                          const std::vector<SideFile>& link_files) {
    const char* const out_path = cl.operands[0];
    const char* const restored_path = cl.operands[1];
    const bool link = r.which >= 0;
    const std::size_t i = link ? std::size_t(r.which) : 0;
    const std::string map =
        link ? "link map " + quoted(cl.link_maps[i]) : "map " + input_name(cl.map);
    const std::string data = link ? (cl.link_data[i].is_input ? "link input " : "link output ") +
                                        quoted(cl.link_data[i].path)
                                  : "output " + input_name(out_path);
    const std::string at = std::to_string(r.at);
    switch (r.error) {
        case ExpandError::map_read:
            return "reading " + map + ": " +
                   system_message(link ? link_files[2 * i].error() : map_file.error());
        case ExpandError::map_empty:
            return map + " is empty, not a map";
        case ExpandError::not_map:
            return map + " is not a map of chunksieve";
        case ExpandError::map_version:
            return map + " has format version " + std::to_string(r.value) +
                   "; this chunksieve reads versions 1 and " + std::to_string(MAP_VERSION);
        case ExpandError::map_features: {
            char bits[32];
            std::snprintf(bits, sizeof bits, "0x%" PRIx64, r.value);
            return map + " needs features this chunksieve does not have (" + bits + ")";
        }
        case ExpandError::map_parameters:
            return map + " was made with other chunking parameters";
        case ExpandError::map_damaged:
            return map + " is damaged at byte " + at + " (a checksum does not match)";
        case ExpandError::map_truncated:
            return map + " is truncated: it ends at byte " + at + ", before its end";
        case ExpandError::map_trailing:
            return map + " has bytes after its end, from byte " + at;
        case ExpandError::map_invalid:
            return map + " is damaged at byte " + at + " (it says what no run writes)";
        case ExpandError::data_read:
            return "reading " + data + ": " +
                   system_message(link ? link_files[2 * i + 1].error() : out.error());
        case ExpandError::data_mismatch:
            return data + " does not match " + map + " (at byte " + at + ")";
        case ExpandError::data_short:
            return data + " ends at byte " + at + ", before " + map + " does";
        case ExpandError::data_long:
            return data + " has bytes beyond what " + map + " describes, from byte " + at;
        case ExpandError::restored_write:
            return "writing " + output_name(restored_path) + ": " +
                   system_message(restored.error());
        case ExpandError::restored_read:
            return "reading back " + output_name(restored_path) + ": " +
                   system_message(restored.error());
        case ExpandError::checksum:
            return "the restored bytes do not match the checksum in " + map +
                   ": OUT, the map or a link is not the one it was made with";
        case ExpandError::needs_links:
            return map +
                   " goes on from earlier runs with an index state: give each earlier run's map "
                   "and output, the first run first, with --link-map and --link-out";
        case ExpandError::no_chain:
            return map + " does not go on from earlier runs: give it no links";
        case ExpandError::first_link:
            return map +
                   " goes on from an earlier run: the links must start with the first run "
                   "of the chain";
        case ExpandError::broken_chain:
            return map + " does not go on from " +
                   (link ? "link map " + quoted(cl.link_maps[i - 1])
                         : "the last link map " + quoted(cl.link_maps.back())) +
                   ": a link is missing, out of order, or of another chain";
        case ExpandError::no_memory:
            return "out of memory for the places of the new chunks";
        case ExpandError::none:
            break;
    }
    return {};
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

    std::vector<ExpandLink> links;
    for (std::size_t i = 0; i < cl.link_maps.size(); ++i)
        links.push_back({&link_files[2 * i], &link_files[2 * i + 1], cl.link_data[i].is_input});
    ExpandJob job;
    job.map = &map;
    job.out = &out;
    job.out_back = out.is_regular() ? &out : nullptr;
    job.restored = &restored;
    job.restored_back = restored.is_regular() ? &restored : nullptr;
    job.links = links;
    const ExpandReport report = expand(best_kernels(), job);
    std::string message;
    if (report.error != ExpandError::none)
        message = expand_failed(report, cl, map, out, restored, link_files);
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
                     report.restored_bytes, report.end.chunks, report.end.new_chunks);
    return 0;
}

}  // namespace chunksieve
