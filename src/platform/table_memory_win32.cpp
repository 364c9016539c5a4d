#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include "platform/table_memory.h"

namespace chunksieve {

void* acquire_zeroed_region(std::size_t bytes) {
    // Committed pages read as zero and take physical memory only when first touched. A 32-bit
    // process finds 672 MiB of free addresses in one piece only when it is large-address aware.
    return VirtualAlloc(nullptr, bytes, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
}

void* reserve_region(std::size_t bytes) {
    // Reserved addresses are not charged to the commit limit; commit_region charges them step
    // by step. VirtualAlloc places allocations at 64 KiB boundaries, which is all the alignment
    // the index needs here: Windows gives ordinary accounts no large pages.
    return VirtualAlloc(nullptr, bytes, MEM_RESERVE, PAGE_NOACCESS);
}

bool commit_region(void* at, std::size_t bytes) {
    return VirtualAlloc(at, bytes, MEM_COMMIT, PAGE_READWRITE) != nullptr;
}

void advise_large_pages(void* region, std::size_t bytes) {
    // Large pages on Windows must be requested at allocation, need a privilege that ordinary
    // accounts lack, and cannot be paged out: the regions keep their ordinary pages.
    (void)region;
    (void)bytes;
}

void release_region(void* region, std::size_t bytes) {
    (void)bytes;  // MEM_RELEASE frees the whole allocation and takes a size of 0
    if (region) VirtualFree(region, 0, MEM_RELEASE);
}

}  // namespace chunksieve
