#include <sys/mman.h>

#include "index/table_memory.h"

namespace chunksieve {

void* acquire_zeroed_region(std::size_t bytes) {
    // Anonymous private mappings read as zero: the empty table needs no clearing pass.
    void* p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    return p == MAP_FAILED ? nullptr : p;
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
