// --index STATE: the steps a run takes around the filter to start from the index in STATE and
// to leave the updated one there. Each step returns an empty string when it succeeded, and
// otherwise the one-line message the command prints before it exits with 1.
#pragma once

#include <cstdint>
#include <string>

#include "driver/state_file.h"
#include "filter/dedup_filter.h"
#include "map/chunk_order.h"

namespace chunksieve {

// First of all: takes STATE's lock, so that no other run reads or replaces STATE until this one
// is over (and a run that waits for its input holds it meanwhile).
std::string lock_state_file(StateFile& state, const char* path);

// Before the output is touched: reads STATE whole and, if it is sound, loads it into the
// filter's created, empty index and sets the running total from it; a missing STATE leaves the
// index empty. `loaded` receives what the file held (all zero without one), and `order`, when
// given, the map's chunk order where the file holds one (`loaded.section` is then set, though
// the bytes it pointed to are gone).
std::string load_state_file(StateFile& state, const char* path, DedupFilter& filter,
                            StateCheck& loaded, ChunkOrder* order = nullptr);

// With --map: refuses a loaded state that a map cannot refer to, one saved without values or by
// a run that wrote no map.
std::string check_state_anchors_map(const StateCheck& loaded, const char* path);

// Refuses an output that is the state itself: the rename at the end would replace it.
std::string check_output_is_not_state(const StateFile& state, const char* state_path,
                                      const char* out);

// After a complete run: writes the filter's index and total beside STATE and renames it over,
// with the chain's new-chunk count, the id a map names this state by (both 0 without a map) and
// the map's chunk order (nullptr without a map).
std::string save_state_file(StateFile& state, const char* path, const DedupFilter& filter,
                            std::uint64_t new_chunks, std::uint64_t state_id,
                            const ChunkOrder* order = nullptr);

}  // namespace chunksieve
