#include "chunking/chunk_ends.h"

#include <algorithm>
#include <bit>

#include "chunking/rolling_hash.h"

namespace chunksieve {

namespace {

// Bits below `n` (0 <= n), all 64 when n >= 64.
inline std::uint64_t bits_below(std::size_t n) {
    return n >= 64 ? ~std::uint64_t(0) : (std::uint64_t(1) << n) - 1;
}

// First position in [from, to) where a marker ends, or `to`.
std::size_t find_marker(const ChunkingKernels& k, const std::uint8_t* data, std::size_t from,
                        std::size_t to) {
    for (std::size_t i = from; i < to; i += 64) {
        const std::uint64_t m = k.marker_mask64(data + i) & bits_below(to - i);
        if (m) return i + std::size_t(std::countr_zero(m));
    }
    return to;
}

// First position in [from, to) where the hash of the window ending there is below the
// threshold, or `to`. The kernel's candidates are a superset; each is confirmed exactly.
std::size_t find_hash_end(const ChunkingKernels& k, const std::uint8_t* data, std::size_t from,
                          std::size_t to) {
    for (std::size_t i = from; i < to; i += 64) {
        std::uint64_t m = k.hash_candidates64(data + i) & bits_below(to - i);
        while (m) {
            const std::size_t at = i + std::size_t(std::countr_zero(m));
            if (window_hash_sliced(data + at + 1) < HASH_THRESHOLD) return at;
            m &= m - 1;
        }
    }
    return to;
}

}  // namespace

std::size_t find_chunk_ends(const ChunkingKernels& k, ChunkScan& scan, const std::uint8_t* data,
                            std::size_t len, ChunkCut* cuts) {
    // Positions are offsets of a chunk's last byte. The current chunk starts at `start`
    // (negative while it began in an earlier block); after the byte at position p its length
    // is p - start + 1. So a marker counts from start + 3 (all four bytes in the chunk), the
    // hash from start + MIN_CHUNK_LENGTH - 1, and start + MAX_CHUNK_LENGTH - 1 ends it anyway.
    std::ptrdiff_t start = -std::ptrdiff_t(scan.count);
    std::size_t n = 0;
    // The first marker at or after the last searched position: markers are rare, so one search
    // serves many chunks, and no stretch is searched twice.
    std::size_t marker = 0, marker_from = 0;
    bool marker_known = false;
    for (;;) {
        const std::size_t from = std::size_t(std::max<std::ptrdiff_t>(0, start));
        const std::size_t marker_start = std::size_t(std::max<std::ptrdiff_t>(from, start + 3));
        const std::ptrdiff_t forced = start + std::ptrdiff_t(MAX_CHUNK_LENGTH) - 1;
        const std::size_t limit =
            std::size_t(std::min<std::ptrdiff_t>(std::ptrdiff_t(len), forced + 1));
        if (!marker_known || marker < marker_start || marker_from > marker_start) {
            marker = find_marker(k, data, marker_start, len);
            marker_from = marker_start;
            marker_known = true;
        }
        const std::size_t hash_start = std::size_t(
            std::max<std::ptrdiff_t>(from, start + std::ptrdiff_t(MIN_CHUNK_LENGTH) - 1));
        const std::size_t hash_to = std::min(marker, limit);
        const std::size_t hash =
            hash_start < hash_to ? find_hash_end(k, data, hash_start, hash_to) : hash_to;

        std::size_t end;
        ChunkEnd how;
        if (marker < len && marker <= hash && std::ptrdiff_t(marker) <= forced) {
            end = marker;
            how = ChunkEnd::marker;
        } else if (hash < hash_to) {
            end = hash;
            how = ChunkEnd::hash;
        } else if (forced < std::ptrdiff_t(len)) {
            end = std::size_t(forced);
            how = ChunkEnd::hash;
        } else {
            break;
        }
        cuts[n++] = ChunkCut{std::uint32_t(end + 1), how};
        start = std::ptrdiff_t(end + 1);
    }
    scan.count = std::uint32_t(std::ptrdiff_t(len) - start);
    return n;
}

ChunkCut ChunkEndFinder::chunk_at(std::size_t start) {
    // Positions are offsets of the chunk's last byte, as in find_chunk_ends.
    const std::size_t forced = start + MAX_CHUNK_LENGTH - 1;
    const std::size_t limit = std::min(len_, forced + 1);
    const std::size_t marker_start = start + 3;
    if (!marker_known_ || marker_ < marker_start || marker_from_ > marker_start) {
        marker_ = marker_start < len_ ? find_marker(k_, data_, marker_start, len_) : len_;
        marker_from_ = marker_start;
        marker_known_ = true;
    }
    const std::size_t hash_start = start + MIN_CHUNK_LENGTH - 1;
    const std::size_t hash_to = std::min(marker_, limit);
    const std::size_t hash =
        hash_start < hash_to ? find_hash_end(k_, data_, hash_start, hash_to) : hash_to;
    if (marker_ < len_ && marker_ <= hash && marker_ <= forced)
        return ChunkCut{std::uint32_t(marker_ - start + 1), ChunkEnd::marker};
    if (hash < hash_to) return ChunkCut{std::uint32_t(hash - start + 1), ChunkEnd::hash};
    if (forced < len_) return ChunkCut{MAX_CHUNK_LENGTH, ChunkEnd::hash};
    return ChunkCut{0, ChunkEnd::none};
}

}  // namespace chunksieve
