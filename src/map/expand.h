// Expand: rebuilds a run's input from its output and its map, byte for byte, and checks the
// input's checksum at the end. A run that started from a saved index may repeat chunks of the
// runs before it: those runs come along as links, in order, each with its map and with its
// output or the input it restores to.
//
// Nothing here prints or touches a file by name: the caller hands over sources and a sink, and
// gets an ExpandReport that says what failed and where.
//
// Memory: a few MiB of windows, plus 8 bytes for every new chunk of the chain (where each one
// can be read back). Every number a map gives is checked before it is used: no map makes expand
// read outside what it was given, and work is bounded by the bytes the map describes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "chunking/kernels.h"
#include "map/map_format.h"
#include "map/map_writer.h"

namespace chunksieve {

// Bytes read front to back.
class ByteSource {
  public:
    // Up to `capacity` bytes: the count, 0 at the end, -1 when the read failed.
    virtual std::ptrdiff_t read(std::uint8_t* buf, std::size_t capacity) = 0;

  protected:
    ~ByteSource() = default;
};

// Bytes read at any offset: a regular file.
class ReadBack {
  public:
    // Up to n bytes from `offset`: the count, fewer than n only at the end; -1 when it failed.
    virtual std::ptrdiff_t read_at(std::uint8_t* buf, std::size_t n, std::uint64_t offset) = 0;

  protected:
    ~ReadBack() = default;
};

enum class ExpandError {
    none,
    map_read,        // a map could not be read
    map_empty,       // a map of no bytes
    not_map,         // it does not begin with the magic number
    map_version,     // a format version this build does not read (value)
    map_features,    // mandatory features this build does not know (value: their bits)
    map_parameters,  // made with other chunking parameters
    map_damaged,     // a checksum does not match (at: the map offset of the part)
    map_truncated,   // it ends before its end frame (at: the map bytes there are)
    map_trailing,    // bytes after its end frame (at: where they begin)
    map_invalid,     // whole, yet it says what no run writes, e.g. a repeat of a chunk not yet
                     // restored (at: the map offset of the frame)
    data_read,       // an output or input could not be read
    data_mismatch,   // an output that is not the one of this map (at: its offset)
    data_short,      // an output or input that ends before its map does (at: its size)
    data_long,       // an output or input with bytes beyond what its map describes (at: there)
    restored_write,  // the restored bytes could not be written
    restored_read,   // nor read back
    checksum,        // the restored bytes are not the input's (their checksum differs)
    needs_links,     // the map goes on from earlier runs, and their links were not all given
    no_chain,        // links were given for a map that does not go on from an earlier run
    first_link,      // the first link goes on from a run before it (value: its index id)
    broken_chain,    // a link (or the map) does not go on from the one before it
    no_memory,
};

struct ExpandReport {
    ExpandError error = ExpandError::none;
    // Which map or data the error concerns: a link's number (0 is the first), or -1 for the map
    // being expanded and its output.
    int which = -1;
    std::uint64_t at = 0;
    std::uint64_t value = 0;
    MapStart start;  // of the map being expanded, once its header was read
    MapEnd end;      // of the map being expanded, once complete
    std::uint64_t restored_bytes = 0;
};

// An earlier run of the chain.
struct ExpandLink {
    ByteSource* map;
    ReadBack* data;      // its output, or the input it restores to
    bool data_is_input;  // which of the two
};

struct ExpandJob {
    ByteSource* map;
    ByteSource* out;          // the run's output, front to back
    ReadBack* out_back;       // the same output read back, or nullptr (a pipe)
    ByteSink* restored;       // where the input is rebuilt
    ReadBack* restored_back;  // what was written there read back, or nullptr (a pipe)
    std::span<const ExpandLink> links;
    // Where a repeat's bytes are read back from when both can be: the output, or the restored
    // bytes. Either gives the same bytes; the choice is for tests.
    bool prefer_restored = false;
};

// Rebuilds the input; complete only with error none. One of out_back and restored_back must be
// given. After a failure, what was written to the sink is of no use.
ExpandReport expand(const ChunkingKernels& k, const ExpandJob& job);

}  // namespace chunksieve
