// Test inputs that need nothing but the standard library, for the unit tests, the benchmarks and
// make_input (which writes them for the command-line tests). Header-only: a cross build compiles
// make_input for the build machine with a bare compiler command, without the project's libraries.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <random>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

namespace chunksieve::test {

using Bytes = std::vector<std::uint8_t>;

// The four bytes that end a chunk wherever they stand inside it, in stream order.
inline const Bytes MARKER = {0x99, 0x19, 0xD3, 0xFF};

// The test stream: x0 = 1, x = (1103515245 x + 12345) mod 2^31, byte = (x >> 16) & 0xFF.
inline Bytes lcg_stream(std::size_t n) {
    Bytes out(n);
    std::uint32_t x = 1;
    for (auto& b : out) {
        x = (1103515245u * x + 12345u) & 0x7FFFFFFFu;
        b = std::uint8_t(x >> 16);
    }
    return out;
}

// Deterministic pseudo-random bytes: the low byte of each draw of a 64-bit Mersenne Twister.
inline Bytes random_bytes(std::size_t n, std::uint64_t seed) {
    std::mt19937_64 rng(seed);
    Bytes out(n);
    for (auto& b : out)
        b = std::uint8_t(rng());
    return out;
}

// The parts, one after the other (whole byte vectors, or pieces of them as spans).
inline Bytes cat(std::initializer_list<std::span<const std::uint8_t>> parts) {
    Bytes out;
    for (const auto& p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

// `pattern` over and over, cut to `n` bytes.
inline Bytes repeated(const Bytes& pattern, std::size_t n) {
    Bytes out;
    while (out.size() < n)
        out.insert(out.end(), pattern.begin(), pattern.end());
    out.resize(n);
    return out;
}

// ---- inputs that pin each chunk-end rule at its edge ----
//
// Nothing here comes from the code under test: the windows were solved for their CRC-32 values
// beforehand, and each case's output was worked out from the rules and confirmed with an
// independent model. A window is 12 bytes; once they are the stream's last 12, the hash is their
// CRC-32, and a hash below 0x01A16D3F ends a chunk of 100 bytes or more.

// CRC-32 0x01A16D3E: one below the threshold.
inline constexpr std::uint8_t WINDOW_BELOW[12] = {'p', 'i', 'n',  'n',  'e',  'd',
                                                  ':', '-', 0xE7, 0x5C, 0x22, 0x2E};
// CRC-32 0x01A16D3F: exactly the threshold, which never ends a chunk.
inline constexpr std::uint8_t WINDOW_AT[12] = {'p', 'i', 'n',  'n',  'e',  'd',
                                               ':', '=', 0xC2, 0x4A, 0xE4, 0xE8};
// CRC-32 0x00000000, ending in the marker's first two bytes 99 19.
inline constexpr std::uint8_t WINDOW_HALF_MARKER[12] = {'m',  'a',  'r',  'k',  'e',  'r',
                                                        0x40, 0x83, 0xC9, 0xEB, 0x99, 0x19};

// The input of the pinned case `name` into `out`; false for an unknown name.
inline bool pinned_input(std::string_view name, Bytes& out) {
    Bytes b;
    const auto zeros = [&](std::size_t n) { b.insert(b.end(), n, 0); };
    const auto put = [&](std::initializer_list<std::uint8_t> bytes) { b.insert(b.end(), bytes); };
    const auto window = [&](const std::uint8_t(&w)[12]) { b.insert(b.end(), w, w + 12); };
    // Bytes i mod 75: varied, free of the marker, and no window of them hashes below the
    // threshold, so only the maximum length ends a chunk of them.
    const auto cycle75 = [&](std::size_t n) {
        for (std::size_t i = 0; i < n; ++i)
            b.push_back(std::uint8_t(i % 75));
    };
    if (name == "below-threshold-at-100") {
        zeros(88);
        window(WINDOW_BELOW);
    } else if (name == "at-threshold-at-100") {  // runs on to the window below
        zeros(88);
        window(WINDOW_AT);
        zeros(12);
        window(WINDOW_BELOW);
    } else if (name == "hash-end-at-99") {  // too short to end there: the same window again
        zeros(87);
        window(WINDOW_BELOW);
        window(WINDOW_BELOW);
    } else if (name == "hash-end-at-128") {
        zeros(116);
        window(WINDOW_BELOW);
    } else if (name == "maximum-65535") {
        cycle75(65535);
    } else if (name == "short-of-maximum-65534") {
        cycle75(65534);
    } else if (name == "marker-first") {
        put({0x99, 0x19, 0xD3, 0xFF});
        zeros(50);
    } else if (name == "marker-straddles-hash-end") {  // 99 19 | D3 FF 99 19 D3 FF
        zeros(88);
        window(WINDOW_HALF_MARKER);
        put({0xD3, 0xFF, 0x99, 0x19, 0xD3, 0xFF});
    } else if (name == "marker-straddles-maximum-end") {  // 99 19 | D3 FF 99 19 D3 FF
        zeros(65533);
        put({0x99, 0x19});
        put({0xD3, 0xFF, 0x99, 0x19, 0xD3, 0xFF});
    } else {
        return false;
    }
    out = std::move(b);
    return true;
}

}  // namespace chunksieve::test
