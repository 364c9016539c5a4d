// Placeholder: multi-buffer chunk keys for avx512 (to be written).
#include "chunking/kernels_isa.h"

namespace chunksieve {

void chunk_keys_avx512(const KeyJob* jobs, std::size_t count, ChunkKey* keys) {
    chunk_keys_portable(jobs, count, keys);
}

}  // namespace chunksieve
