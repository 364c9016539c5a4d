// Writes a named test input to stdout, for the command-line tests.
//   make_input zeros N | ones N | ramp N | lcg N | lcg-twice N | marker-zeros | marker-repeat K
//              | dups N SEED | pinned NAME (support/test_inputs.h)
// For the kinds other than dups (whose third argument seeds it) and pinned, a third argument P
// writes the input in pieces of P bytes with a pause between them, so that a pipe reader sees
// short reads.
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <random>
#include <string>
#include <thread>
#include <vector>

// Header-only and the standard library alone: a cross build compiles this file for the build
// machine with a bare compiler command (tests/CMakeLists.txt).
#include "support/test_inputs.h"

namespace {

using chunksieve::test::cat;
using chunksieve::test::lcg_stream;

// Writes all of `out` to stdout, in pieces of `piece` bytes with a pause after each, if given.
bool put_all(const std::vector<std::uint8_t>& out, std::size_t piece) {
    const std::size_t step = piece ? piece : out.size();
    for (std::size_t off = 0; off < out.size();) {
        const ssize_t put = write(1, out.data() + off, std::min(step, out.size() - off));
        if (put <= 0) return false;
        off += std::size_t(put);
        if (piece) std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return 2;
    const std::string kind = argv[1];
    if (kind == "pinned") {
        std::vector<std::uint8_t> out;
        return argc > 2 && chunksieve::test::pinned_input(argv[2], out) && put_all(out, 0) ? 0 : 2;
    }
    const std::size_t n = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 0;
    const std::size_t piece = argc > 3 ? std::strtoull(argv[3], nullptr, 10) : 0;
    const std::vector<std::uint8_t>& marker = chunksieve::test::MARKER;
    std::vector<std::uint8_t> out;
    if (kind == "zeros")
        out.assign(n, 0);
    else if (kind == "ones")
        out.assign(n, 1);
    else if (kind == "ramp")
        for (std::size_t i = 0; i < n; ++i)
            out.push_back(std::uint8_t(i));
    else if (kind == "lcg")
        out = lcg_stream(n);
    else if (kind == "lcg-twice") {
        const std::vector<std::uint8_t> once = lcg_stream(n);
        out = cat({once, once});
    } else if (kind == "marker-zeros") {
        out = marker;
        out.resize(54, 0);
    } else if (kind == "marker-repeat") {
        out = chunksieve::test::repeated(marker, marker.size() * n);
    } else if (kind == "dups") {
        // Random bytes in which earlier stretches come back, some with one byte changed, some
        // ending in a marker: the third argument seeds it.
        std::mt19937_64 rng(piece);
        while (out.size() < n) {
            const std::size_t len = 1 + rng() % 30000;
            if (out.size() < 4096 || rng() % 3 == 0) {
                for (std::size_t i = 0; i < len; ++i)
                    out.push_back(std::uint8_t(rng()));
            } else {
                const std::size_t from = rng() % out.size();
                const std::size_t to = std::min(out.size(), from + len);
                std::vector<std::uint8_t> copy(out.begin() + std::ptrdiff_t(from),
                                               out.begin() + std::ptrdiff_t(to));
                if (rng() % 2) copy[rng() % copy.size()] ^= 0x20;
                out.insert(out.end(), copy.begin(), copy.end());
            }
            if (rng() % 8 == 0) out.insert(out.end(), marker.begin(), marker.end());
        }
        out.resize(n);
        return put_all(out, 0) ? 0 : 1;
    } else {
        return 2;
    }
    return put_all(out, piece) ? 0 : 1;
}
