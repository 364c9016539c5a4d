// ChunkOrder: the recent order of a chain's chunks, so that a stretch of the input that goes as
// an earlier one went costs one record however many breaks it holds.
//
// Each chunk has a reference: its ordinal when it is new, its first copy's when it is a repeat.
// A stretch is a run of chunks whose references go up by one; a break ends it. The order is the
// chain's stretches, numbered from 0 across its runs, the most recent of them held in a ring.
// A replay record names a place in an earlier stretch (how many stretches back, and how far in)
// and takes its chunks' references from there on, stretch after stretch, as the input went then.
// An edited copy of an earlier input (a tar whose files share headers, padding and whole
// objects) goes as that input went between its edits: a few records an edit, where records of
// references alone take one for each break.
//
// The writer and the reader keep the order alike: both give it every chunk's reference in
// order. It lasts across the runs of a chain: the saved index carries it, and expand rebuilds
// it by walking the earlier links.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace chunksieve {

// A place in the order: a stretch's number and the chunks into it.
struct OrderPlace {
    std::uint64_t stretch = 0;
    std::uint64_t offset = 0;
};

class ChunkOrder {
  public:
    static constexpr std::uint32_t MIN_BITS = 10;  // 1,024 stretches, 8 KiB
    static constexpr std::uint32_t MAX_BITS = 18;  // 262,144 stretches, 2 MiB
    static constexpr std::uint64_t LENGTH_CAP = (std::uint64_t(1) << 24) - 1;
    static constexpr std::uint64_t REF_LIMIT = std::uint64_t(1) << 40;  // references below
    static constexpr std::uint64_t NONE = ~std::uint64_t(0);

    // With `finder`, the order also keeps where recent stretches began, for the writer's find().
    explicit ChunkOrder(bool finder = false) : finder_(finder) { reset(); }

    // Empty: no stretch yet.
    void reset();

    // A run's chunks begin: the first starts a stretch.
    void begin_run() { prev_ = NONE; }

    // The next chunk's reference (below REF_LIMIT). A stretch ends at a break, at a run's start
    // and at LENGTH_CAP chunks. The ring doubles when full, up to MAX_BITS; then the oldest
    // stretch goes.
    void add(std::uint64_t ref) {
        if (prev_ != NONE && ref == prev_ + 1) {
            std::uint64_t& s = ring_[(count_ - 1) & mask()];
            if ((s >> 40) < LENGTH_CAP) {
                s += std::uint64_t(1) << 40;
                prev_ = ref;
                return;
            }
        }
        push(ref);
        prev_ = ref;
    }

    std::uint64_t stretches() const { return count_; }
    std::size_t slots() const { return std::size_t(1) << bits_; }

    // The reference at `p`; NONE when its stretch is not held or it is past the stretch's end.
    std::uint64_t at(const OrderPlace& p) const {
        if (p.stretch >= count_ || count_ - p.stretch > slots()) return NONE;
        const std::uint64_t s = ring_[p.stretch & mask()];
        return p.offset < (s >> 40) ? (s & (REF_LIMIT - 1)) + p.offset : NONE;
    }
    // The place after `p`, once its reference has been added.
    void advance(OrderPlace& p) const {
        if (p.stretch < count_ && ++p.offset < (ring_[p.stretch & mask()] >> 40)) return;
        ++p.stretch;
        p.offset = 0;
    }

    // The writer's search for a place whose reference is `ref`: in the stretches from `near`
    // on (where a replay broke off: after an edit the input goes on a little further), then in
    // the latest stretch that began with `ref`. False when neither holds it.
    bool find(std::uint64_t ref, const OrderPlace& near, OrderPlace& p) const;

    // The order as a saved index's section: the stretch count (8), the count held N (8), then
    // the N held, oldest first, each start | length << 40 (8).
    std::vector<std::uint8_t> section() const;
    // The order from such a section, of a chain with `ordinals` new chunks so far. False, and
    // the order emptied, when the section holds what section() never writes: more or fewer held
    // than the ring keeps, a stretch of no chunks or past `ordinals`.
    bool load_section(const std::uint8_t* p, std::size_t n, std::uint64_t ordinals);

  private:
    std::size_t mask() const { return slots() - 1; }
    void push(std::uint64_t start);
    void grow();
    void place_start(std::uint64_t stretch);
    static std::size_t start_slot(std::uint64_t ref, std::uint32_t bits) {
        return std::size_t((ref * 0x9E3779B97F4A7C15) >> (64 - bits));
    }

    bool finder_;
    std::uint32_t bits_ = 0;
    std::uint64_t count_ = 0;  // stretches so far, the last one going on
    std::uint64_t prev_ = NONE;
    std::unique_ptr<std::uint64_t[]> ring_;  // stretch n at n & mask: start | length << 40
    // With a finder: by start, the low 32 bits of a stretch's number + 1 (0: none), which name
    // one stretch of the ring's window.
    std::unique_ptr<std::uint32_t[]> starts_;
};

}  // namespace chunksieve
