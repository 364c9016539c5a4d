#include "engine/run.h"

#include <cassert>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <system_error>
#include <thread>
#include <type_traits>

#include "platform/block_queue.h"
#include "platform/table_memory.h"
#include "platform/write_behind.h"

namespace chunksieve {

namespace {

// The two rings' blocks, 4 MiB that a run long enough for the threads touches within its first
// RING_BLOCKS blocks: committed in one call when the threads start, not a page fault at a time.
struct Rings {
    InputBlock in[RING_BLOCKS];
    struct alignas(64) OutputBlock {
        std::uint8_t bytes[STREAM_BLOCK];
    } out[RING_BLOCKS];

    // Committed rings, or nullptr when the memory cannot be had.
    static Rings* create();
    struct Release {
        void operator()(Rings* r) const;
    };
};
static_assert(std::is_trivially_default_constructible_v<Rings> &&
              std::is_trivially_destructible_v<Rings>);
constexpr std::size_t RINGS_BYTES = round_up(sizeof(Rings), COMMIT_UNIT_BYTES);

Rings* Rings::create() {
    void* p = reserve_region(RINGS_BYTES);
    if (p && !commit_region(p, RINGS_BYTES)) {
        release_region(p, RINGS_BYTES);
        p = nullptr;
    }
    return p ? new (p) Rings : nullptr;  // trivial: the blocks are left as they are
}

void Rings::Release::operator()(Rings* r) const {
    release_region(r, RINGS_BYTES);
}

// The reader and writer threads and their two rings of blocks. The filter takes its input
// straight from the input ring and writes straight into the output ring: no block is copied.
//
//   reader thread --(input ring)--> this thread: the filter --(output ring)--> writer thread
//
// The reader makes exactly the calls the one-thread driver would, only earlier: one read of
// STREAM_BLOCK bytes per block, until the first that returns 0 or fails. The writer makes the
// same writes in the same order, only later. For the block loop the reader also finds the chunk
// ends of each block it reads, going on from where the filter's search stood when the threads
// started, and keys the block's chunks too while it is well ahead: the filter takes them with
// the block, and this thread is left the rest of the keys, the index and the output.
class Overlapped {
  public:
    Overlapped(StreamIo& io, DedupFilter& f, std::uint32_t ends_room)
        : io_(io), filter_(f), ends_room_(ends_room) {}
    Overlapped(const Overlapped&) = delete;
    Overlapped& operator=(const Overlapped&) = delete;
    // Stops the reader, lets the writer write every block pushed so far, and joins both.
    ~Overlapped();

    // Starts the threads, and moves what the filter has written so far into the output ring;
    // false (and nothing changed) when the rings' memory or a thread could not be had.
    bool start(StreamChannel& ch);
    // The filter's next input block, which releases the one it had.
    RunStatus refill(StreamChannel& ch);
    // Hands the filter's output block to the writer; for the last one (`last`) waits until
    // every block has been written. Gives the filter a free block unless `last`.
    RunStatus flush(StreamChannel& ch, bool last);

  private:
    // Between writes the writer has time to spare: the index's next memory is committed there
    // rather than in the middle of the filter's insertions.
    static void commit_ahead(void* filter) {
        static_cast<DedupFilter*>(filter)->index.commit_ahead();
    }

    void read_ahead();
    void point_output(StreamChannel& ch) {
        ch.output_cursor = ch.output_start = out_->buffer();
        ch.output_end = ch.output_start + STREAM_BLOCK;
    }

