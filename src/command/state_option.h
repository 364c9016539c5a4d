// --index STATE: the steps a run takes around the filter to start from the index in STATE and
// to leave the updated one there. Each step returns an empty string when it succeeded, and
// otherwise the one-line message the command prints before it exits with 1.
#pragma once

#include <string>

#include "chunksieve/chunksieve.h"
#include "platform/state_file.h"

namespace chunksieve {

// First of all: takes STATE's lock, so that no other run reads or replaces STATE until this one
// is over (and a run that waits for its input holds it meanwhile).
std::string lock_state_file(StateFile& state, const char* path);

// Before the output is touched: reads STATE whole and, if it is sound, loads it into `ctx`,
// which has made no run yet; a missing STATE leaves its index empty. A context with a map takes
// only a state that a map can refer to.
std::string load_state_file(StateFile& state, const char* path, chunksieve_ctx* ctx);

// Refuses an output that is the state itself: the rename at the end would replace it.
std::string check_output_is_not_state(const StateFile& state, const char* state_path,
                                      const char* out);

// After a complete run: writes the context's index beside STATE and renames it over.
std::string save_state_file(StateFile& state, const char* path, const chunksieve_ctx* ctx);

}  // namespace chunksieve
