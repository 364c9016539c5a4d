// The unit tests' helpers: everything the support library offers, and runs of the whole filter in
// memory whose failures fail the running test. Only this header needs GoogleTest; the rest of the
// library serves the fuzzers and benchmarks as well.
#pragma once

#include <gtest/gtest.h>

#include <cstddef>
#include <memory>

#include "engine/run.h"
#include "filter/dedup_filter.h"
#include "filters.h"
#include "memory_io.h"
#include "test_inputs.h"

namespace chunksieve::test {

using chunksieve::MemoryIo;

// A fresh filter with its index created (each one maps its own table, released with it).
inline std::unique_ptr<DedupFilter> make_filter() {
    auto f = std::make_unique<DedupFilter>();
    if (!f->index.create()) ADD_FAILURE() << "no memory for the fingerprint table";
    return f;
}

// The whole filter over `input`, refilled `piece` bytes at a time; fails the test on a failed run.
// With `f`, that filter's next run, going on from its index; without, a fresh filter's.
inline Bytes run_in_memory(DedupFilter& f, const Bytes& input, std::size_t piece = STREAM_BLOCK) {
    MemoryIo io(input, piece);
    EXPECT_EQ(run_filter(f, io), RunStatus::complete);
    return io.output;
}
inline Bytes run_in_memory(const Bytes& input, std::size_t piece = STREAM_BLOCK) {
    return run_in_memory(*make_filter(), input, piece);
}

}  // namespace chunksieve::test
