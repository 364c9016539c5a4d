// The overlapped driver against the one-thread driver: the same output, the same reads and writes
// in the same order, and the same end after a failed read or write, whichever side of its queues
// has to wait.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "test_inputs.h"
#include "test_support.h"

namespace chunksieve {
namespace {

using test::Bytes;

// A MemoryIo whose reads or writes take a while, so that the other side of a queue finds it
// empty or full and sleeps; it may also claim to know the input's size, as a regular file does.
class PacedIo final : public StreamIo {
  public:
    PacedIo(MemoryIo& io, std::chrono::microseconds read_pause,
            std::chrono::microseconds write_pause, std::int64_t size)
        : io_(io), read_pause_(read_pause), write_pause_(write_pause), size_(size) {}
    std::ptrdiff_t read(std::uint8_t* buf, std::size_t capacity) override {
        std::this_thread::sleep_for(read_pause_);
        return io_.read(buf, capacity);
    }
    bool write_all(const std::uint8_t* buf, std::size_t n) override {
        std::this_thread::sleep_for(write_pause_);
        return io_.write_all(buf, n);
    }
    std::int64_t input_size() const override { return size_; }

  private:
    MemoryIo& io_;
    std::chrono::microseconds read_pause_, write_pause_;
    std::int64_t size_;
};

struct Outcome {
    RunStatus status;
    Bytes output;
    std::vector<std::size_t> reads, writes;
};

struct Conditions {
    std::size_t piece = STREAM_BLOCK;
    std::ptrdiff_t fail_read_at = -1;
    std::ptrdiff_t fail_write_at = -1;
    std::chrono::microseconds read_pause{0};
    std::chrono::microseconds write_pause{0};
    std::int64_t size_claimed = -1;  // what the input claims its size is, -1: a pipe
    bool per_byte = false;           // the per-byte reference loop instead of the block loop
    std::uint32_t ends_room = MAX_BLOCK_CHUNKS;  // the most ends the reader keeps for a block
};

Outcome run(Overlap overlap, const Bytes& input, const Conditions& s) {
    auto f = test::make_filter();
    if (s.per_byte) f->kernels = nullptr;
    MemoryIo memory(input, s.piece);
    memory.fail_read_at = s.fail_read_at;
    memory.fail_write_at = s.fail_write_at;
    PacedIo io(memory, s.read_pause, s.write_pause, s.size_claimed);
    const RunStatus status = run_filter(*f, io, overlap, s.ends_room);
    return Outcome{status, memory.output, memory.reads, memory.writes};
}

// Unique data then the same again: many full output blocks, then many found chunks.
Bytes twice_random(std::size_t half) {
    return test::repeated(test::random_bytes(half, 11), 2 * half);
}

// Chunks of `length` bytes each, `count` of them, ended by the marker: random bytes before it.
Bytes marker_chunks(std::size_t count, std::size_t length, std::uint64_t seed) {
    const Bytes random = test::random_bytes(count * (length - 4), seed);
    Bytes b;
    for (std::size_t c = 0; c < count; ++c) {
        b.insert(b.end(), random.begin() + c * (length - 4),
                 random.begin() + (c + 1) * (length - 4));
        b.insert(b.end(), test::MARKER.begin(), test::MARKER.end());
    }
    return b;
}

TEST(Driver, OverlappedMakesTheSameCallsAsOneThread) {
    Bytes zeros_then_data(3 << 20, 0);  // long chunks, held across blocks
    const Bytes tail = test::random_bytes(700000, 12);
    zeros_then_data.insert(zeros_then_data.end(), tail.begin(), tail.end());
    Bytes short_then_data = marker_chunks(200000, 12, 13);
    for (const Bytes& part : {marker_chunks(40000, 32, 14), test::random_bytes(500000, 15)})
        short_then_data.insert(short_then_data.end(), part.begin(), part.end());
    struct Case {
        const char* name;
        Bytes input;
        Conditions conditions;
    };
    const Case cases[] = {
        {"empty", {}, {}},
        {"one block exactly", test::lcg_stream(65536), {}},
        {"2 MiB twice", twice_random(2 << 20), {}},
        // Automatic: threads from the start, for a file as large as this one claims to be.
        {"2 MiB twice, large file", twice_random(2 << 20), {.size_claimed = OVERLAP_MIN_INPUT}},
        // Automatic: threads start after the first reads, with an output block begun.
        {"2 MiB twice in pieces of 1,000", twice_random(2 << 20), {.piece = 1000}},
        // Reads shorter than the history the reader's search keeps between blocks.
        {"200 KB twice in pieces of 7", twice_random(200000), {.piece = 7}},
        {"zeros, then data", zeros_then_data, {}},
        // Blocks of thousands of ends (12-byte and 32-byte chunks), then ordinary ones; and the
        // same where the reader has room for the ends of none of the short ones, as when memory
        // runs out: the filter searches those blocks itself.
        {"short chunks, then data", short_then_data, {}},
        {"short chunks, then data, little room", short_then_data, {.ends_room = 1000}},
        {"1 MiB twice, byte by byte", twice_random(1 << 20), {.per_byte = true}},
        {"reader slower", twice_random(1 << 20), {.read_pause = std::chrono::microseconds(300)}},
        {"writer slower", twice_random(1 << 20), {.write_pause = std::chrono::microseconds(300)}},
    };
    for (const Case& c : cases) {
        const Outcome ref = run(Overlap::never, c.input, c.conditions);
        ASSERT_EQ(ref.status, RunStatus::complete) << c.name;
        for (Overlap overlap : {Overlap::always, Overlap::automatic}) {
            const Outcome o = run(overlap, c.input, c.conditions);
            EXPECT_EQ(o.status, RunStatus::complete) << c.name;
            EXPECT_EQ(o.output, ref.output) << c.name;
            EXPECT_EQ(o.reads, ref.reads) << c.name;
            EXPECT_EQ(o.writes, ref.writes) << c.name;
        }
    }
}

// A failed read or write ends the run with the same status, and with every output block before
// it written, as on one thread. Only reads may differ after a failed write: the reader had read
// ahead.
TEST(Driver, FailuresEndTheRunAsOnOneThread) {
    const Bytes input = twice_random(2 << 20);  // 65 reads, over 32 writes on one thread
    struct Case {
        std::ptrdiff_t read_fails, write_fails;  // the call that fails, or -1
        bool writer_slow;
    };
    std::vector<Case> cases;
    for (std::ptrdiff_t at : {0, 1, 9, 40, 64}) {
        cases.push_back({at, -1, false});
        cases.push_back({at, -1, true});
    }
    for (std::ptrdiff_t at : {0, 1, 9, 20, 32})
        cases.push_back({-1, at, false});
    for (const Case& c : cases) {
        Conditions s;
        s.fail_read_at = c.read_fails;
        s.fail_write_at = c.write_fails;
        if (c.writer_slow) s.write_pause = std::chrono::microseconds(200);
        const RunStatus want = c.read_fails >= 0 ? RunStatus::read_failed : RunStatus::write_failed;
        const std::string name = (c.read_fails >= 0 ? "read " : "write ") +
                                 std::to_string(c.read_fails + c.write_fails + 1);
        const Outcome ref = run(Overlap::never, input, s);
        EXPECT_EQ(ref.status, want) << name;
        const Outcome o = run(Overlap::always, input, s);
        EXPECT_EQ(o.status, want) << name;
        EXPECT_EQ(o.writes, ref.writes) << name;
        EXPECT_EQ(o.output, ref.output) << name;
        if (c.read_fails >= 0)
            EXPECT_EQ(o.reads, ref.reads) << name;
        else
            EXPECT_GE(o.reads.size(), ref.reads.size()) << name;
    }
}

}  // namespace
}  // namespace chunksieve
