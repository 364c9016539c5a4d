// The coroutine switch and the request protocol, with bodies other than the filter.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <vector>

#include "stream/stream_channel.h"

namespace chunksieve {
namespace {

struct Harness {
    StreamChannel ch;
    alignas(64) std::uint8_t stack[128 * 1024];
    std::vector<int> trace;
};

TEST(Stream, BodyThatReturnsEndsTheRun) {
    Harness h;
    start(
        h.ch, h.stack, sizeof h.stack,
        [](void* arg) { static_cast<Harness*>(arg)->trace.push_back(1); }, &h);
    EXPECT_EQ(h.trace, std::vector<int>{1});
    EXPECT_EQ(h.ch.request, REQ_NONE);
    resume(h.ch);  // a resume after the body returned comes straight back
    EXPECT_EQ(h.ch.request, REQ_NONE);
}

// Locals and floating-point state of both sides survive many switches in both directions.
TEST(Stream, SuspendAndResumeAlternate) {
    Harness h;
    start(
        h.ch, h.stack, sizeof h.stack,
        [](void* arg) {
            auto& hh = *static_cast<Harness*>(arg);
            double x = 1.5;
            for (int i = 0; i < 1000; ++i) {
                hh.trace.push_back(i);
                x = x * 1.0001 + i;
                suspend(hh.ch, i % 2 ? REQ_OUTPUT : REQ_INPUT);
            }
            hh.trace.push_back(int(std::lround(x)) == 0 ? -1 : -2);
            finish(hh.ch);
        },
        &h);
    double y = 2.25;
    for (int i = 0; i < 1000; ++i) {
        ASSERT_EQ(h.ch.request, i % 2 ? REQ_OUTPUT : REQ_INPUT);
        ASSERT_EQ(h.trace.back(), i);
        y += 0.5;
        resume(h.ch);
    }
    EXPECT_EQ(h.ch.request, REQ_DONE);
    EXPECT_EQ(h.trace.back(), -2);
    EXPECT_EQ(y, 502.25);
    resume(h.ch);  // finish() suspends for good
    EXPECT_EQ(h.ch.request, REQ_DONE);
}

}  // namespace
}  // namespace chunksieve
