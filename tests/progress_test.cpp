// The --progress line's text: what it says at the start, midway, past a size that was wrong, and
// for an input of unknown size.
#include <gtest/gtest.h>

#include "command/progress.h"

namespace chunksieve {
namespace {

TEST(Progress, LineSaysReadSharePaceAndTimeLeft) {
    struct Case {
        std::uint64_t read;
        double seconds;
        std::int64_t size;
        const char* line;
    };
    const Case cases[] = {
        {0, 0.0, 1000000000, "0.0 of 1000.0 MB read (0%), 0.0 MB/s, 0 s left"},
        {250000000, 0.5, 1000000000, "250.0 of 1000.0 MB read (25%), 500.0 MB/s, 2 s left"},
        {50000000, 1.0, 10000000000, "50.0 of 10000.0 MB read (0%), 50.0 MB/s, 3 min left"},
        // A file that grew while it was read: never past 100%, nothing left.
        {3000000, 1.0, 2000000, "3.0 of 2.0 MB read (100%), 3.0 MB/s, 0 s left"},
        {123456789, 2.0, -1, "123.5 MB read, 61.7 MB/s"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(Progress::line(c.read, c.seconds, c.size), c.line) << c.line;
}

}  // namespace
}  // namespace chunksieve
