// Compiled with -msse4.2: called only where the CPU has SSE4.2 (crc32c.cpp checks).
#include <nmmintrin.h>

#include <cstring>

#include "index/crc32c.h"

namespace chunksieve {

std::uint32_t crc32c_sse42(std::uint32_t crc, const std::uint8_t* p, std::size_t n) {
    std::uint64_t c = ~crc;
    for (; n >= 8; n -= 8, p += 8) {
        std::uint64_t w;
        std::memcpy(&w, p, 8);  // the instruction takes the bytes in little-endian order
        c = _mm_crc32_u64(c, w);
    }
    auto c32 = std::uint32_t(c);
    for (; n > 0; --n, ++p)
        c32 = _mm_crc32_u8(c32, *p);
    return ~c32;
}

}  // namespace chunksieve
