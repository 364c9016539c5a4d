#include "filter/dedup_filter.h"

namespace chunksieve {

void filter_body(void* arg) {
    DedupFilter& f = *static_cast<DedupFilter*>(arg);
    StreamChannel& ch = f.channel;

    ch.end_of_input = 0;
    f.hash.init();
    f.digest.reset();
    f.count = 0;
    std::uint64_t total = 0;  // padded lengths of all chunks ended so far, found or new
    std::uint32_t tail = 0;   // the current chunk's last up to four bytes, most recent lowest

    for (;;) {
        const int next = next_byte(ch);
        if (next < 0) finish(ch);  // the unfinished last chunk is neither keyed nor written
        const auto b = std::uint8_t(next);

        f.chunk_buffer[f.count] = b;
        tail = (tail << 8) | b;
        f.hash.push(b);
        f.digest.absorb(b);
        ++f.count;

        const ChunkEnd end = chunk_end_after(tail, f.count, f.hash.value());
        if (end == ChunkEnd::none) continue;

        const std::uint32_t n = f.count;
        f.key = f.digest.finish(n);
        f.count = 0;
        // Block number: the chunk's place, in 64-byte units, among all chunks each padded to
        // 64 bytes, plus one; never 0, which marks an empty slot.
        const std::uint64_t block_number = (total >> 6) + 1;
        const std::uint32_t found = f.index.lookup_or_insert(f.key, block_number);
        const std::uint64_t padded = padded_length(n);
        total += padded;
        if (!found) {
            for (std::uint32_t i = 0; i < n; ++i) put_byte(ch, f.chunk_buffer[i]);
            const std::uint8_t fill = end == ChunkEnd::marker ? 0x00 : b;
            for (std::uint64_t i = n; i < padded; ++i) put_byte(ch, fill);
        }
        tail = 0;
    }
}

}  // namespace chunksieve
