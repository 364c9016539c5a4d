// Chunk-end masks with AVX-512BW and GFNI: one byte lane per position, 64 positions per call.
//
// Everything in this file is compiled for AVX-512 and GFNI, so nothing here may run before the
// caller has checked the CPU: no namespace-scope objects with run-time initialisers, and only
// internal-linkage helpers (an inline function shared with other files could be merged with
// this file's copy of it and then run on a CPU without these instructions).
#include <immintrin.h>

#include "chunking/chunk_rules.h"
#include "chunking/kernels_isa.h"
#include "chunking/rolling_hash.h"

namespace chunksieve {

namespace {

constexpr int WINDOW = int(HASH_WINDOW);

// Any hash below HASH_THRESHOLD is below 2^25, so bits 25..31 of it, all in the top byte, are
// clear. Flagging the positions where those seven bits are clear therefore never misses a chunk
// end, and adds a false candidate in only about 1 of 700 positions.
static_assert(HASH_THRESHOLD <= (1u << 25));
constexpr std::uint8_t CANDIDATE_BITS = 0xFE;  // bits 25..31 of the hash, within its top byte
constexpr int ZERO_WINDOW_TOP = int(HASH_OF_ZERO_WINDOW >> 24) & CANDIDATE_BITS;

// The window hash is affine over GF(2) in the window's 96 bits: h = HASH_OF_ZERO_WINDOW XOR the
// contributions of its set bits, a bit's contribution being the hash of a window holding only
// that bit, with HASH_OF_ZERO_WINDOW taken out. So the candidate bits of h are the XOR over the
// window bytes k (0 = oldest) of an 8x8 bit-matrix times byte k, plus ZERO_WINDOW_TOP.
//
// The matrices are kept in GF2P8AFFINEQB's layout: output bit r of a byte is the parity of the
// byte AND byte 7 - r of the matrix qword, so bit c of qword byte 7 - r says whether input bit c
// reaches output bit r.
struct TopSliceMatrices {
    std::uint64_t byte[WINDOW];
};

[[gnu::noinline, gnu::cold]] TopSliceMatrices derive_top_slice_matrices() {
    TopSliceMatrices m{};
    for (int k = 0; k < WINDOW; ++k) {
        for (int c = 0; c < 8; ++c) {
            std::uint8_t window[WINDOW] = {};
            window[k] = std::uint8_t(1u << c);
            const std::uint32_t h = window_hash(window + WINDOW) ^ HASH_OF_ZERO_WINDOW;
            const unsigned top = (h >> 24) & CANDIDATE_BITS;
            for (int r = 0; r < 8; ++r)
                if (top >> r & 1) m.byte[k] |= std::uint64_t(1) << (8 * (7 - r) + c);
        }
    }
    return m;
}

__m512i matrix(const TopSliceMatrices& m, int k) {
    return _mm512_set1_epi64(static_cast<long long>(m.byte[k]));
}

// Bytes from[0 .. 63] and the 16 after them: here, and here shifted on by 16 bytes, so that
// shifted<K>() is from[K .. K + 63] for K <= 16. Built in registers (VPALIGNR works within
// 128-bit lanes, taking each lane's next bytes from `next`): unaligned 64-byte loads at every
// offset would nearly all split cache lines, and loads are the bottleneck. (`next` uses the
// masked VALIGNQ with every lane selected: GCC 12's unmasked form warns inside its own header.)
struct ByteWindow {
    __m512i here, next;

    explicit ByteWindow(const std::uint8_t* from)
        : here(_mm512_loadu_si512(from)),
          next(_mm512_mask_alignr_epi64(
              here, 0xFF,
              _mm512_zextsi128_si512(_mm_loadu_si128(reinterpret_cast<const __m128i*>(from + 64))),
              here, 2)) {}

    template <int K>
    __m512i shifted() const {
        static_assert(0 <= K && K <= 16);
        if constexpr (K == 0) return here;
        return _mm512_alignr_epi8(next, here, K);
    }
};

// Candidate bits contributed by window byte K at every lane; byte 0's also carry the zero
// window's, in the affine constant.
template <int K>
__m512i product(const ByteWindow& bytes, const TopSliceMatrices& m) {
    constexpr int constant = K == 0 ? ZERO_WINDOW_TOP : 0;
    return _mm512_gf2p8affine_epi64_epi8(bytes.shifted<K>(), matrix(m, K), constant);
}

}  // namespace

std::uint64_t marker_mask64_avx512(const std::uint8_t* p) {
    // Lane i of the load at p - d holds p[i - d]; each compare narrows the lanes still matching.
    const auto marker_byte = [](int d) { return _mm512_set1_epi8(char(CHUNK_MARKER >> (8 * d))); };
    __mmask64 m = _mm512_cmpeq_epi8_mask(_mm512_loadu_si512(p), marker_byte(0));
    m = _mm512_mask_cmpeq_epi8_mask(m, _mm512_loadu_si512(p - 1), marker_byte(1));
    m = _mm512_mask_cmpeq_epi8_mask(m, _mm512_loadu_si512(p - 2), marker_byte(2));
    m = _mm512_mask_cmpeq_epi8_mask(m, _mm512_loadu_si512(p - 3), marker_byte(3));
    return m;
}

std::uint64_t hash_candidates64_avx512(const std::uint8_t* p) {
    static const TopSliceMatrices m = derive_top_slice_matrices();
    // Lane i of shifted<K>() holds byte K of the window ending at p[i], so this reads p[-11] ..
    // p[68]. Four partial sums keep the XOR chain short.
    const ByteWindow bytes(p - (WINDOW - 1));
    static_assert(WINDOW == 12, "one product per window byte below");
    const __m512i a = _mm512_ternarylogic_epi64(product<0>(bytes, m), product<1>(bytes, m),
                                                product<2>(bytes, m), 0x96);
    const __m512i b = _mm512_ternarylogic_epi64(product<3>(bytes, m), product<4>(bytes, m),
                                                product<5>(bytes, m), 0x96);
    const __m512i c = _mm512_ternarylogic_epi64(product<6>(bytes, m), product<7>(bytes, m),
                                                product<8>(bytes, m), 0x96);
    const __m512i d = _mm512_ternarylogic_epi64(product<9>(bytes, m), product<10>(bytes, m),
                                                product<11>(bytes, m), 0x96);
    const __m512i top = _mm512_ternarylogic_epi64(a, b, _mm512_xor_si512(c, d), 0x96);
    return _mm512_testn_epi8_mask(top, top);
}

}  // namespace chunksieve
