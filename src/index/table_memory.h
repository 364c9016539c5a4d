// Platform memory for the fingerprint table: one zero-filled, readable and writable region.
// Pages are committed by the system as they are first touched.
#pragma once

#include <cstddef>

namespace chunksieve {

// nullptr when the region cannot be obtained.
void* acquire_zeroed_region(std::size_t bytes);
void release_region(void* region, std::size_t bytes);
// Asks for the region to be backed by large pages from now on, where the system has them.
// Only a hint: nothing changes in what the region holds.
void advise_large_pages(void* region, std::size_t bytes);

}  // namespace chunksieve
