#include "command/state_option.h"

#include "command/command_line.h"
#include "platform/files.h"

namespace chunksieve {

namespace {

// What to do about a state that is broken: nothing of it can be used, and a run that starts over
// needs a path of its own, as the file is never replaced by a refused run.
constexpr const char* START_OVER = ": move it aside, or give a new STATE, to start a new index";

std::string unfit(const char* path, chunksieve_error e, unsigned version) {
    const std::string name = quoted(path);
    switch (e) {
        case CHUNKSIEVE_ERROR_STATE_EMPTY:
            return name + " is empty, not an index state" + START_OVER;
        case CHUNKSIEVE_ERROR_STATE_NOT_STATE:
            return name + " is not an index state of chunksieve" + START_OVER;
        case CHUNKSIEVE_ERROR_STATE_TRUNCATED:
            return "index state " + name + " is truncated" + START_OVER;
        case CHUNKSIEVE_ERROR_STATE_VERSION:
            return "index state " + name + " has format version " + std::to_string(version) +
                   "; this chunksieve reads versions 1 to " +
                   std::to_string(CHUNKSIEVE_STATE_FORMAT_VERSION);
        case CHUNKSIEVE_ERROR_STATE_PARAMETERS:
            return "index state " + name + " was made for an index of another size";
        case CHUNKSIEVE_ERROR_STATE_NO_MAP:
            return "index state " + name +
                   " was saved by a run without --map, so a map cannot refer to its chunks: run "
                   "without --index, or with a new STATE, to start a chain of maps";
        case CHUNKSIEVE_ERROR_NO_MEMORY:
            return "out of memory for the index while loading index state " + name;
        default:  // STATE_DAMAGED
            return "index state " + name + " is damaged (its checksum or contents do not match)" +
                   START_OVER;
    }
}

int write_to_state(void* state, const void* buf, std::size_t n) {
    return static_cast<StateFile*>(state)->write_all(static_cast<const std::uint8_t*>(buf), n) ? 0
                                                                                               : -1;
}

}  // namespace

std::string lock_state_file(StateFile& state, const char* path) {
    if (state.lock()) return {};
    if (state.in_use())
        return "index state " + quoted(path) + " is in use by another chunksieve run";
    return "cannot lock index state " + quoted(path) + " through " +
           quoted((std::string(path) + ".lock").c_str()) + ": " + system_message(state.error());
}

std::string load_state_file(StateFile& state, const char* path, chunksieve_ctx* ctx) {
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
    const chunksieve_error e = chunksieve_load_state(ctx, state.bytes(), state.size());
    const unsigned version = e == CHUNKSIEVE_ERROR_STATE_VERSION
                                 ? chunksieve_state_format_version(state.bytes(), state.size())
                                 : 0;
    state.release_bytes();
    return e == CHUNKSIEVE_OK ? std::string() : unfit(path, e, version);
}

std::string check_output_is_not_state(const StateFile& state, const char* state_path,
                                      const char* out) {
    if (!state.is_state(out)) return {};
    return "the output " + quoted(out) + " is the index state " + quoted(state_path);
}

std::string save_state_file(StateFile& state, const char* path, const chunksieve_ctx* ctx) {
    bool ok = state.begin();
    if (ok) ok = chunksieve_save_state(ctx, write_to_state, &state) == CHUNKSIEVE_OK;
    if (ok) ok = state.commit();
    if (ok) return {};
    return "cannot save index state " + quoted(path) +
           " (it is left as it was): " + system_message(state.error());
}

}  // namespace chunksieve
