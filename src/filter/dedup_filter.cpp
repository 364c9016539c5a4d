#include "filter/dedup_filter.h"

#include <cassert>
#include <cstring>

namespace chunksieve {

namespace {

// Whether the index held the key; inserts it if not. When the index cannot get the memory to
// insert, the run cannot go on with the right answers: the filter stops here for good.
inline std::uint32_t ask_index(DedupFilter& f, const ChunkKey& key, std::uint64_t value) {
    if (f.flat_reference) [[unlikely]]
        return f.flat_reference->lookup_or_insert(key, value);
    const std::uint32_t found = f.index.lookup_or_insert(key, value);
    if (f.index.failed()) [[unlikely]]
        give_up(f.channel, REQ_NO_MEMORY);
    return found;
}

inline void prefetch_index(const DedupFilter& f, const ChunkKey& key) {
    if (f.flat_reference) [[unlikely]]
        f.flat_reference->prefetch(key);
    else
        f.index.prefetch(key);
}

// The reference: one byte at a time, every step as plain as it can be.
[[noreturn]] void plain_loop(DedupFilter& f) {
    StreamChannel& ch = f.channel;
    std::uint64_t total = 0;  // padded lengths of all chunks ended so far, found or new
    std::uint32_t tail = 0;   // the current chunk's last up to four bytes, most recent lowest
    std::uint8_t* const chunk = f.chunk_buffer();

    for (;;) {
        const int next = next_byte(ch);
        if (next < 0) finish(ch);  // the unfinished last chunk is neither keyed nor written
        const auto b = std::uint8_t(next);

        chunk[f.count] = b;
        tail = (tail << 8) | b;
        f.hash.push(b);
        f.digest.absorb(b);
        ++f.count;

        const ChunkEnd end = chunk_end_after(tail, f.count, f.hash.value());
        if (end == ChunkEnd::none) continue;

        const std::uint32_t n = f.count;
        const ChunkKey key = f.digest.finish(n);
        f.count = 0;
        const std::uint32_t found = ask_index(f, key, block_number(total));
        const std::uint64_t padded = padded_length(n);
        total += padded;
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

// Look-ups are prefetched this many chunks ahead: far enough to hide a cache miss, near enough
// that the lines are still there.
constexpr std::size_t PREFETCH_AHEAD = 8;

// The same output, a whole input block per step: find every chunk end in the block, key all of
// its chunks at once, then ask the index and write, in chunk order.
[[noreturn]] void block_loop(DedupFilter& f) {
    StreamChannel& ch = f.channel;
    const ChunkingKernels& k = *f.kernels;
    std::uint64_t total = 0;  // padded lengths of all chunks ended so far, found or new
    std::uint8_t* const chunk = f.chunk_buffer();

    for (;;) {
        if (ch.input_cursor >= ch.input_end) {
            suspend(ch, REQ_INPUT);
            if (ch.end_of_input) finish(ch);  // the unfinished last chunk is dropped
        }
        std::uint8_t* const data = f.input_buffer();
        assert(ch.input_cursor == data);  // blocks are taken whole
        const std::size_t len = std::size_t(ch.input_end - ch.input_cursor);
        // The scan reads the stream's bytes before the block through the room in front of it.
        std::memcpy(data - SCAN_HISTORY, f.history, SCAN_HISTORY);

        const std::uint32_t carried = f.scan.count;
        const std::size_t n = find_chunk_ends(k, f.scan, data, len, f.cuts);
        std::size_t prev = 0;
        for (std::size_t j = 0; j < n; ++j) {
            const std::size_t end = f.cuts[j].end;
            if (j == 0 && carried > 0) {
                // The chunk began in an earlier block: its bytes are gathered in the chunk buffer.
                std::memcpy(chunk + carried, data, end);
                f.jobs[0] = KeyJob{chunk, std::uint32_t(carried + end)};
            } else {
                f.jobs[j] = KeyJob{data + prev, std::uint32_t(end - prev)};
            }
            prev = end;
        }
        k.chunk_keys(f.jobs, n, f.keys);

        for (std::size_t j = 0; j < n; ++j) {
            if (j + PREFETCH_AHEAD < n) prefetch_index(f, f.keys[j + PREFETCH_AHEAD]);
            const KeyJob& c = f.jobs[j];
            const std::uint32_t found = ask_index(f, f.keys[j], block_number(total));
            const std::uint64_t padded = padded_length(c.length);
            total += padded;
            if (!found) {
                put_bytes(ch, c.data, c.length);
                put_fill(ch, fill_byte(f.cuts[j].how, c.data[c.length - 1]),
                         std::size_t(padded - c.length));
            }
        }

        // Keep the unfinished chunk's bytes, and the stream's last bytes for the next scan.
        if (n > 0)
            std::memcpy(chunk, data + prev, len - prev);
        else
            std::memcpy(chunk + carried, data, len);
        if (len >= SCAN_HISTORY) {
            std::memcpy(f.history, data + len - SCAN_HISTORY, SCAN_HISTORY);
        } else {
            std::memmove(f.history, f.history + len, SCAN_HISTORY - len);
            std::memcpy(f.history + SCAN_HISTORY - len, data, len);
        }
        ch.input_cursor = ch.input_end;
    }
}

}  // namespace

void filter_body(void* arg) {
    DedupFilter& f = *static_cast<DedupFilter*>(arg);
    f.channel.end_of_input = 0;
    f.hash.init();
    f.digest.reset();
    f.count = 0;
    f.scan = ChunkScan{};
    std::memset(f.history, 0, sizeof f.history);
    if (f.kernels)
        block_loop(f);
    else
        plain_loop(f);
}

}  // namespace chunksieve
