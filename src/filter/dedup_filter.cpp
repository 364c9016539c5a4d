#include "filter/dedup_filter.h"

#include <algorithm>
#include <cassert>
#include <cstring>
#include <new>

namespace chunksieve {

namespace {

// Look-ups are prefetched this many chunks ahead: far enough to hide a cache miss, near enough
// that the lines are still there. The index is prefetched in two steps: the directory word that
// finds a key's block first, the block itself once that word is at hand.
constexpr std::size_t PREFETCH_AHEAD = 8;
constexpr std::size_t PREFETCH_DIRECTORY_AHEAD = 24;
static_assert(PREFETCH_AHEAD < PREFETCH_DIRECTORY_AHEAD);

// Whether chunks of `bytes` bytes in all, the longest `longest` bytes, keep `lanes` lanes busy
// for all but a fraction of the time: the longest chain is at most `slack` times a fair share.
bool lanes_kept_busy(std::uint64_t longest, std::uint64_t bytes, std::uint32_t lanes,
                     std::uint32_t slack) {
    return longest * lanes <= slack * bytes;
}

// A block's n chunks, the first of which has `carried` bytes in earlier blocks: their bytes in
// all, and the longest.
struct BlockShape {
    std::size_t bytes = 0;
    std::size_t longest = 0;
};

BlockShape block_shape(const ChunkCut* cuts, std::size_t n, std::size_t carried) {
    BlockShape s;
    for (std::size_t j = 0, prev = 0; j < n; prev = cuts[j++].end)
        s.longest = std::max(s.longest, cuts[j].end - prev + (j == 0 ? carried : 0));
    s.bytes = n > 0 ? carried + cuts[n - 1].end : 0;
    return s;
}

// The one rule for whether a block is held, asked by the filter and by the reader that keys
// blocks ahead of it: when no held chunks wait, a block's chunks are keyed where the block lies
// if they keep the lanes busy enough, the longest at most twice a fair share of their time.
bool keyed_in_place(const BlockShape& s, std::uint32_t lanes) {
    return lanes_kept_busy(s.longest, s.bytes, lanes, 2);
}

}  // namespace

// The filter body's steps, which alone reach into the filter's state.
struct FilterSteps {
    static std::uint32_t ask_index(DedupFilter& f, const ChunkKey& key, std::uint64_t value,
                                   std::uint64_t* held = nullptr);
    static std::uint32_t ask_index_mapped(DedupFilter& f, const ChunkKey& key, std::uint32_t n);
    [[noreturn]] static void plain_loop(DedupFilter& f);
    static void prefetch_index(const DedupFilter& f, const ChunkKey* keys, std::size_t j,
                               std::size_t n);
    static void key_and_write(DedupFilter& f, std::size_t n, std::uint64_t& total,
                              std::size_t to_key);
    [[noreturn]] static void block_loop(DedupFilter& f);
};

// Whether the index held the key (and, given `held`, the value stored with it); inserts it if
// not. When the index cannot get the memory to insert, the run cannot go on with the right
// answers: the filter stops here for good.
inline std::uint32_t FilterSteps::ask_index(DedupFilter& f, const ChunkKey& key,
                                            std::uint64_t value, std::uint64_t* held) {
    const std::uint32_t found = f.index.lookup_or_insert(key, value, held);
    if (f.index.failed()) [[unlikely]]
        give_up(f.channel, REQ_NO_MEMORY);
    return found;
}

// The same with a map: the index is given the chunk's ordinal (plus one) and, for a chunk it
// holds, says the ordinal of its first copy, which the map records. A key whose value is not
// known (or that no longer fits) cannot be referred to: the run cannot go on.
inline std::uint32_t FilterSteps::ask_index_mapped(DedupFilter& f, const ChunkKey& key,
                                                   std::uint32_t n) {
    MapWriter& map = *f.map;
    const std::uint64_t value = map.next_ordinal() + 1;
    if (value >= FingerprintIndex::VALUE_MASK) [[unlikely]]
        give_up(f.channel, REQ_MAP_FAILED);
    std::uint64_t held = 0;
    const std::uint32_t found = ask_index(f, key, value, &held);
    if (!found) {
        map.add_new(n);
    } else {
        if (held == 0 || held >= FingerprintIndex::VALUE_MASK) [[unlikely]]
            give_up(f.channel, REQ_MAP_FAILED);
        map.add_repeat(held - 1, n);
    }
    if (map.failed()) [[unlikely]]  // the sink refused a frame
        give_up(f.channel, REQ_MAP_FAILED);
    return found;
}

// The reference: one byte at a time, every step as plain as it can be.
[[noreturn]] void FilterSteps::plain_loop(DedupFilter& f) {
    StreamChannel& ch = f.channel;
    std::uint64_t total = f.total;  // kept in a local while the loop runs
    std::uint32_t tail = 0;         // the current chunk's last up to four bytes, most recent lowest
    std::uint8_t* const chunk = f.held_area_;

    for (;;) {
        const int next = next_byte(ch);
        if (next < 0) {
            f.counts.tail_bytes = f.count_;
            f.tail_ = chunk;
            f.total = total;
            finish(ch);  // the unfinished last chunk is neither keyed nor written
        }
        const auto b = std::uint8_t(next);

        chunk[f.count_] = b;
        tail = (tail << 8) | b;
        f.hash_.push(b);
        f.digest_.absorb(b);
        ++f.count_;

        const ChunkEnd end = chunk_end_after(tail, f.count_, f.hash_.value());
        if (end == ChunkEnd::none) continue;

        const std::uint32_t n = f.count_;
        const ChunkKey key = f.digest_.finish(n);
        f.count_ = 0;
        const std::uint32_t found =
            f.map ? ask_index_mapped(f, key, n) : ask_index(f, key, block_number(total));
        const std::uint64_t padded = padded_length(n);
        total += padded;
        f.counts.add_chunk(n, padded, found);
        if (!found) {
            for (std::uint32_t i = 0; i < n; ++i)
                put_byte(ch, chunk[i]);
            const std::uint8_t fill = fill_byte(end, b);
            for (std::uint64_t i = n; i < padded; ++i)
                put_byte(ch, fill);
        }
        tail = 0;
    }
}

// Before the look-up of chunk j of n.
inline void FilterSteps::prefetch_index(const DedupFilter& f, const ChunkKey* keys, std::size_t j,
                                        std::size_t n) {
    if (j + PREFETCH_DIRECTORY_AHEAD < n)
        f.index.prefetch_directory(keys[j + PREFETCH_DIRECTORY_AHEAD]);
    if (j + PREFETCH_AHEAD < n) f.index.prefetch(keys[j + PREFETCH_AHEAD]);
}

// Keys jobs[0, to_key) (keys[to_key, n) are known already), then asks the index about each of
// jobs[0, n) and writes the new ones, in chunk order.
void FilterSteps::key_and_write(DedupFilter& f, std::size_t n, std::uint64_t& total,
                                std::size_t to_key) {
    StreamChannel& ch = f.channel;
    if (to_key > 0) {
        // The chunks' bytes may sit in another core's cache (the reader's): asked for all at
        // once, their lines come over side by side, where the kernel would wait for each
        // step's.
        for (std::size_t j = 0; j < to_key; ++j)
            for (std::size_t at = 0; at < f.jobs_[j].length; at += 64)
                __builtin_prefetch(f.jobs_[j].data + at);
        f.kernels->chunk_keys(f.jobs_, to_key, f.keys_);
    }
    for (std::size_t j = 0; j < n; ++j) {
        prefetch_index(f, f.keys_, j, n);
        const KeyJob& c = f.jobs_[j];
        const std::uint32_t found = f.map ? ask_index_mapped(f, f.keys_[j], c.length)
                                          : ask_index(f, f.keys_[j], block_number(total));
        const std::uint64_t padded = padded_length(c.length);
        total += padded;
        f.counts.add_chunk(c.length, padded, found);
        if (!found) {
            put_bytes(ch, c.data, c.length);
            put_fill(ch, f.fills_[j], std::size_t(padded - c.length));
        }
    }
}

// The same output, a whole input block per step: find every chunk end in the block, key its
// chunks all at once, then ask the index and write, in chunk order. A block whose keys one long
// chunk would dominate is held, with the blocks after it, until the held chunks fill the lanes.
[[noreturn]] void FilterSteps::block_loop(DedupFilter& f) {
    StreamChannel& ch = f.channel;
    const ChunkingKernels& k = *f.kernels;
    std::uint64_t total = f.total;  // kept in a local while the loop runs
    std::uint8_t* const held = f.held_area_;
    // The held area holds jobs[0, held_chunks), back to back (held_chunk_bytes in all, the
    // longest held_longest), and then the unfinished chunk: held_bytes in all.
    std::size_t held_bytes = 0;
    std::size_t held_chunks = 0;
    std::size_t held_chunk_bytes = 0;
    std::size_t held_longest = 0;

    for (;;) {
        if (ch.input_cursor >= ch.input_end) {
            suspend(ch, REQ_INPUT);
            if (ch.end_of_input) {
                key_and_write(f, held_chunks, total, held_chunks);
                f.counts.tail_bytes = f.search_.scan.count;
                f.tail_ = held + held_bytes - f.search_.scan.count;
                f.total = total;
                finish(ch);  // the unfinished last chunk is dropped
            }
        }
        std::uint8_t* const data = ch.input_start;  // an InputBlock's data: room around it
        assert(ch.input_cursor == data);            // blocks are taken whole
        const std::size_t len = std::size_t(ch.input_end - ch.input_cursor);

        const std::size_t carried = f.search_.scan.count;  // the last bytes of the held area
        assert(held_bytes - held_chunk_bytes == carried);
        const ChunkCut* cuts = f.cuts_;
        std::size_t n;
        const BlockEnds* const found = f.found_ends_;
        f.found_ends_ = nullptr;
        // The driver's reader searched this block already, from where this search stands.
        assert(!found || f.search_ == found->before());
        const std::uint8_t* found_fills = nullptr;
        if (found && found->kept()) {
            cuts = found->cuts();
            n = found->count();
            found_fills = found->fills();
            f.search_ = found->after();
        } else {  // no reader, or one without room for this block's ends: this thread searches
            n = f.search_.next_block(k, data, len, f.cuts_);
        }
        const BlockShape shape = block_shape(cuts, n, carried);

        // The block's chunks are keyed where they are, unless its longest chunk would take more
        // than twice a fair share of the lanes' time: then the block is copied behind the held
        // area's bytes, and its chunks wait until the held ones keep the lanes busy (the bound
        // is tighter there, so that a mostly busy block is not held at all and a held run is
        // not let go at once). Either way a first chunk that began in an earlier block is
        // gathered in the held area, behind its bytes so far.
        const bool in_place = held_chunks == 0 && keyed_in_place(shape, k.key_lanes);
        const std::uint8_t* block = data;  // where the block's bytes are read from
        if (in_place) {
            if (carried > 0 && n > 0) std::memcpy(held + held_bytes, data, cuts[0].end);
        } else {
            std::memcpy(held + held_bytes, data, len);
            block = held + held_bytes;
        }
        for (std::size_t j = 0, prev = 0; j < n; prev = cuts[j++].end) {
            const std::uint8_t* start =
                j > 0 || carried == 0 ? block + prev : held + held_bytes - carried;
            const auto length = std::uint32_t(cuts[j].end - prev + (j == 0 ? carried : 0));
            f.jobs_[held_chunks] = KeyJob{start, length};
            f.fills_[held_chunks] =
                found_fills ? found_fills[j] : fill_byte(cuts[j].how, start[length - 1]);
            ++held_chunks;
        }

        if (in_place) {
            // jobs[j] is the block's chunk j. The reader may have keyed all but a first one
            // that began in an earlier block.
            std::size_t to_key = held_chunks;
            if (found && found->kept() && found->keyed_from() < n) {
                to_key = found->keyed_from();
                std::memcpy(f.keys_ + to_key, found->keys() + to_key,
                            (n - to_key) * sizeof(ChunkKey));
            }
            key_and_write(f, held_chunks, total, to_key);
            held_chunks = 0;
            // Keep the unfinished chunk's bytes.
            const std::size_t from = n > 0 ? cuts[n - 1].end : 0;
            const std::size_t kept = n > 0 ? 0 : held_bytes;
            std::memcpy(held + kept, data + from, len - from);
            held_bytes = kept + len - from;
            held_chunk_bytes = 0;
        } else {
            held_bytes += len;
            held_chunk_bytes += shape.bytes;
            held_longest = std::max(held_longest, shape.longest);
            if (lanes_kept_busy(held_longest, held_chunk_bytes, k.key_lanes, 1) ||
                held_bytes + STREAM_BLOCK > HELD_BYTES ||
                held_chunks + MAX_BLOCK_CHUNKS > MAX_HELD_CHUNKS) {
                key_and_write(f, held_chunks, total, held_chunks);
                held_chunks = 0;
                held_bytes -= held_chunk_bytes;
                std::memmove(held, held + held_chunk_bytes, held_bytes);
                held_chunk_bytes = 0;
                held_longest = 0;
            }
        }
        ch.input_cursor = ch.input_end;
    }
}

void BlockEnds::find(const ChunkingKernels& k, EndSearch& search, std::uint8_t* data,
                     std::size_t len, ChunkCut* scratch, std::uint32_t room) {
    before_ = search;
    const auto n = std::uint32_t(search.next_block(k, data, len, scratch));
    after_ = search;
    count_ = n;
    keyed_from_ = n;
    if (n > capacity_ && n <= room) {
        // Room for twice as many, within what a block can have: a few growths at most.
        const std::uint32_t grown = std::uint32_t(
            std::min<std::size_t>(std::max<std::size_t>(2 * std::size_t(n), 256), room));
        cuts_.reset(new (std::nothrow) ChunkCut[grown]);
        keys_.reset(new (std::nothrow) ChunkKey[grown]);
        fills_.reset(new (std::nothrow) std::uint8_t[grown]);
        capacity_ = cuts_ && keys_ && fills_ ? grown : 0;
    }
    kept_ = n <= capacity_ && n <= room;
    if (!kept_) return;
    std::copy_n(scratch, n, cuts_.get());
    // A chunk's last byte always lies in the block where it ends: every end is at least 1.
    for (std::uint32_t j = 0; j < n; ++j) {
        assert(scratch[j].end >= 1);
        fills_[j] = fill_byte(scratch[j].how, data[scratch[j].end - 1]);
    }
}

void BlockEnds::key(const ChunkingKernels& k, const std::uint8_t* data, KeyJob* jobs) {
    const std::uint32_t carried = before_.scan.count;
    const std::uint32_t n = count_;
    if (!kept_ || n == 0) return;
    const ChunkCut* cuts = cuts_.get();
    if (!keyed_in_place(block_shape(cuts, n, carried), k.key_lanes))
        return;  // the filter would hold it
    const std::uint32_t first = carried > 0 ? 1 : 0;
    for (std::uint32_t j = first; j < n; ++j) {
        const std::uint32_t prev = j > 0 ? cuts[j - 1].end : 0;
        jobs[j - first] = KeyJob{data + prev, cuts[j].end - prev};
    }
    k.chunk_keys(jobs, n - first, keys_.get() + first);
    keyed_from_ = first;
}

std::size_t EndSearch::next_block(const ChunkingKernels& k, std::uint8_t* data, std::size_t len,
                                  ChunkCut* cuts) {
    std::memcpy(data - SCAN_HISTORY, history, SCAN_HISTORY);
    const std::size_t n = find_chunk_ends(k, scan, data, len, cuts);
    // Keep the stream's last bytes for the next block.
    if (len >= SCAN_HISTORY) {
        std::memcpy(history, data + len - SCAN_HISTORY, SCAN_HISTORY);
    } else {
        std::memmove(history, history + len, SCAN_HISTORY - len);
        std::memcpy(history + SCAN_HISTORY - len, data, len);
    }
    return n;
}

std::uint64_t run_index_id(const DedupFilter& f, std::uint64_t from, std::uint32_t input_crc) {
    const FilterCounts& c = f.counts;
    return next_index_id(from, input_crc, c.chunk_bytes + c.tail_bytes, c.chunks,
                         f.map->next_ordinal());
}

bool finish_map(DedupFilter& f, std::uint32_t input_crc, std::uint64_t index_id) {
    const FilterCounts& c = f.counts;
    MapEnd end;
    end.chunks = c.chunks;
    end.new_chunks = c.new_chunks;
    end.input_bytes = c.chunk_bytes + c.tail_bytes;
    end.output_bytes = c.new_bytes + c.fill_bytes;
    end.input_crc = input_crc;
    end.saved_index = index_id != 0;
    end.index_id = index_id;
    end.next_ordinal = f.map->next_ordinal();
    return f.map->finish(f.tail_, c.tail_bytes, end);
}

void DedupFilter::start() {
    channel.input_start = input_buffer();
    channel.input_cursor = channel.input_end = channel.input_start;
    reset_output();
    channel.end_of_input = 0;
    chunksieve::start(channel, stack_, sizeof stack_, filter_body, this);
}

void filter_body(void* arg) {
    DedupFilter& f = *static_cast<DedupFilter*>(arg);
    // Each input is chunked from its first byte, as if no input had come before, and counted
    // afresh; only the index and the running total carry over from earlier inputs.
    f.channel.end_of_input = 0;
    f.counts = FilterCounts{};
    f.hash_.init();
    f.digest_.reset();
    f.count_ = 0;
    f.search_ = EndSearch{};
    f.found_ends_ = nullptr;
    f.tail_ = nullptr;
    if (f.kernels)
        FilterSteps::block_loop(f);
    else
        FilterSteps::plain_loop(f);
}

}  // namespace chunksieve
