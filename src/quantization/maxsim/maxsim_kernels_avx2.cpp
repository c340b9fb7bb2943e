// The AVX2 MaxSim kernels (no library templates here, see
// maxsim_kernels.hpp). Codes are scored eight document tokens at a time, one
// token per 32-bit lane: 8-bit lanes are widened to 16 bits and multiplied
// in pairs (VPMADDWD), 4-bit lanes are small enough for VPMADDUBSW, and
// 1-bit words are counted with a nibble lookup table (VPSHUFB). Every sum is
// an exact integer, so the results equal the scalar kernel's.

#include "quantization/maxsim/maxsim_kernels.hpp"

#if defined(__AVX2__)
#include <immintrin.h>

namespace torvane::maxsim {
namespace {

// Float scores: one 256-bit register holds the eight accumulators of one
// token dot product, exactly the lanes of the eight-accumulator dot: lane k
// sums a[i+k] * b[i+k] over the blocks of eight in ascending order, each
// product and sum rounded on its own (the build never contracts them). One
// query token is scored against 8 document tokens at a time (eight
// accumulators in flight), and the eight dot products are reduced together
// by a transpose, each in the fixed order
// (((l0 + l1) + l2) + l3) + (((l4 + l5) + l6) + l7).

constexpr std::size_t kFloatTileDocs = 8;

inline float load_float(const std::byte* p) {
    float v;
    __builtin_memcpy(&v, p, sizeof v);
    return v;
}

inline __m256 load8(const std::byte* p) { return _mm256_loadu_ps(reinterpret_cast<const float*>(p)); }

#include "backend/simd/lane_reduction.inl"

// The best scores of a query token are kept lane by lane: lane c holds the
// best score of document tokens c, c + 8, c + 16, ... (taken in ascending
// order, replaced only by a strictly greater score, so never by a NaN), and
// the token's best is the largest of the eight lanes. That gives the scores
// of the sequential rule: equal scores have equal bits except +0.0 and
// -0.0, and which zero is kept cannot change a sum over query tokens that
// starts at +0.0 (such a sum is never -0.0, and adding either zero to it
// gives the same bits). The update is branch-free; a branch on "new best"
// would be mispredicted about ln(tokens) times per query token.
inline __m256 update_lanes(__m256 running, __m256 scores, __m256 valid) {
    const __m256 above = _mm256_and_ps(_mm256_cmp_ps(scores, running, _CMP_GT_OQ), valid);
    return _mm256_blendv_ps(running, scores, above);
}

inline float largest_lane(__m256 v) {
    float s[8];
    _mm256_storeu_ps(s, v);
    float m = s[0];
    for (int k = 1; k < 8; ++k) m = s[k] > m ? s[k] : m;
    return m;
}

// Query tokens are taken in chunks whose running maxima stay on the stack,
// so that each tile of 8 document tokens is read from memory once per chunk
// and then served from the L1 cache.
constexpr std::size_t kFloatChunkTokens = 16;

// Scores the query tokens [t0, t0 + count) against every document token.
void float_chunk(const FloatTokens& query, std::size_t t0, std::size_t count, const FloatTokens& document,
                 std::size_t dim, float* best) {
    const std::size_t full = dim - dim % 8;
    __m256 running[kFloatChunkTokens];
    for (std::size_t r = 0; r < count; ++r) running[r] = _mm256_set1_ps(-__builtin_inff());
    for (std::size_t u0 = 0; u0 < document.count; u0 += kFloatTileDocs) {
        const std::size_t left = document.count - u0;
        const std::size_t valid = left < kFloatTileDocs ? left : kFloatTileDocs;
        // A short last tile repeats its last token; the repeats are masked out.
        const std::byte* d[kFloatTileDocs];
        for (std::size_t c = 0; c < kFloatTileDocs; ++c) {
            const std::size_t u = u0 + (c < valid ? c : valid - 1);
            d[c] = document.data + static_cast<std::ptrdiff_t>(u) * document.stride;
        }
        const __m256 lanes = _mm256_castsi256_ps(
            _mm256_cmpgt_epi32(_mm256_set1_epi32(static_cast<int>(valid)), _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7)));
        for (std::size_t r = 0; r < count; ++r) {
            const std::byte* q = query.data + static_cast<std::ptrdiff_t>(t0 + r) * query.stride;
            // (Unrolled so that the accumulators stay in registers at -O2 too.)
            __m256 acc[8];
#pragma GCC unroll 8
            for (int c = 0; c < 8; ++c) acc[c] = _mm256_setzero_ps();
            for (std::size_t i = 0; i < full; i += 8) {
                const std::size_t at = i * sizeof(float);
                const __m256 qv = load8(q + at);
#pragma GCC unroll 8
                for (int c = 0; c < 8; ++c) acc[c] = _mm256_add_ps(acc[c], _mm256_mul_ps(qv, load8(d[c] + at)));
            }
            __m256 scores = reduce_lanes8(acc);
            if (full < dim) {
                // The values after the last block of eight, added one at a time.
                float s[8];
                _mm256_storeu_ps(s, scores);
                for (std::size_t c = 0; c < 8; ++c) {
                    for (std::size_t k = full; k < dim; ++k) {
                        const std::size_t at = k * sizeof(float);
                        s[c] = s[c] + load_float(q + at) * load_float(d[c] + at);
                    }
                }
                scores = _mm256_loadu_ps(s);
            }
            running[r] = update_lanes(running[r], scores, lanes);
        }
    }
    for (std::size_t r = 0; r < count; ++r) best[t0 + r] = largest_lane(running[r]);
}

std::size_t float_packed_size(std::size_t, std::size_t) { return 0; }

void float_pack(const FloatTokens&, std::size_t, float*) {}

// Documents are read in place.
std::size_t float_document_size(std::size_t, std::size_t) { return 0; }

void float_document_pack(const FloatTokens&, std::size_t, float*) {}

void float_best_avx2(const FloatTokens& query, const float*, const FloatTokens& document, const float*,
                     const FloatTokens*, std::size_t dim,
                     float* best) {
    for (std::size_t t = 0; t < query.count; t += kFloatChunkTokens) {
        const std::size_t left = query.count - t;
        float_chunk(query, t, left < kFloatChunkTokens ? left : kFloatChunkTokens, document, dim, best);
    }
}

constexpr std::size_t kHalfTokens = 8;  // tokens per 256-bit register

inline std::uint32_t load_word(const std::uint8_t* p) {
    std::uint32_t v;
    __builtin_memcpy(&v, p, sizeof v);
    return v;
}

inline __m256i load256(const void* p) { return _mm256_loadu_si256(static_cast<const __m256i*>(p)); }

// The lanes of the `valid` leading tokens of a half block, as all-ones.
inline __m256i valid_lanes(std::size_t valid) {
    const __m256i index = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
    return _mm256_cmpgt_epi32(_mm256_set1_epi32(static_cast<int>(valid)), index);
}

// Exact uint32 -> float: both halves convert exactly and the one addition
// rounds the exact value once, as a direct conversion does.
inline __m256 u32_to_float(__m256i v) {
    const __m256 high = _mm256_cvtepi32_ps(_mm256_srli_epi32(v, 16));
    const __m256 low = _mm256_cvtepi32_ps(_mm256_and_si256(v, _mm256_set1_epi32(0xFFFF)));
    return _mm256_add_ps(_mm256_mul_ps(high, _mm256_set1_ps(65536.0f)), low);
}

// Per-lane popcount of x, summed into the bytes of `bytes` (<= 8 per call).
inline __m256i add_byte_counts(__m256i bytes, __m256i x) {
    const __m256i table = _mm256_setr_epi8(0, 1, 1, 2, 1, 2, 2, 3, 1, 2, 2, 3, 2, 3, 3, 4, 0, 1, 1, 2, 1, 2, 2, 3, 1, 2,
                                           2, 3, 2, 3, 3, 4);
    const __m256i nibble = _mm256_set1_epi8(0x0F);
    const __m256i low = _mm256_shuffle_epi8(table, _mm256_and_si256(x, nibble));
    const __m256i high = _mm256_shuffle_epi8(table, _mm256_and_si256(_mm256_srli_epi16(x, 4), nibble));
    return _mm256_add_epi8(bytes, _mm256_add_epi8(low, high));
}

// The four byte counts of each 32-bit lane, summed.
inline __m256i word_sums(__m256i bytes) {
    return _mm256_madd_epi16(_mm256_maddubs_epi16(bytes, _mm256_set1_epi8(1)), _mm256_set1_epi16(1));
}

// Differing bits of one query token against the eight tokens of a half block.
inline __m256i differing_bits(const std::uint8_t* q, const std::uint8_t* half, std::size_t groups) {
    __m256i total = _mm256_setzero_si256();
    __m256i bytes = _mm256_setzero_si256();
    std::size_t pending = 0;
    for (std::size_t g = 0; g < groups; ++g) {
        const __m256i qv = _mm256_set1_epi32(static_cast<int>(load_word(q + g * kGroupBytes)));
        bytes = add_byte_counts(bytes, _mm256_xor_si256(load256(half + g * kBlockGroupBytes), qv));
        // Byte counts stay below 256 for 31 groups of at most 8 each.
        if (++pending == 31) {
            total = _mm256_add_epi32(total, word_sums(bytes));
            bytes = _mm256_setzero_si256();
            pending = 0;
        }
    }
    return _mm256_add_epi32(total, word_sums(bytes));
}

// The integer code dot product (before the correction) of one query token
// with the eight tokens of a half block.
inline __m256i code_dot(const CodeFormat& format, const std::uint8_t* q, const std::uint8_t* half) {
    __m256i acc = _mm256_setzero_si256();
    if (format.bits == 4) {
        // Lanes of at most 15: pair sums of at most 450 fit in 16 bits.
        const __m256i ones = _mm256_set1_epi16(1);
        for (std::size_t g = 0; g < format.groups; ++g) {
            const __m256i qv = _mm256_set1_epi32(static_cast<int>(load_word(q + g * kGroupBytes)));
            const __m256i pairs = _mm256_maddubs_epi16(load256(half + g * kBlockGroupBytes), qv);
            acc = _mm256_add_epi32(acc, _mm256_madd_epi16(pairs, ones));
        }
    } else {
        // Unsigned document lanes times signed query lanes, widened to 16
        // bits: even and odd bytes separately, products summed in pairs.
        const __m256i low_bytes = _mm256_set1_epi16(0x00FF);
        for (std::size_t g = 0; g < format.groups; ++g) {
            const __m256i qv = _mm256_set1_epi32(static_cast<int>(load_word(q + g * kGroupBytes)));
            const __m256i q_even = _mm256_srai_epi16(_mm256_slli_epi16(qv, 8), 8);
            const __m256i q_odd = _mm256_srai_epi16(qv, 8);
            const __m256i dv = load256(half + g * kBlockGroupBytes);
            const __m256i d_even = _mm256_and_si256(dv, low_bytes);
            const __m256i d_odd = _mm256_srli_epi16(dv, 8);
            acc = _mm256_add_epi32(acc, _mm256_add_epi32(_mm256_madd_epi16(d_even, q_even),
                                                         _mm256_madd_epi16(d_odd, q_odd)));
        }
    }
    return acc;
}

void code_best_avx2(const CodeFormat& format, const PackedQuery& query, const PackedDocument& document,
                    float* best) {
    for (std::size_t t = 0; t < query.count; ++t) best[t] = -__builtin_inff();
    if (query.count == 0 || document.count == 0) return;
    const std::size_t groups = format.groups;
    const std::size_t token_bytes = groups * kGroupBytes;
    const std::size_t halves = (document.count + kHalfTokens - 1) / kHalfTokens;
    for (std::size_t t = 0; t < query.count; ++t) {
        const std::uint8_t* q = query.lanes + t * token_bytes;
        if (format.bits == 1) {
            __m256i fewest = _mm256_set1_epi32(-1);
            for (std::size_t h = 0; h < halves; ++h) {
                const std::uint8_t* half = document.lanes + (h / 2) * groups * kBlockGroupBytes +
                                           (h % 2) * kHalfTokens * kGroupBytes;
                const __m256i count = differing_bits(q, half, groups);
                const std::size_t left = document.count - h * kHalfTokens;
                const __m256i valid = valid_lanes(left < kHalfTokens ? left : kHalfTokens);
                // Padding tokens keep the maximum count and so never lower the minimum.
                fewest = _mm256_min_epu32(fewest, _mm256_or_si256(count, _mm256_andnot_si256(valid, _mm256_set1_epi32(-1))));
            }
            std::uint32_t counts[kHalfTokens];
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(counts), fewest);
            std::uint32_t h = counts[0];
            for (std::size_t k = 1; k < kHalfTokens; ++k) h = counts[k] < h ? counts[k] : h;
            const float hf = static_cast<float>(h);
            best[t] = format.padded_dim - (hf + hf);
            continue;
        }
        const QueryTokenMeta& qm = query.meta[t];
        const __m256 q_scale = _mm256_set1_ps(qm.scale);
        const __m256 q_offset = _mm256_set1_ps(qm.offset);
        const __m256 q_sum = _mm256_set1_ps(qm.code_sum);
        const __m256 q_offset_dim = _mm256_set1_ps(qm.offset_times_dim);
        const auto estimates = [&](std::size_t h) {
            const std::uint8_t* half = document.lanes + (h / 2) * groups * kBlockGroupBytes +
                                       (h % 2) * kHalfTokens * kGroupBytes;
            const std::size_t slot = h * kHalfTokens;
            const __m256i dot_value =
                _mm256_add_epi32(code_dot(format, q, half), load256(document.correction + slot));
            const __m256 d_scale = _mm256_loadu_ps(document.scale + slot);
            const __m256 d_offset = _mm256_loadu_ps(document.offset + slot);
            const __m256 d_sum = _mm256_loadu_ps(document.code_sum + slot);
            const __m256 a = _mm256_mul_ps(_mm256_mul_ps(q_scale, d_offset), q_sum);
            const __m256 b = _mm256_mul_ps(q_offset_dim, d_offset);
            const __m256 c = _mm256_mul_ps(_mm256_mul_ps(q_offset, d_scale), d_sum);
            return _mm256_add_ps(_mm256_add_ps(a, _mm256_add_ps(b, c)),
                                 _mm256_mul_ps(_mm256_mul_ps(q_scale, d_scale), u32_to_float(dot_value)));
        };
        // Lane-wise running maxima, as for float scores.
        __m256 running = _mm256_set1_ps(-__builtin_inff());
        for (std::size_t h = 0; h < halves; ++h) {
            const std::size_t left = document.count - h * kHalfTokens;
            running = update_lanes(running, estimates(h),
                                   _mm256_castsi256_ps(valid_lanes(left < kHalfTokens ? left : kHalfTokens)));
        }
        best[t] = largest_lane(running);
    }
}

constexpr KernelTable kAvx2Table = {&float_packed_size, &float_pack, &float_document_size, &float_document_pack, &float_best_avx2, &code_best_avx2};

}  // namespace

const KernelTable* avx2_kernels() { return &kAvx2Table; }

}  // namespace torvane::maxsim

#else

namespace torvane::maxsim {
const KernelTable* avx2_kernels() { return nullptr; }
}  // namespace torvane::maxsim

#endif
