// The entry points of each instruction-set file, one identical signature per kernel. Every
// file is compiled with its own ISA flags; nothing here may be called on a CPU that lacks them.
#pragma once

#include "chunking/kernels.h"

namespace chunksieve {

std::uint64_t marker_mask64_portable(const std::uint8_t* p);
std::uint64_t hash_candidates64_portable(const std::uint8_t* p);
void chunk_keys_portable(const KeyJob* jobs, std::size_t count, ChunkKey* keys);

#if defined(__x86_64__)
#define CHUNKSIEVE_X86_KERNELS 1
std::uint64_t marker_mask64_avx2(const std::uint8_t* p);
std::uint64_t hash_candidates64_avx2(const std::uint8_t* p);
void chunk_keys_avx2(const KeyJob* jobs, std::size_t count, ChunkKey* keys);

std::uint64_t marker_mask64_avx512(const std::uint8_t* p);
std::uint64_t hash_candidates64_avx512(const std::uint8_t* p);
void chunk_keys_avx512(const KeyJob* jobs, std::size_t count, ChunkKey* keys);
#endif

}  // namespace chunksieve
