// WriteBehind: bytes made on one thread and written to a sink, in order, by another.
//
// The caller fills buffer() and hands it on; a thread of the helper's own gives each buffer to
// the sink while the caller fills the next, so that the sink's copying runs beside the work that
// makes the bytes. The buffers are a ring whose slots pass through a BlockQueue: either side
// sleeps only on a full ring (the caller) or an empty one (the writer), for as long as the shape's
// thresholds say.
//
// What the sink sees, whichever thread writes:
// - every buffer handed on, in the order handed on, whole in one write_all() (never an empty one);
// - nothing more from the first write it refuses: the helper reports the failure to the caller
//   (hand_on(), wait_written() and finish() return false) and written() counts the bytes it
//   took before it;
// - every buffer handed on before a failure, also when the helper is destroyed without finish():
//   the destructor waits for them and joins the thread. What buffer() holds and was not handed on
//   is dropped.
//
// The thread starts at the first full buffer handed on, so that a short output costs no thread
// and no ring, or at once with start(). When no thread, or no memory for the rest of the ring,
// can be had, every buffer is written at once on the caller's thread from the first buffer alone:
// slower, and the same writes.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>

#include "platform/block_queue.h"
#include "stream/byte_sink.h"

namespace chunksieve {

class WriteBehind {
  public:
    static constexpr std::uint32_t MAX_BUFFERS = 32;

    struct Shape {
        std::uint32_t buffers;  // in the ring: a power of two, at most MAX_BUFFERS
        std::size_t bytes;      // of each buffer
        // A caller that found the ring full sleeps until this many buffers are free; a writer
        // that found it empty sleeps until this many wait (or the caller finishes).
        std::uint32_t caller_room;
        std::uint32_t writer_batch;
        // When set, told after each write on the thread that wrote it: time the writer has to
        // spare between writes.
        void (*after_write)(void* user) = nullptr;
        void* user = nullptr;
    };

    // `first` is the buffer filled until the thread starts, and the only one when it cannot: the
    // caller's (at least shape.bytes long, and alive as long as this), or, when null, allocated
    // here (which may throw std::bad_alloc). The rest of the ring is allocated with the thread.
    WriteBehind(ByteSink& sink, const Shape& shape, std::uint8_t* first = nullptr);
    // The whole ring the caller's: slots[0, shape.buffers), each shape.bytes long and alive as
    // long as this.
    WriteBehind(ByteSink& sink, const Shape& shape, std::uint8_t* const* slots);
    ~WriteBehind() { finish(); }
    WriteBehind(const WriteBehind&) = delete;
    WriteBehind& operator=(const WriteBehind&) = delete;

    // The buffer to fill: shape.bytes long. Another one after each hand_on() while the thread
    // runs; the same one while the caller writes.
    std::uint8_t* buffer() { return slots_[ring_.back()]; }

    // Starts the thread now, before anything is handed on; false when it cannot be had (then
    // nothing changed, and buffers are written on the caller's thread).
    bool start();

    // Hands on the first n bytes of buffer(); nothing when n is 0. `full` tells that the buffer
    // went because it could take no more, so that more are coming: the first such buffer starts
    // the thread. Waits while the ring is full. False once a write has failed (this buffer's, or
    // one before it): this and any later buffer are dropped.
    bool hand_on(std::size_t n, bool full);

    // Waits until the first `end` bytes handed on are in the sink (at most handed()). False once
    // a write has failed.
    bool wait_written(std::uint64_t end);

    // Waits until every buffer handed on is written, and ends the thread; whether the sink took
    // them all. Anything handed on afterwards is written on the caller's thread.
    bool finish();

    // Bytes handed on (after a failure, also some dropped: those handed on before the caller
    // could know); bytes the sink took (all those handed on, once finish() returned true).
    std::uint64_t handed() const { return handed_; }
    std::uint64_t written() const { return written_.load(); }
    bool failed() const { return failed_.load(); }

  private:
    static constexpr std::uint64_t NOBODY = ~std::uint64_t(0);

    void start_thread();
    void write_behind();
    bool write(const std::uint8_t* p, std::size_t n);

    ByteSink& sink_;
    const Shape shape_;
    std::unique_ptr<std::uint8_t[]> own_first_;  // when the caller gave none
    std::unique_ptr<std::uint8_t[]> rest_;       // slots 1 and on, from the thread's start
    bool whole_ring_ = false;                    // the caller gave every slot
    std::uint8_t* slots_[MAX_BUFFERS] = {};
    std::size_t lengths_[MAX_BUFFERS] = {};  // of each slot handed on
    BlockQueue ring_;
    std::uint64_t handed_ = 0;
    bool started_ = false;  // whether the thread was tried (then, or after finish(), never again)
    std::thread writer_;

    // Set by whichever thread writes; read by both.
    std::atomic<bool> failed_{false};
    std::atomic<std::uint64_t> written_{0};
    // A caller in wait_written() names the count it waits for before it last checks written_,
    // and the writer reads it after moving written_ (both sequentially consistent): so either
    // the caller sees the move, or the writer sees the caller and wakes it under the mutex.
    std::atomic<std::uint64_t> awaited_{NOBODY};
    std::mutex mutex_;
    std::condition_variable progressed_;
};

}  // namespace chunksieve
