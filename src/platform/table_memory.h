// Platform memory for the fingerprint index: regions of address space whose pages read as zero
// and are committed either whole or in steps as the index grows. The overlapped driver takes its
// rings of blocks from here too, committed whole when its threads start.
#pragma once

#include <cstddef>

namespace chunksieve {

// Granularity of reserve_region's alignment and of commit steps that want large pages.
inline constexpr std::size_t LARGE_PAGE_BYTES = std::size_t(2) << 20;
// A multiple of every system's page size (and of the 64 KiB unit some systems allocate in): a
// size or offset in whole units of it suits commit_region everywhere.
inline constexpr std::size_t COMMIT_UNIT_BYTES = 65536;

// n rounded up to a whole number of units: sizes and ends handed to commit_region.
constexpr std::size_t round_up(std::size_t n, std::size_t unit) {
    return (n + unit - 1) / unit * unit;
}

// A readable, writable, zero-filled region whose pages the system commits as they are first
// touched; nullptr when it cannot be obtained.
void* acquire_zeroed_region(std::size_t bytes);

// Address space only, aligned for large pages where the system has them: nothing in it may be
// touched before commit_region. nullptr when the addresses cannot be had.
void* reserve_region(std::size_t bytes);
// Makes [at, at + bytes) of a reserved region readable and writable, zero-filled, and has the
// system back it now rather than page by page on first touch. `at` and `bytes` are multiples of
// the page size. False when the memory cannot be had; the range is then left as it was.
bool commit_region(void* at, std::size_t bytes);

// Gives back a region from either call above (bytes as it was asked for).
void release_region(void* region, std::size_t bytes);
// Asks for the region to be backed by large pages from now on, where the system has them.
// Only a hint: nothing changes in what the region holds.
void advise_large_pages(void* region, std::size_t bytes);

}  // namespace chunksieve
