#include "platform/write_behind.h"

#include <cassert>
#include <new>

namespace chunksieve {

WriteBehind::WriteBehind(ByteSink& sink, const Shape& shape, std::uint8_t* first)
    : sink_(sink), shape_(shape), ring_(shape.buffers, shape.caller_room, shape.writer_batch) {
    assert(shape.buffers <= MAX_BUFFERS && shape.bytes > 0);
    if (!first) {
        own_first_.reset(new std::uint8_t[shape.bytes]);
        first = own_first_.get();
    }
    // Until the thread starts nothing is pushed: the slot filled is slot 0.
    slots_[0] = first;
}

WriteBehind::WriteBehind(ByteSink& sink, const Shape& shape, std::uint8_t* const* slots)
    : sink_(sink),
      shape_(shape),
      whole_ring_(true),
      ring_(shape.buffers, shape.caller_room, shape.writer_batch) {
    assert(shape.buffers <= MAX_BUFFERS && shape.bytes > 0);
    for (std::uint32_t i = 0; i < shape.buffers; ++i)
        slots_[i] = slots[i];
}

bool WriteBehind::start() {
    if (!started_) {
        started_ = true;
        start_thread();
    }
    return writer_.joinable();
}

bool WriteBehind::hand_on(std::size_t n, bool full) {
    assert(n <= shape_.bytes);
    if (failed_.load()) return false;
    if (n == 0) return true;
    if (full && !started_) {
        started_ = true;
        start_thread();
    }
    if (!writer_.joinable()) {
        if (!write(buffer(), n)) return false;
        handed_ += n;
        return true;
    }
    lengths_[ring_.back()] = n;
    ring_.push();
    handed_ += n;
    // Closed only by the writer, at a failure, and by finish(), after the last buffer.
    ring_.wait_for_room();
    return !failed_.load();
}

bool WriteBehind::wait_written(std::uint64_t end) {
    assert(end <= handed_);
    // Without a thread (never started, or joined) every buffer handed on is written already.
    if (writer_.joinable() && written_.load() < end && !failed_.load()) {
        std::unique_lock lock(mutex_);
        awaited_.store(end);
        progressed_.wait(lock, [&] { return written_.load() >= end || failed_.load(); });
        awaited_.store(NOBODY);
    }
    return !failed_.load();
}

bool WriteBehind::finish() {
    started_ = true;  // a thread started now would find the ring closed
    if (writer_.joinable()) {
        ring_.close();  // the writer still takes every buffer pushed
        writer_.join();
    }
    return !failed_.load();
}

// The thread and the ring's other buffers; without either, everything stays on the caller's
// thread, in slot 0 (the ring only saves time).
void WriteBehind::start_thread() {
    if (!whole_ring_) {
        rest_.reset(new (std::nothrow) std::uint8_t[(shape_.buffers - 1) * shape_.bytes]);
        if (!rest_) return;
        for (std::uint32_t i = 1; i < shape_.buffers; ++i)
            slots_[i] = rest_.get() + (i - 1) * shape_.bytes;
    }
    try {
        writer_ = std::thread([this] { write_behind(); });
    } catch (...) {
        if (whole_ring_) return;
        for (std::uint32_t i = 1; i < shape_.buffers; ++i)
            slots_[i] = nullptr;
        rest_.reset();
    }
}

void WriteBehind::write_behind() {
    while (ring_.wait_for_block()) {
        const std::uint32_t s = ring_.front();
        if (!write(slots_[s], lengths_[s])) {
            ring_.close();  // a caller waiting for room goes on, to learn of the failure
            const std::lock_guard lock(mutex_);
            progressed_.notify_all();
            return;
        }
        ring_.pop();
    }
}

bool WriteBehind::write(const std::uint8_t* p, std::size_t n) {
    if (!sink_.write_all(p, n)) {
        failed_.store(true);
        return false;
    }
    const std::uint64_t now = written_.load(std::memory_order_relaxed) + n;
    written_.store(now);
    if (now >= awaited_.load()) {  // only on the writer thread: in place, nobody waits
        const std::lock_guard lock(mutex_);
        progressed_.notify_all();
    }
    if (shape_.after_write) shape_.after_write(shape_.user);
    return true;
}

}  // namespace chunksieve
