#include "platform/block_queue.h"

#include <cassert>

namespace chunksieve {

template <class Ready>
void BlockQueue::sleep_until(std::atomic<bool>& sleeping, Ready ready) {
    std::unique_lock<std::mutex> lock(mutex_);
    sleeping.store(true);
    woken_.wait(lock, ready);
    sleeping.store(false);
}

void BlockQueue::wake() {
    std::lock_guard<std::mutex> lock(mutex_);
    woken_.notify_all();
}

bool BlockQueue::wait_for_room() {
    if (filled() == slots_ && !closed_.load())
        sleep_until(producer_sleeps_, [this] { return producer_may_go(); });
    return !closed_.load();
}

void BlockQueue::push() {
    assert(filled() < slots_);
    produced_.store(produced_.load(std::memory_order_relaxed) + 1);
    if (consumer_sleeps_.load() && consumer_may_go()) wake();
}

bool BlockQueue::wait_for_block() {
    if (filled() == 0 && !closed_.load())
        sleep_until(consumer_sleeps_, [this] { return consumer_may_go(); });
    return filled() > 0;
}

void BlockQueue::pop() {
    assert(filled() > 0);
    consumed_.store(consumed_.load(std::memory_order_relaxed) + 1);
    if (producer_sleeps_.load() && producer_may_go()) wake();
}

void BlockQueue::close() {
    closed_.store(true);
    wake();
}

}  // namespace chunksieve
