#include "index/crc32c.h"

#include "chunking/byte_order.h"
#include "platform/cpu_features.h"

namespace chunksieve {

namespace {

constexpr std::uint32_t POLY = 0x82F63B78u;

// t[0][b]: b's CRC step; t[k][b]: the same byte k positions before the end of an 8-byte group,
// so that eight independent look-ups replace a chain of eight.
struct Tables {
    std::uint32_t t[8][256];
    constexpr Tables() : t{} {
        for (std::uint32_t b = 0; b < 256; ++b) {
            std::uint32_t c = b;
            for (int k = 0; k < 8; ++k)
                c = (c & 1) ? (c >> 1) ^ POLY : c >> 1;
            t[0][b] = c;
        }
        for (int k = 1; k < 8; ++k)
            for (std::uint32_t b = 0; b < 256; ++b)
                t[k][b] = (t[k - 1][b] >> 8) ^ t[0][t[k - 1][b] & 0xFF];
    }
};

constexpr Tables TABLES{};

}  // namespace

#if defined(__x86_64__)
std::uint32_t crc32c_sse42(std::uint32_t crc, const std::uint8_t* p, std::size_t n);
#endif

namespace {

struct Crc32cImpl {
    const char* name;
    std::uint32_t required_features;
    Crc32cForm update;
};

constexpr Crc32cImpl SLICED{"sliced", 0, crc32c_sliced};
#if defined(__x86_64__)
constexpr Crc32cImpl SSE42{"sse42", CPU_SSE42, crc32c_sse42};
constexpr const Crc32cImpl* FORMS[] = {&SSE42, &SLICED};
#else
constexpr const Crc32cImpl* FORMS[] = {&SLICED};
#endif

}  // namespace

Crc32cForm crc32c_instruction() {
    const Crc32cImpl& best = first_supported(std::span<const Crc32cImpl* const>(FORMS));
    return &best == &SLICED ? nullptr : best.update;
}

std::uint32_t crc32c(std::uint32_t crc, const std::uint8_t* p, std::size_t n) {
    static const Crc32cForm best =
        first_supported(std::span<const Crc32cImpl* const>(FORMS)).update;
    return best(crc, p, n);
}

std::uint32_t crc32c_sliced(std::uint32_t crc, const std::uint8_t* p, std::size_t n) {
    const auto& t = TABLES.t;
    crc = ~crc;
    for (; n >= 8; n -= 8, p += 8) {
        const std::uint32_t lo = load_le32(p) ^ crc;
        const std::uint32_t hi = load_le32(p + 4);
        crc = t[7][lo & 0xFF] ^ t[6][(lo >> 8) & 0xFF] ^ t[5][(lo >> 16) & 0xFF] ^ t[4][lo >> 24] ^
              t[3][hi & 0xFF] ^ t[2][(hi >> 8) & 0xFF] ^ t[1][(hi >> 16) & 0xFF] ^ t[0][hi >> 24];
    }
    for (; n > 0; --n, ++p)
        crc = (crc >> 8) ^ t[0][(crc ^ *p) & 0xFF];
    return ~crc;
}

std::uint32_t crc32c_plain(std::uint32_t crc, const std::uint8_t* p, std::size_t n) {
    crc = ~crc;
    for (std::size_t i = 0; i < n; ++i) {
        crc ^= p[i];
        for (int k = 0; k < 8; ++k)
            crc = (crc & 1) ? (crc >> 1) ^ POLY : crc >> 1;
    }
    return ~crc;
}

}  // namespace chunksieve
