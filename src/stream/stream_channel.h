// StreamChannel: what the driver and the filter coroutine share, and the filter-side byte
// primitives. The filter runs until it cannot go on by itself, then suspends and leaves a
// Request; the driver services it and resumes the filter. Control passes only at those points,
// so the channel needs no locking.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "platform/context.h"

// AddressSanitizer must be told of every switch between the driver's stack and the filter's:
// it keeps one stack's bounds per thread. Without the hand-over, the clean-up it does at a
// noreturn call or a throw works on the wrong stack (it warns that false reports may follow),
// and its reports could not place the filter's frames.
#if defined(__SANITIZE_ADDRESS__)
#define CHUNKSIEVE_ASAN_FIBERS 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define CHUNKSIEVE_ASAN_FIBERS 1
#endif
#endif
#if defined(CHUNKSIEVE_ASAN_FIBERS)
#include <sanitizer/common_interface_defs.h>
#endif

namespace chunksieve {

enum Request : std::uint32_t {
    REQ_DONE = 0,        // end of input reached; the filter will not run again
    REQ_INPUT = 1,       // the input buffer is used up; refill it
    REQ_OUTPUT = 2,      // the output buffer has just become full; write it out
    REQ_NO_MEMORY = 4,   // the filter cannot go on without memory it could not get; it will not
                         // run again, and its output so far is the start of the complete output
    REQ_MAP_FAILED = 5,  // the map could not be written; the filter will not run again
};

// Left in the request word by start() and by a filter body that returns: no request at all,
// which the driver treats as REQ_DONE.
inline constexpr std::uint32_t REQ_NONE = 3;

// Refills deliver, and full output buffers hold, this many bytes.
inline constexpr std::size_t STREAM_BLOCK = 65536;

using FilterBody = void (*)(void* arg);

struct StreamChannel {
    // The last Request the filter left. start() sets REQ_NONE, which stays if the body returns
    // without ever suspending.
    std::uint32_t request = 0;
    const std::uint8_t* input_cursor = nullptr;  // next unread input byte
    std::uint8_t* input_start = nullptr;         // first byte of the last refill, room around it
    const std::uint8_t* input_end = nullptr;     // one past the last valid input byte
    std::uint8_t* output_cursor = nullptr;       // next free output byte
    std::uint8_t* output_start = nullptr;        // start of the output buffer
    std::uint8_t* output_end = nullptr;          // output_start + STREAM_BLOCK
    std::uint32_t end_of_input = 0;              // 1 once a refill delivered 0 bytes
    ExecutionContext driver_context;
    ExecutionContext filter_context;
    FilterBody body = nullptr;
    void* body_arg = nullptr;
    // Each side's stack, as AddressSanitizer needs it at a switch; kept in every build so that
    // the layout does not depend on the build flags. The filter's is set by start(); the
    // driver's is learnt at each switch into the filter.
    const void* driver_stack = nullptr;
    std::size_t driver_stack_size = 0;
    const void* filter_stack = nullptr;
    std::size_t filter_stack_size = 0;
};
// Invariants: input_cursor <= input_end; while the filter runs,
// output_start <= output_cursor < output_end (it suspends the moment the cursor reaches the end).

// The two switches. Each side's fake-stack pointer (AddressSanitizer's home for frames that
// outlive a return) is parked in a local of its own, suspended frame.
inline void switch_to_driver(StreamChannel& ch) {
#if defined(CHUNKSIEVE_ASAN_FIBERS)
    void* fake_stack = nullptr;
    __sanitizer_start_switch_fiber(&fake_stack, ch.driver_stack, ch.driver_stack_size);
    context_switch(ch.filter_context, ch.driver_context);
    __sanitizer_finish_switch_fiber(fake_stack, &ch.driver_stack, &ch.driver_stack_size);
#else
    context_switch(ch.filter_context, ch.driver_context);
#endif
}

inline void switch_to_filter(StreamChannel& ch) {
#if defined(CHUNKSIEVE_ASAN_FIBERS)
    void* fake_stack = nullptr;
    __sanitizer_start_switch_fiber(&fake_stack, ch.filter_stack, ch.filter_stack_size);
    context_switch(ch.driver_context, ch.filter_context);
    __sanitizer_finish_switch_fiber(fake_stack, nullptr, nullptr);
#else
    context_switch(ch.driver_context, ch.filter_context);
#endif
}

// ---- filter side ----

inline void suspend(StreamChannel& ch, Request code) {
    ch.request = code;
    switch_to_driver(ch);
}

// Suspends with REQ_DONE for good: the driver writes what the output buffer holds and never
// resumes the filter.
[[noreturn]] void finish(StreamChannel& ch);

// Suspends with `code` for good: the run cannot be completed.
[[noreturn]] void give_up(StreamChannel& ch, Request code);

// The next input byte, or -1 at end of input. The common case is a compare and a step.
inline int next_byte(StreamChannel& ch) {
    if (ch.input_cursor >= ch.input_end) [[unlikely]] {
        suspend(ch, REQ_INPUT);
        if (ch.end_of_input) return -1;
    }
    return *ch.input_cursor++;
}

// Hands over the output buffer the moment it has become full, so that while the filter runs
// the cursor is always below the end.
inline void flush_if_full(StreamChannel& ch) {
    if (ch.output_cursor >= ch.output_end) [[unlikely]]
        suspend(ch, REQ_OUTPUT);
}

inline void put_byte(StreamChannel& ch, std::uint8_t b) {
    *ch.output_cursor++ = b;
    flush_if_full(ch);
}

// put_byte for n bytes at once: the same bytes, the same suspensions (each time the buffer
// has just become full).
inline void put_bytes(StreamChannel& ch, const std::uint8_t* src, std::size_t n) {
    while (n > 0) {
        const std::size_t room = std::size_t(ch.output_end - ch.output_cursor);
        const std::size_t k = n < room ? n : room;
        std::memcpy(ch.output_cursor, src, k);
        ch.output_cursor += k;
        src += k;
        n -= k;
        flush_if_full(ch);
    }
}

// put_byte(b) n times.
inline void put_fill(StreamChannel& ch, std::uint8_t b, std::size_t n) {
    while (n > 0) {
        const std::size_t room = std::size_t(ch.output_end - ch.output_cursor);
        const std::size_t k = n < room ? n : room;
        std::memset(ch.output_cursor, b, k);
        ch.output_cursor += k;
        n -= k;
        flush_if_full(ch);
    }
}

// ---- driver side ----

// Runs body(arg) for the first time, as a coroutine on [stack, stack + stack_size), until it
// first suspends. If the body ever returns, the request word reads REQ_NONE and any later
// resume comes straight back.
void start(StreamChannel& ch, void* stack, std::size_t stack_size, FilterBody body, void* arg);

// Continues the filter where it suspended, until it suspends again.
inline void resume(StreamChannel& ch) {
    switch_to_filter(ch);
}

}  // namespace chunksieve
