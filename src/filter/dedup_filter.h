// DedupFilter: the whole state of one run, and the filter body that the driver runs as a
// coroutine. The body cuts the input into content-defined chunks, keys each chunk, asks the
// index, and writes only new chunks, each padded to a multiple of CHUNK_ALIGNMENT bytes:
//
//   output = for each chunk whose key the index did not hold, in input order:
//              its n bytes, then (64 - n mod 64) mod 64 fill bytes
//            (0x00 after a marker end, otherwise copies of the chunk's last byte)
//
// Bytes after the last chunk end are neither keyed nor written.
#pragma once

#include <cstddef>
#include <cstdint>

#include "chunking/chunk_digest.h"
#include "chunking/chunk_rules.h"
#include "chunking/rolling_hash.h"
#include "index/fingerprint_index.h"
#include "stream/stream_channel.h"

namespace chunksieve {

// The coroutine's own stack. The body keeps only a few scalars there; the margin is for
// sanitizers and for debug builds.
inline constexpr std::size_t FILTER_STACK_BYTES = 256 * 1024;
static_assert(FILTER_STACK_BYTES >= 65536);

struct DedupFilter {
    StreamChannel channel;

    // Chunker state.
    RollingHash hash;
    std::uint32_t count = 0;  // bytes in the current chunk
    ChunkDigest digest;

    ChunkKey key;
    FingerprintIndex index;

    alignas(64) std::uint8_t chunk_buffer[STREAM_BLOCK];  // the current chunk (<= 65,535 bytes)
    alignas(64) std::uint8_t input_buffer[STREAM_BLOCK];
    alignas(64) std::uint8_t output_buffer[STREAM_BLOCK];
    alignas(64) std::uint8_t stack[FILTER_STACK_BYTES];
};

// The filter body; `filter` is a DedupFilter. Started once through start(); ends with finish().
void filter_body(void* filter);

}  // namespace chunksieve
