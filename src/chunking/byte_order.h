// Little-endian loads and stores. Every multi-byte number chunksieve builds from bytes or
// stores into bytes is little-endian, whatever the host's order.
#pragma once

#include <cstdint>
#include <cstring>

namespace chunksieve {

inline std::uint32_t load_le32(const std::uint8_t* p) {
    return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 |
           std::uint32_t(p[3]) << 24;
}

inline void store_le32(std::uint8_t* p, std::uint32_t v) {
    p[0] = std::uint8_t(v);
    p[1] = std::uint8_t(v >> 8);
    p[2] = std::uint8_t(v >> 16);
    p[3] = std::uint8_t(v >> 24);
}

inline std::uint64_t load_le64(const std::uint8_t* p) {
    return std::uint64_t(load_le32(p)) | std::uint64_t(load_le32(p + 4)) << 32;
}

inline void store_le64(std::uint8_t* p, std::uint64_t v) {
    store_le32(p, std::uint32_t(v));
    store_le32(p + 4, std::uint32_t(v >> 32));
}

}  // namespace chunksieve