    StreamIo& io_;
    DedupFilter& filter_;
    const std::uint32_t ends_room_;  // the most ends the reader keeps for a block
    // Every side that had to wait is woken once it has half a ring of work, or at the end.
    BlockQueue in_{RING_BLOCKS, RING_BLOCKS / 2, RING_BLOCKS / 2};
    std::unique_ptr<Rings, Rings::Release> rings_;
    std::optional<WriteBehind> out_;              // on the output ring, whose blocks it outlives
    std::ptrdiff_t in_length_[RING_BLOCKS] = {};  // a read's result: bytes, 0 or -1
    // The reader's search for chunk ends, with the filter's kernels; none for the plain loop.
    const ChunkingKernels* kernels_ = nullptr;
    EndSearch search_;
    BlockEnds in_ends_[RING_BLOCKS];   // of each block read
    ChunkCut cuts_[MAX_BLOCK_CHUNKS];  // the reader's: a block's ends as they are found
    KeyJob jobs_[MAX_BLOCK_CHUNKS];    // and its chunks to key
    // The reader keys a block when at least this many wait for the filter: the filter is then the
    // slower side (the threshold's measurements: docs/performance.md).
    static constexpr std::uint32_t KEY_AHEAD_BLOCKS = RING_BLOCKS / 2;
    bool holding_input_ = false;  // the filter works on rings_->in[in_.front()]
    std::thread reader_;
};

Overlapped::~Overlapped() {
    in_.close();
    if (reader_.joinable()) reader_.join();
    out_.reset();  // writes every block handed on, and joins the writer
}

bool Overlapped::start(StreamChannel& ch) {
    // The filter is suspended between two blocks: its search stands where the reader's begins.
    kernels_ = filter_.kernels;
    search_ = filter_.end_search();
    rings_.reset(Rings::create());
    if (!rings_) return false;
    std::uint8_t* slots[RING_BLOCKS];
    for (std::uint32_t i = 0; i < RING_BLOCKS; ++i)
        slots[i] = rings_->out[i].bytes;
    // Every side that had to wait is woken once it has half a ring of work, or at the end.
    out_.emplace(io_,
                 WriteBehind::Shape{RING_BLOCKS, STREAM_BLOCK, RING_BLOCKS / 2, RING_BLOCKS / 2,
                                    commit_ahead, &filter_},
                 slots);
    if (!out_->start()) return false;
    try {
        reader_ = std::thread([this] { read_ahead(); });
    } catch (const std::system_error&) {
        return false;  // the destructor joins the writer
    }
    // The filter's output block so far goes on in the first ring block; nothing is handed on
    // yet, so the writer cannot be using that one.
    const std::size_t pending = std::size_t(ch.output_cursor - ch.output_start);
    std::uint8_t* const first = out_->buffer();
    std::memcpy(first, ch.output_start, pending);
    point_output(ch);
    ch.output_cursor = first + pending;
    return true;
}

void Overlapped::read_ahead() {
    while (in_.wait_for_room()) {
        const std::uint32_t slot = in_.back();
        const std::ptrdiff_t got = io_.read(rings_->in[slot].data(), STREAM_BLOCK);
        in_length_[slot] = got;
        if (kernels_ && got > 0) {
            BlockEnds& ends = in_ends_[slot];
            ends.find(*kernels_, search_, rings_->in[slot].data(), std::size_t(got), cuts_,
                      ends_room_);
            // Well ahead of the filter, this thread takes on the block's keys too: the filter
            // is the slower side then, and the block is still in this core's cache.
            if (in_.waiting() >= KEY_AHEAD_BLOCKS)
                ends.key(*kernels_, rings_->in[slot].data(), jobs_);
        }
        in_.push();
        if (got <= 0) break;  // the end, or a failure: either way the last read
    }
    in_.close();  // wakes the filter's thread for the last blocks
}

RunStatus Overlapped::refill(StreamChannel& ch) {
    if (holding_input_) in_.pop();
    holding_input_ = false;
    // The reader closes the ring only after its last block, which ends the filter's input.
    if (!in_.wait_for_block()) return RunStatus::read_failed;
    holding_input_ = true;
    const std::uint32_t slot = in_.front();
    const std::ptrdiff_t got = in_length_[slot];
    if (got < 0) return RunStatus::read_failed;
    if (got == 0) ch.end_of_input = 1;
    if (kernels_ && got > 0) filter_.take_ends(&in_ends_[slot]);
    ch.input_start = rings_->in[slot].data();
    ch.input_cursor = ch.input_start;
    ch.input_end = ch.input_start + got;
    return RunStatus::complete;
}

RunStatus Overlapped::flush(StreamChannel& ch, bool last) {
    const auto n = std::size_t(ch.output_cursor - ch.output_start);
    bool ok = out_->hand_on(n, !last);
    if (last)
        ok = out_->finish() && ok;
    else if (ok)
        point_output(ch);
    return ok ? RunStatus::complete : RunStatus::write_failed;
}

// Whether to start the threads before serving this read, the `reads`th.
bool overlap_now(Overlap overlap, std::int64_t input_size, std::uint64_t reads) {
    switch (overlap) {
        case Overlap::never:
            return false;
        case Overlap::always:
            return reads == 0;
        case Overlap::automatic:
            break;
    }
    if (input_size >= 0) return reads == 0 && input_size >= OVERLAP_MIN_INPUT;
    return reads == OVERLAP_AFTER_READS;
}

}  // namespace

RunStatus run_filter(DedupFilter& f, StreamIo& io, Overlap overlap, std::uint32_t ends_room) {
    StreamChannel& ch = f.channel;
    const std::int64_t input_size = io.input_size();
    std::uint64_t reads = 0;
    std::unique_ptr<Overlapped> threads;  // none: this thread reads and writes

    f.start();
    for (;;) {
        RunStatus status = RunStatus::complete;
        switch (ch.request) {
            case REQ_INPUT:
                if (!threads && overlap_now(overlap, input_size, reads)) {
                    threads.reset(new (std::nothrow) Overlapped(io, f, ends_room));
                    if (threads && !threads->start(ch)) threads.reset();  // on one thread, then
                }
                ++reads;
                if (threads) {
                    status = threads->refill(ch);
                } else {
                    const std::ptrdiff_t got = io.read(f.input_buffer(), STREAM_BLOCK);
                    if (got < 0) return RunStatus::read_failed;
                    if (got == 0) ch.end_of_input = 1;
                    ch.input_start = f.input_buffer();
                    ch.input_cursor = ch.input_start;
                    ch.input_end = ch.input_start + got;
                }
                break;
            case REQ_NO_MEMORY:
                // The filter stopped for good; the blocks it handed over are still written.
                return RunStatus::no_memory;
            case REQ_MAP_FAILED:
                return RunStatus::map_failed;
            default: {
                // REQ_OUTPUT: a full buffer. REQ_DONE, or REQ_NONE from a body that returned: the
                // rest, and the run is over.
                const bool last = ch.request != REQ_OUTPUT;
                if (threads) {
                    status = threads->flush(ch, last);
                } else {
                    const std::size_t n = std::size_t(ch.output_cursor - ch.output_start);
                    // An empty last block is no write, as the writer thread hands on none.
                    if (n > 0 && !io.write_all(ch.output_start, n)) return RunStatus::write_failed;
                    f.reset_output();
                }
                if (last && status == RunStatus::complete) return status;
                break;
            }
        }
        if (status != RunStatus::complete) return status;  // threads stopped on the way out
        resume(ch);
    }
}

}  // namespace chunksieve
