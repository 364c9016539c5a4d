// A model of the fingerprint index, kept obviously correct rather than fast, and written from
// the index's stated behaviour only (it shares no code with src/index): a map from slot number
// to entry, in which an insertion collects the run, decides where each entry goes, and then
// rewrites the run as a whole.
//
// The behaviour modelled: a key's search starts at its home slot (key bytes 0..3, little-endian,
// modulo the slot count) and goes through occupied slots up to the first empty one, at most
// WINDOW slots, comparing whole 16-byte keys. Found: 1, and nothing changes. Not found with
// value 0: 0, and nothing changes. Otherwise the new key takes home and each entry of the run
// moves up one slot; but when the run wraps past the last slot, its entries in slots 0, 1, ...
// stay where they are and the entry from the last slot goes to the slot just past the run's end
// instead. A run that already had WINDOW entries loses the entry that would have gone past its
// end: the one in its highest slot (home + 15, or the last slot when it wraps).
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <vector>

namespace chunksieve::model {

constexpr std::uint32_t SLOTS = std::uint32_t(1) << 25;
constexpr std::uint32_t LAST = SLOTS - 1;
constexpr std::uint32_t WINDOW = 16;

using Key = std::array<std::uint8_t, 16>;

struct Entry {
    Key key;
    std::uint64_t value;
};

class RunModel {
  public:
    static std::uint32_t home(const Key& k) {
        const std::uint32_t word = std::uint32_t(k[0]) | std::uint32_t(k[1]) << 8 |
                                   std::uint32_t(k[2]) << 16 | std::uint32_t(k[3]) << 24;
        return word % SLOTS;
    }

    std::uint32_t lookup_or_insert(const Key& key, std::uint64_t value) {
        const std::uint32_t h = home(key);
        std::vector<std::uint32_t> run;  // the occupied slots from home, in search order
        for (std::uint32_t i = 0; i < WINDOW; ++i) {
            const std::uint32_t s = (h + i) % SLOTS;
            const auto it = slots_.find(s);
            if (it == slots_.end()) break;
            if (it->second.key == key) return 1;
            run.push_back(s);
        }
        if (value == 0) return 0;

        // A wrapped run continues in slots numbered below home.
        const bool wraps = !run.empty() && run.back() < h;
        const bool full = run.size() == WINDOW;
        const std::uint32_t past_end = run.empty() ? h : (run.back() + 1) % SLOTS;
        const std::uint32_t leaving = run.empty() ? h : wraps ? LAST : run.back();

        std::vector<std::pair<std::uint32_t, Entry>> moved;
        for (const std::uint32_t s : run) {
            if (wraps && s < h) continue;  // behind the last slot: stays put
            if (full && s == leaving) continue;
            const std::uint32_t to = wraps && s == LAST ? past_end : (s + 1) % SLOTS;
            moved.emplace_back(to, slots_.at(s));
        }
        for (const std::uint32_t s : run)
            if (!(wraps && s < h)) slots_.erase(s);
        for (const auto& [to, e] : moved)
            slots_[to] = e;
        slots_[h] = Entry{key, value};
        return 0;
    }

    // The entry in slot s, or nullptr when the slot is empty.
    const Entry* at(std::uint32_t s) const {
        const auto it = slots_.find(s);
        return it == slots_.end() ? nullptr : &it->second;
    }

  private:
    std::map<std::uint32_t, Entry> slots_;
};

}  // namespace chunksieve::model
