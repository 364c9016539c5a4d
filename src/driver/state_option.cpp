#include "driver/state_option.h"

#include <vector>

#include "driver/command_line.h"
#include "driver/files.h"

namespace chunksieve {

namespace {

// What to do about a state that is broken: nothing of it can be used, and a run that starts over
// needs a path of its own, as the file is never replaced by a refused run.
constexpr const char* START_OVER = ": move it aside, or give a new STATE, to start a new index";

std::string unfit(const char* path, const StateCheck& c) {
    const std::string name = quoted(path);
    switch (c.error) {
        case StateError::empty:
            return name + " is empty, not an index state" + START_OVER;
        case StateError::not_state:
            return name + " is not an index state of chunksieve" + START_OVER;
        case StateError::truncated:
            return "index state " + name + " is truncated" + START_OVER;
        case StateError::version:
            return "index state " + name + " has format version " + std::to_string(c.version) +
                   "; this chunksieve reads versions 1 to 3";
        case StateError::parameters:
            return "index state " + name + " was made for an index of another size";
        case StateError::damaged:
            return "index state " + name + " is damaged (its checksum or contents do not match)" +
                   START_OVER;
        case StateError::no_memory:
            return "out of memory for the index while loading index state " + name;
        case StateError::write_failed:
        case StateError::none:
            break;
    }
    return {};
}

}  // namespace

std::string lock_state_file(StateFile& state, const char* path) {
    if (state.lock()) return {};
    if (state.in_use())
        return "index state " + quoted(path) + " is in use by another chunksieve run";
    return "cannot lock index state " + quoted(path) + " through " +
           quoted((std::string(path) + ".lock").c_str()) + ": " + system_message(state.error());
}

std::string load_state_file(StateFile& state, const char* path, DedupFilter& filter,
                            StateCheck& loaded, ChunkOrder* order) {
    loaded = StateCheck{};
    switch (state.read()) {
        case StateRead::absent:
            return {};
        case StateRead::directory:
            return quoted(path) + " is a directory, not an index state";
        case StateRead::not_file:
            return quoted(path) + " is not a regular file, not an index state";
        case StateRead::failed:
            return "cannot read index state " + quoted(path) + ": " + system_message(state.error());
        case StateRead::ok:
            break;
    }
    StateCheck c = load_state(state.bytes(), state.size(), filter.index);
    // The chunk order's contents are the map's to check: one that no run saves is damage too.
    if (c.error == StateError::none && c.section && order &&
        !order->load_section(c.section, c.section_bytes, c.new_chunks))
        c.error = StateError::damaged;
    state.release_bytes();
    if (c.error != StateError::none) return unfit(path, c);
    filter.total = c.total;
    loaded = c;
    return {};
}

std::string check_output_is_not_state(const StateFile& state, const char* state_path,
                                      const char* out) {
    if (!state.is_state(out)) return {};
    return "the output " + quoted(out) + " is the index state " + quoted(state_path);
}

std::string check_state_anchors_map(const StateCheck& loaded, const char* path) {
    if (state_anchors_map(loaded)) return {};
    return "index state " + quoted(path) +
           " was saved by a run without --map, so a map cannot refer to its chunks: run without "
           "--index, or with a new STATE, to start a chain of maps";
}

std::string save_state_file(StateFile& state, const char* path, const DedupFilter& filter,
                            std::uint64_t new_chunks, std::uint64_t state_id,
                            const ChunkOrder* order) {
    const std::vector<std::uint8_t> section =
        order ? order->section() : std::vector<std::uint8_t>();
    bool ok = state.begin();
    if (ok)
        ok = save_state(filter.index,
                        StateInfo{filter.total, new_chunks, state_id,
                                  order ? section.data() : nullptr, section.size()},
                        state) == StateError::none;
    if (ok) ok = state.commit();
    if (ok) return {};
    return "cannot save index state " + quoted(path) +
           " (it is left as it was): " + system_message(state.error());
}

}  // namespace chunksieve
