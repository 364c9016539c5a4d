#include "stream/stream_channel.h"

namespace chunksieve {

void finish(StreamChannel& ch) {
    for (;;) suspend(ch, REQ_DONE);
}

namespace {

[[noreturn]] void filter_entry(void* channel) {
    auto& ch = *static_cast<StreamChannel*>(channel);
    ch.body(ch.body_arg);
    for (;;) {
        ch.request = REQ_NONE;
        context_switch(ch.filter_context, ch.driver_context);
    }
}

}  // namespace

void start(StreamChannel& ch, void* stack, std::size_t stack_size, FilterBody body, void* arg) {
    ch.body = body;
    ch.body_arg = arg;
    ch.request = REQ_NONE;  // what the driver finds if the body returns without suspending
    context_prepare(ch.filter_context, stack, stack_size, filter_entry, &ch);
    context_switch(ch.driver_context, ch.filter_context);
}

}  // namespace chunksieve
