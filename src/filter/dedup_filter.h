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
#include "chunking/chunk_ends.h"
#include "chunking/chunk_rules.h"
#include "chunking/kernels.h"
#include "chunking/rolling_hash.h"
#include "index/fingerprint_index.h"
#include "index/flat_index.h"
#include "stream/stream_channel.h"

namespace chunksieve {

// The coroutine's own stack. The body keeps only a few scalars there; the margin is for
// sanitizers and for debug builds.
inline constexpr std::size_t FILTER_STACK_BYTES = 256 * 1024;
static_assert(FILTER_STACK_BYTES >= 65536);

// Chunks ending in one input block, at most.
inline constexpr std::size_t MAX_BLOCK_CHUNKS = max_chunk_ends(STREAM_BLOCK);

struct DedupFilter {
    StreamChannel channel;

    // How chunk ends are found and chunks keyed: a kernel set, block by block; or, with
    // nullptr, the plain loop that takes one byte at a time (the reference).
    const ChunkingKernels* kernels = &best_kernels();

    // Chunker state.
    RollingHash hash;
    std::uint32_t count = 0;  // bytes in the current chunk
    ChunkDigest digest;
    ChunkScan scan;
    std::uint8_t history[SCAN_HISTORY] = {};  // the stream's last bytes before the current block

    FingerprintIndex index;
    // When set (tests and benchmarks), the filter asks this flat reference table instead.
    FlatFingerprintIndex* flat_reference = nullptr;

    // Each buffer has room before and after it for what the kernels read beyond a block.
    alignas(64) std::uint8_t chunk_area[STREAM_BLOCK + SCAN_SLACK];  // the current chunk
    alignas(64) std::uint8_t input_area[64 + STREAM_BLOCK + SCAN_SLACK];
    alignas(64) std::uint8_t output_buffer[STREAM_BLOCK];

    // One block's chunks, for the kernels.
    ChunkCut cuts[MAX_BLOCK_CHUNKS];
    KeyJob jobs[MAX_BLOCK_CHUNKS];
    ChunkKey keys[MAX_BLOCK_CHUNKS];

    alignas(64) std::uint8_t stack[FILTER_STACK_BYTES];

    std::uint8_t* chunk_buffer() { return chunk_area; }
    std::uint8_t* input_buffer() { return input_area + 64; }
};
static_assert(SCAN_HISTORY <= 64);

// The value the index stores with a new chunk's key: the chunk's block number, its place in
// 64-byte units among all chunks so far (found or new, each padded to 64 bytes), plus one. It is
// never 0, which marks an empty slot. A slot keeps 40 bits, so the number is exact up to
// 2^40 - 1 (chunks totalling under 64 TiB once padded) and stays at 2^40 - 1 beyond: cut to 40
// bits it would read 0 at every 2^40th block, and the entry would vanish from its run.
inline std::uint64_t block_number(std::uint64_t total) {
    const std::uint64_t n = total / CHUNK_ALIGNMENT + 1;
    return n < FingerprintIndex::VALUE_MASK ? n : FingerprintIndex::VALUE_MASK;
}

// The filter body; `filter` is a DedupFilter. Started once through start(); ends with finish().
void filter_body(void* filter);

}  // namespace chunksieve
