// Placeholder: chunk-end masks for avx512 (to be written).
#include "chunking/kernels_isa.h"

namespace chunksieve {

std::uint64_t marker_mask64_avx512(const std::uint8_t* p) { return marker_mask64_portable(p); }
std::uint64_t hash_candidates64_avx512(const std::uint8_t* p) { return hash_candidates64_portable(p); }

}  // namespace chunksieve
