#include "map/chunk_order.h"

#include "chunking/byte_order.h"
#include "map/map_format.h"

namespace chunksieve {

void ChunkOrder::reset() {
    bits_ = MIN_BITS;
    count_ = 0;
    prev_ = NONE;
    ring_.reset(new std::uint64_t[slots()]());
    starts_.reset(finder_ ? new std::uint32_t[slots()]() : nullptr);
}

void ChunkOrder::push(std::uint64_t start) {
    if (count_ == slots() && bits_ < MAX_BITS) grow();
    ring_[count_ & mask()] = start | std::uint64_t(1) << 40;
    if (finder_) place_start(count_);
    ++count_;
}

void ChunkOrder::place_start(std::uint64_t stretch) {
    const std::uint64_t start = ring_[stretch & mask()] & (REF_LIMIT - 1);
    starts_[start_slot(start, bits_)] = std::uint32_t(stretch + 1);
}

void ChunkOrder::grow() {
    // Full, so every slot holds a stretch, the oldest at count_ & mask: each goes to its place
    // in the doubled ring.
    const std::size_t old = slots();
    std::unique_ptr<std::uint64_t[]> ring(new std::uint64_t[old * 2]());
    for (std::uint64_t n = count_ - old; n < count_; ++n)
        ring[n & (old * 2 - 1)] = ring_[n & (old - 1)];
    ring_ = std::move(ring);
    ++bits_;
    if (finder_) {
        starts_.reset(new std::uint32_t[slots()]());
        for (std::uint64_t n = count_ - old; n < count_; ++n)
            place_start(n);
    }
}

bool ChunkOrder::find(std::uint64_t ref, const OrderPlace& near, OrderPlace& p) const {
    for (std::uint64_t n = near.stretch; n < near.stretch + 4; ++n) {
        p = {n, 0};
        const std::uint64_t first = at(p);
        if (first == NONE || ref < first) continue;
        p.offset = ref - first;
        if (at(p) == ref) return true;
    }
    if (!finder_ || count_ == 0) return false;
    const std::uint32_t low = starts_[start_slot(ref, bits_)];
    if (low == 0) return false;
    // The one stretch number at or below the last whose low bits are these.
    const std::uint64_t last = count_ - 1;
    p = {last - std::uint32_t(std::uint32_t(last) - (low - 1)), 0};
    return at(p) == ref;
}

std::vector<std::uint8_t> ChunkOrder::section() const {
    const std::uint64_t held = count_ < slots() ? count_ : slots();
    std::vector<std::uint8_t> out(16 + 8 * held);
    store_le64(out.data(), count_);
    store_le64(out.data() + 8, held);
    std::uint8_t* p = out.data() + 16;
    for (std::uint64_t n = count_ - held; n < count_; ++n, p += 8)
        store_le64(p, ring_[n & mask()]);
    return out;
}

bool ChunkOrder::load_section(const std::uint8_t* p, std::size_t n, std::uint64_t ordinals) {
    reset();
    if (n < 16) return false;
    const std::uint64_t count = load_le64(p), held = load_le64(p + 8);
    // The ring a chain with `count` stretches has grown to, and what it holds.
    std::uint32_t bits = MIN_BITS;
    while (bits < MAX_BITS && (std::uint64_t(1) << bits) < count)
        ++bits;
    const std::uint64_t keeps =
        count < (std::uint64_t(1) << bits) ? count : std::uint64_t(1) << bits;
    if (held != keeps || n != 16 + 8 * held) return false;
    bits_ = bits;
    ring_.reset(new std::uint64_t[slots()]());
    if (finder_) starts_.reset(new std::uint32_t[slots()]());
    for (std::uint64_t i = 0; i < held; ++i) {
        const std::uint64_t s = load_le64(p + 16 + 8 * i);
        if ((s >> 40) == 0 || (s & (REF_LIMIT - 1)) + (s >> 40) > ordinals) {
            reset();
            return false;
        }
        ring_[(count - held + i) & mask()] = s;
    }
    count_ = count;
    if (finder_)
        for (std::uint64_t s = count_ - held; s < count_; ++s)
            place_start(s);
    return true;
}

}  // namespace chunksieve
