// Platform memory for the fingerprint table: one zero-filled, readable and writable region.
// Pages are committed by the system as they are first touched.
#pragma once

#include <cstddef>

namespace chunksieve {

// nullptr when the region cannot be obtained.
void* acquire_zeroed_region(std::size_t bytes);
void release_region(void* region, std::size_t bytes);

}  // namespace chunksieve
