#include <sys/mman.h>

#include <cerrno>
#include <cstdint>

#include "platform/table_memory.h"

namespace chunksieve {

void* acquire_zeroed_region(std::size_t bytes) {
    // Anonymous private mappings read as zero: the empty table needs no clearing pass.
    void* p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    return p == MAP_FAILED ? nullptr : p;
}

void* reserve_region(std::size_t bytes) {
    // Inaccessible addresses cost no memory and count against no data limit; more than asked
    // for, so that the start can be aligned for large pages, the rest given back at once.
    const std::size_t span = bytes + LARGE_PAGE_BYTES;
    void* p = mmap(nullptr, span, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (p == MAP_FAILED) return nullptr;
    const auto raw = reinterpret_cast<std::uintptr_t>(p);
    const std::uintptr_t start = (raw + LARGE_PAGE_BYTES - 1) & ~(LARGE_PAGE_BYTES - 1);
    if (start > raw) munmap(p, start - raw);
    if (raw + span > start + bytes)
        munmap(reinterpret_cast<void*>(start + bytes), raw + span - start - bytes);
    return reinterpret_cast<void*>(start);
}

bool commit_region(void* at, std::size_t bytes) {
    // Making private pages writable is where the system charges them (and where a data-size
    // limit bites). Populating them in one call is far cheaper than a fault per page.
    if (mprotect(at, bytes, PROT_READ | PROT_WRITE) != 0) return false;
#if defined(MADV_POPULATE_WRITE)
    if (madvise(at, bytes, MADV_POPULATE_WRITE) != 0 && errno == ENOMEM) {
        mprotect(at, bytes, PROT_NONE);
        return false;
    }
#endif
    return true;
}

void advise_large_pages(void* region, std::size_t bytes) {
#if defined(MADV_HUGEPAGE)
    if (region) madvise(region, bytes, MADV_HUGEPAGE);
#else
    (void)region;
    (void)bytes;
#endif
}

void release_region(void* region, std::size_t bytes) {
    if (region) munmap(region, bytes);
}

}  // namespace chunksieve
