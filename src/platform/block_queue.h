// BlockQueue: the hand-over of numbered block slots from one thread to exactly one other.
//
// The producer fills slot back() and pushes it; the consumer takes slot front() and pops it. Each
// side advances its own counter, so a block passes with two atomic stores and no system call
// while neither side has to wait. A side waits only on a full queue (the producer) or an empty
// one (the consumer), and then sleeps until the other side has moved far enough for it to do a
// useful stretch of work, not at the other side's every step: that keeps wake-ups, and with them
// system calls and context switches, to one per several blocks.
#pragma once

#include <atomic>
#include <cassert>
#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace chunksieve {

class BlockQueue {
  public:
    // A queue of `slots` slots, a power of two (slot numbers are the counters modulo `slots`,
    // and the counters wrap at 2^32). A producer that found the queue full sleeps until
    // `producer_room` slots are free; a consumer that found it empty sleeps until
    // `consumer_blocks` blocks wait.
    BlockQueue(std::uint32_t slots, std::uint32_t producer_room, std::uint32_t consumer_blocks)
        : slots_(slots), producer_room_(producer_room), consumer_blocks_(consumer_blocks) {
        assert(slots > 0 && (slots & (slots - 1)) == 0);
        assert(producer_room >= 1 && producer_room <= slots);
        assert(consumer_blocks >= 1 && consumer_blocks <= slots);
    }
    BlockQueue(const BlockQueue&) = delete;
    BlockQueue& operator=(const BlockQueue&) = delete;

    // ---- producer ----
    // Waits for a free slot: true when back() may be filled, false once the queue is closed.
    bool wait_for_room();
    std::uint32_t back() const { return produced_.load(std::memory_order_relaxed) & (slots_ - 1); }
    // Hands slot back() over, with everything written to it before.
    void push();
    // Blocks pushed and not yet popped: how far ahead the producer is (the consumer may take
    // more meanwhile).
    std::uint32_t waiting() const { return filled(); }

    // ---- consumer ----
    // Waits for a block: true when front() may be read; false once the queue is closed and
    // every block pushed before has been taken.
    bool wait_for_block();
    std::uint32_t front() const { return consumed_.load(std::memory_order_relaxed) & (slots_ - 1); }
    // Gives slot front() back to the producer.
    void pop();

    // Either side: the producer will push nothing more (the consumer still takes what is
    // there), or the consumer takes nothing more (the producer stops). Wakes a sleeping side.
    void close();

  private:
    // Blocks waiting, from either side's view; the counters wrap together.
    std::uint32_t filled() const {
        return produced_.load(std::memory_order_seq_cst) -
               consumed_.load(std::memory_order_seq_cst);
    }
    bool producer_may_go() const { return closed_.load() || slots_ - filled() >= producer_room_; }
    bool consumer_may_go() const { return closed_.load() || filled() >= consumer_blocks_; }
    template <class Ready>
    void sleep_until(std::atomic<bool>& sleeping, Ready ready);
    void wake();

    const std::uint32_t slots_;
    const std::uint32_t producer_room_;
    const std::uint32_t consumer_blocks_;
    std::atomic<std::uint32_t> produced_{0};
    std::atomic<std::uint32_t> consumed_{0};
    std::atomic<bool> closed_{false};
    // A side sets its flag before it last checks whether it may go on, and the other side reads
    // it after it has moved its counter (both sequentially consistent): so either the sleeper
    // sees the move, or the mover sees the sleeper and wakes it under the mutex.
    std::atomic<bool> producer_sleeps_{false};
    std::atomic<bool> consumer_sleeps_{false};
    std::mutex mutex_;
    std::condition_variable woken_;
};

}  // namespace chunksieve
