#include "stream/stream_channel.h"

#if defined(CHUNKSIEVE_ASAN_FIBERS)
#include <sanitizer/asan_interface.h>
#endif

namespace chunksieve {

void finish(StreamChannel& ch) {
    give_up(ch, REQ_DONE);
}

void give_up(StreamChannel& ch, Request code) {
    for (;;)
        suspend(ch, code);
}

namespace {

[[noreturn]] void filter_entry(void* channel) {
    auto& ch = *static_cast<StreamChannel*>(channel);
#if defined(CHUNKSIEVE_ASAN_FIBERS)
    // The first arrival on this stack: no fake stack of its own yet; the driver's bounds.
    __sanitizer_finish_switch_fiber(nullptr, &ch.driver_stack, &ch.driver_stack_size);
#endif
    ch.body(ch.body_arg);
    for (;;) {
        ch.request = REQ_NONE;
        switch_to_driver(ch);
    }
}

}  // namespace

void start(StreamChannel& ch, void* stack, std::size_t stack_size, FilterBody body, void* arg) {
    ch.body = body;
    ch.body_arg = arg;
    ch.request = REQ_NONE;  // what the driver finds if the body returns without suspending
    ch.filter_stack = stack;
    ch.filter_stack_size = stack_size;
#if defined(CHUNKSIEVE_ASAN_FIBERS)
    // A stack used before may still hold the poisoned red zones of frames that were suspended
    // for good and never returned (a finished or failed run): they are not this run's frames.
    __asan_unpoison_memory_region(stack, stack_size);
#endif
    context_prepare(ch.filter_context, stack, stack_size, filter_entry, &ch);
    switch_to_filter(ch);
}

}  // namespace chunksieve
