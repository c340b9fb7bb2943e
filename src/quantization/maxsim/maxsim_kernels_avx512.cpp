// The AVX-512 MaxSim kernels (no library templates here, see
// maxsim_kernels.hpp). Float scores keep two token dot products per 512-bit
// register (see below). Codes are scored sixteen document tokens at a time,
// one token per 32-bit lane of a 512-bit register: VPDPBUSD sums four byte
// products per lane for 4 and 8 bits, VPOPCNTD counts differing bits for
// 1 bit. The query's four-lane group is broadcast to all sixteen lanes, so
// no horizontal sums are needed.
//
// The loops over the registers of a tile carry unroll pragmas: the
// accumulators stay in registers only when those loops are unrolled, which
// -O2 does not do on its own.

#include "quantization/maxsim/maxsim_kernels.hpp"

#if defined(__AVX512F__) && defined(__AVX512VL__) && defined(__AVX512BW__) && defined(__AVX512VNNI__) && \
    defined(__AVX512VPOPCNTDQ__)
// GCC 12's AVX-512 headers fill "undefined" source registers with a
// self-initialised variable, which its own -Wmaybe-uninitialized reports
// wherever such an intrinsic is inlined; the warning says nothing about this
// code. The warnings are silenced for this unit's kernels only.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <immintrin.h>

namespace torvane::maxsim {
namespace {

// ---------------------------------------------------------------------------
// Float scores. A 512-bit register holds the eight accumulators of two
// token dot products: lanes 0-7 those of query token 2p, lanes 8-15 those of
// query token 2p + 1, against the same document token. Lane k of each half
// sums a[i+k] * b[i+k] over the blocks of eight in ascending order, each
// product and sum rounded on its own (the build never contracts them),
// exactly as the eight-accumulator dot does. The query is packed once per
// call so that a pair's block of eight is one 64-byte load; each document
// block of eight is broadcast to both halves. A tile of 3 query pairs x 8
// document tokens keeps 24 registers of accumulators in flight, which fills
// the multiply and add pipelines, and the 16 dot products of one pair are
// reduced together by a transpose, each in the fixed order
// (((l0 + l1) + l2) + l3) + (((l4 + l5) + l6) + l7). Without document
// tokens every best score stays -inf.

constexpr std::size_t kFloatTileDocs = 8;

inline float load_float(const std::byte* p) {
    float v;
    __builtin_memcpy(&v, p, sizeof v);
    return v;
}

// Packed query: for pair p and block k, the 16 floats at (p * blocks + k) * 16
// hold token 2p's values 8k .. 8k + 7, then token 2p + 1's (zeros past the
// last token). Values after the last full block stay in the query.
std::size_t float_packed_size(std::size_t tokens, std::size_t dim) {
    return (tokens / 2 + tokens % 2) * (dim / 8) * 16;
}

void float_pack(const FloatTokens& query, std::size_t dim, float* packed) {
    const std::size_t blocks = dim / 8;
    const std::size_t pairs = query.count / 2 + query.count % 2;
    for (std::size_t p = 0; p < pairs; ++p) {
        for (std::size_t half = 0; half < 2; ++half) {
            const std::size_t t = 2 * p + half;
            const std::byte* src = query.data + static_cast<std::ptrdiff_t>(t) * query.stride;
            for (std::size_t k = 0; k < blocks; ++k) {
                float* dst = packed + (p * blocks + k) * 16 + half * 8;
                if (t < query.count) {
                    __builtin_memcpy(dst, src + k * 8 * sizeof(float), 8 * sizeof(float));
                } else {
                    for (std::size_t j = 0; j < 8; ++j) dst[j] = 0.0f;
                }
            }
        }
    }
}

// Lanes 0-7 of the result reduce the low halves of v[0..7], lanes 8-15
// their high halves.
inline __m512 reduce_lanes16(const __m512* v) {
    __m512 part[2];
    for (int g = 0; g < 2; ++g) {
        const __m512* w = v + 4 * g;
        // Within each 128-bit lane, as for one 256-bit register.
        const __m512 t0 = _mm512_unpacklo_ps(w[0], w[1]);
        const __m512 t1 = _mm512_unpackhi_ps(w[0], w[1]);
        const __m512 t2 = _mm512_unpacklo_ps(w[2], w[3]);
        const __m512 t3 = _mm512_unpackhi_ps(w[2], w[3]);
        const __m512 c0 = _mm512_shuffle_ps(t0, t2, 0x44);  // lane 0 of w0..w3 | lane 4 | lane 8 | lane 12
        const __m512 c1 = _mm512_shuffle_ps(t0, t2, 0xEE);
        const __m512 c2 = _mm512_shuffle_ps(t1, t3, 0x44);
        const __m512 c3 = _mm512_shuffle_ps(t1, t3, 0xEE);
        // 128-bit lane q holds ((l0 + l1) + l2) + l3 of w0..w3 for input
        // lanes 4q .. 4q + 3.
        part[g] = _mm512_add_ps(_mm512_add_ps(_mm512_add_ps(c0, c1), c2), c3);
    }
    const __m512 even = _mm512_shuffle_f32x4(part[0], part[1], 0x88);  // p0.q0 p0.q2 p1.q0 p1.q2
    const __m512 odd = _mm512_shuffle_f32x4(part[0], part[1], 0xDD);   // p0.q1 p0.q3 p1.q1 p1.q3
    const __m512 low = _mm512_shuffle_f32x4(even, even, 0xD8);         // p0.q0 p1.q0 p0.q2 p1.q2
    const __m512 high = _mm512_shuffle_f32x4(odd, odd, 0xD8);          // p0.q1 p1.q1 p0.q3 p1.q3
    return _mm512_add_ps(low, high);
}

// The best scores are kept lane by lane: lane c of a running maximum holds
// the best score of document tokens c, c + 8, c + 16, ... (c, c + 16, ...
// for codes), taken in ascending order and replaced only by a strictly
// greater score (so never by a NaN), and a token's best is the largest of
// its lanes. That gives the scores of the sequential rule: equal scores have
// equal bits except +0.0 and -0.0, and which zero is kept cannot change a
// sum over query tokens that starts at +0.0 (such a sum is never -0.0, and
// adding either zero to it gives the same bits). The updates are
// branch-free; a branch on "new best" would be mispredicted about
// ln(tokens) times per query token.
inline __m512 update_lanes(__m512 running, __m512 scores, __mmask16 valid) {
    return _mm512_mask_mov_ps(running, _mm512_mask_cmp_ps_mask(valid, scores, running, _CMP_GT_OQ), scores);
}

inline float largest_lane(__m256 v) {
    float s[8];
    _mm256_storeu_ps(s, v);
    float m = s[0];
    for (int k = 1; k < 8; ++k) m = s[k] > m ? s[k] : m;
    return m;
}

// Scores the QP query pairs starting at pair p0 against the 8 document
// tokens d (the first `valid` of them count) and updates their running
// maxima.
template <int QP>
inline void float_tile(const FloatTokens& query, const float* packed, std::size_t p0, const std::byte* const* d,
                       std::size_t dim, std::size_t valid, __m512* running) {
    const std::size_t blocks = dim / 8;
    const std::size_t full = blocks * 8;
    const float* q = packed + p0 * blocks * 16;
    __m512 acc[QP][8];
#pragma GCC unroll 3
    for (int p = 0; p < QP; ++p) {
#pragma GCC unroll 8
        for (int c = 0; c < 8; ++c) acc[p][c] = _mm512_setzero_ps();
    }
    for (std::size_t k = 0; k < blocks; ++k) {
        __m512 qv[QP];
#pragma GCC unroll 3
        for (int p = 0; p < QP; ++p) qv[p] = _mm512_loadu_ps(q + (static_cast<std::size_t>(p) * blocks + k) * 16);
#pragma GCC unroll 8
        for (int c = 0; c < 8; ++c) {
            const __m512 dv = _mm512_castpd_ps(
                _mm512_broadcast_f64x4(_mm256_loadu_pd(reinterpret_cast<const double*>(d[c] + k * 8 * sizeof(float)))));
#pragma GCC unroll 3
            for (int p = 0; p < QP; ++p) acc[p][c] = _mm512_add_ps(acc[p][c], _mm512_mul_ps(qv[p], dv));
        }
    }
    const unsigned low = (1u << valid) - 1u;
    for (int p = 0; p < QP; ++p) {
        const std::size_t t = 2 * (p0 + static_cast<std::size_t>(p));
        __m512 scores = reduce_lanes16(acc[p]);
        if (full < dim) {
            // The values after the last block of eight, added one at a time.
            float s[16];
            _mm512_storeu_ps(s, scores);
            const std::size_t tokens = t + 1 < query.count ? 2 : 1;
            for (std::size_t half = 0; half < tokens; ++half) {
                const std::byte* qt = query.data + static_cast<std::ptrdiff_t>(t + half) * query.stride;
                for (std::size_t c = 0; c < 8; ++c) {
                    float& sum = s[half * 8 + c];
                    for (std::size_t j = full; j < dim; ++j) {
                        sum = sum + load_float(qt + j * sizeof(float)) * load_float(d[c] + j * sizeof(float));
                    }
                }
            }
            scores = _mm512_loadu_ps(s);
        }
        running[p] = update_lanes(running[p], scores, static_cast<__mmask16>(low | (low << 8)));
    }
}

// Query pairs are taken in chunks of up to 8 whose running maxima stay on
// the stack, so that each tile of 8 document tokens is read from memory once
// per chunk and then served from the L1 cache. Within a chunk, tiles of
// three pairs (24 accumulator registers) and at most one of two.
constexpr std::size_t kFloatChunkPairs = 8;

void float_chunk(const FloatTokens& query, const float* packed, std::size_t p0, std::size_t pairs,
                 const FloatTokens& document, std::size_t dim, float* best) {
    __m512 running[kFloatChunkPairs];
    for (std::size_t p = 0; p < pairs; ++p) running[p] = _mm512_set1_ps(-__builtin_inff());
    for (std::size_t u0 = 0; u0 < document.count; u0 += kFloatTileDocs) {
        const std::size_t left = document.count - u0;
        const std::size_t valid = left < kFloatTileDocs ? left : kFloatTileDocs;
        // A short last tile repeats its last token; the repeats are masked out.
        const std::byte* d[kFloatTileDocs];
        for (std::size_t c = 0; c < kFloatTileDocs; ++c) {
            const std::size_t u = u0 + (c < valid ? c : valid - 1);
            d[c] = document.data + static_cast<std::ptrdiff_t>(u) * document.stride;
        }
        std::size_t p = 0;
        while (pairs - p >= 3 && pairs - p != 4) {
            float_tile<3>(query, packed, p0 + p, d, dim, valid, running + p);
            p += 3;
        }
        for (; pairs - p >= 2; p += 2) float_tile<2>(query, packed, p0 + p, d, dim, valid, running + p);
        if (p < pairs) float_tile<1>(query, packed, p0 + p, d, dim, valid, running + p);
    }
    for (std::size_t p = 0; p < pairs; ++p) {
        const std::size_t t = 2 * (p0 + p);
        best[t] = largest_lane(_mm512_castps512_ps256(running[p]));
        if (t + 1 < query.count) {
            best[t + 1] = largest_lane(_mm256_castpd_ps(_mm512_extractf64x4_pd(_mm512_castps_pd(running[p]), 1)));
        }
    }
}

void float_best_avx512(const FloatTokens& query, const float* packed, const FloatTokens& document, std::size_t dim,
                       float* best) {
    const std::size_t pairs = query.count / 2 + query.count % 2;
    for (std::size_t p = 0; p < pairs; p += kFloatChunkPairs) {
        const std::size_t left = pairs - p;
        float_chunk(query, packed, p, left < kFloatChunkPairs ? left : kFloatChunkPairs, document, dim, best);
    }
}

// ---------------------------------------------------------------------------
// Codes.

inline std::uint32_t load_word(const std::uint8_t* p) {
    std::uint32_t v;
    __builtin_memcpy(&v, p, sizeof v);
    return v;
}

inline __m512i load_block_group(const std::uint8_t* p) { return _mm512_loadu_si512(p); }

// acc + the sums of four unsigned-by-signed byte products per 32-bit lane
// (VPDPBUSD, wrapping). Written as an instruction with a tied accumulator
// because GCC 12 copies the accumulators of _mm512_dpbusd_epi32 into and out
// of scratch registers on every iteration, which costs a third of the loop.
inline __m512i dot_bytes(__m512i acc, __m512i unsigned_bytes, __m512i signed_bytes) {
    asm("vpdpbusd %2, %1, %0" : "+v"(acc) : "v"(unsigned_bytes), "v"(signed_bytes));
    return acc;
}

inline __mmask16 block_mask(std::size_t block, std::size_t blocks, std::size_t tokens) {
    if (block + 1 < blocks) return 0xFFFF;
    const std::size_t valid = tokens - block * kBlockTokens;
    return static_cast<__mmask16>((1u << valid) - 1u);
}

// 1 bit: the fewest differing bits of each of TQ query tokens against the
// whole document; estimates fall with the count, so the fewest gives the
// best estimate.
template <int TQ>
inline void sign_tile(const CodeFormat& format, const std::uint8_t* const* q, const PackedDocument& document,
                      float* best) {
    const std::size_t groups = format.groups;
    const std::size_t blocks = (document.count + kBlockTokens - 1) / kBlockTokens;
    __m512i fewest[TQ];
    for (int r = 0; r < TQ; ++r) fewest[r] = _mm512_set1_epi32(-1);
    for (std::size_t b = 0; b < blocks; ++b) {
        const std::uint8_t* base = document.lanes + b * groups * kBlockGroupBytes;
        __m512i count[TQ];
#pragma GCC unroll 4
        for (int r = 0; r < TQ; ++r) count[r] = _mm512_setzero_si512();
        for (std::size_t g = 0; g < groups; ++g) {
            const __m512i dv = load_block_group(base + g * kBlockGroupBytes);
#pragma GCC unroll 4
            for (int r = 0; r < TQ; ++r) {
                const __m512i x =
                    _mm512_xor_si512(dv, _mm512_set1_epi32(static_cast<int>(load_word(q[r] + g * kGroupBytes))));
                count[r] = _mm512_add_epi32(count[r], _mm512_popcnt_epi32(x));
            }
        }
        const __mmask16 valid = block_mask(b, blocks, document.count);
        for (int r = 0; r < TQ; ++r) {
            // Padding tokens of a short last block leave the minimum as it is.
            fewest[r] = _mm512_mask_min_epu32(fewest[r], valid, fewest[r], count[r]);
        }
    }
    for (int r = 0; r < TQ; ++r) {
        const std::uint32_t h = _mm512_reduce_min_epu32(fewest[r]);
        const float hf = static_cast<float>(h);
        best[r] = format.padded_dim - (hf + hf);
    }
}

inline float largest_lane(__m512 v) {
    float s[kBlockTokens];
    _mm512_storeu_ps(s, v);
    float m = s[0];
    for (std::size_t k = 1; k < kBlockTokens; ++k) m = s[k] > m ? s[k] : m;
    return m;
}

// 4 and 8 bits: the estimates of TQ query tokens against DB consecutive
// blocks update the lane-wise running maxima running[r].
template <int TQ, int DB>
inline void affine_tile(const CodeFormat& format, const std::uint8_t* const* q, const QueryTokenMeta* qm,
                        const PackedDocument& document, std::size_t b0, std::size_t blocks, __m512* running) {
    const std::size_t groups = format.groups;
    __m512i acc[TQ][DB];
#pragma GCC unroll 4
    for (int r = 0; r < TQ; ++r) {
#pragma GCC unroll 2
        for (int k = 0; k < DB; ++k) acc[r][k] = _mm512_setzero_si512();
    }
    const std::uint8_t* base = document.lanes + b0 * groups * kBlockGroupBytes;
    for (std::size_t g = 0; g < groups; ++g) {
        __m512i dv[DB];
#pragma GCC unroll 2
        for (int k = 0; k < DB; ++k) dv[k] = load_block_group(base + (k * groups + g) * kBlockGroupBytes);
#pragma GCC unroll 4
        for (int r = 0; r < TQ; ++r) {
            const __m512i qv = _mm512_set1_epi32(static_cast<int>(load_word(q[r] + g * kGroupBytes)));
#pragma GCC unroll 2
            for (int k = 0; k < DB; ++k) acc[r][k] = dot_bytes(acc[r][k], dv[k], qv);
        }
    }
    for (int k = 0; k < DB; ++k) {
        const std::size_t b = b0 + static_cast<std::size_t>(k);
        const std::size_t slot = b * kBlockTokens;
        const __mmask16 valid = block_mask(b, blocks, document.count);
        const __m512i correction = _mm512_loadu_si512(document.correction + slot);
        const __m512 d_scale = _mm512_loadu_ps(document.scale + slot);
        const __m512 d_offset = _mm512_loadu_ps(document.offset + slot);
        const __m512 d_sum = _mm512_loadu_ps(document.code_sum + slot);
        for (int r = 0; r < TQ; ++r) {
            const __m512 dot = _mm512_cvtepu32_ps(_mm512_add_epi32(acc[r][k], correction));
            const __m512 q_scale = _mm512_set1_ps(qm[r].scale);
            const __m512 q_offset = _mm512_set1_ps(qm[r].offset);
            const __m512 a = _mm512_mul_ps(_mm512_mul_ps(q_scale, d_offset), _mm512_set1_ps(qm[r].code_sum));
            const __m512 bt = _mm512_mul_ps(_mm512_set1_ps(qm[r].offset_times_dim), d_offset);
            const __m512 c = _mm512_mul_ps(_mm512_mul_ps(q_offset, d_scale), d_sum);
            const __m512 e = _mm512_add_ps(_mm512_add_ps(a, _mm512_add_ps(bt, c)),
                                           _mm512_mul_ps(_mm512_mul_ps(q_scale, d_scale), dot));
            running[r] = update_lanes(running[r], e, valid);
        }
    }
}

// The best estimate of each of TQ query tokens against the document, lane
// by lane as for float scores (see update_lanes): lane c keeps the best of
// tokens c, c + 16, ..., and the largest lane is the best.
template <int TQ>
inline void affine_rows(const CodeFormat& format, const std::uint8_t* const* q, const QueryTokenMeta* qm,
                        const PackedDocument& document, float* best) {
    const std::size_t blocks = (document.count + kBlockTokens - 1) / kBlockTokens;
    __m512 running[TQ];
    for (int r = 0; r < TQ; ++r) running[r] = _mm512_set1_ps(-__builtin_inff());
    std::size_t b = 0;
    for (; blocks - b >= 2; b += 2) affine_tile<TQ, 2>(format, q, qm, document, b, blocks, running);
    for (; b < blocks; ++b) affine_tile<TQ, 1>(format, q, qm, document, b, blocks, running);
    for (int r = 0; r < TQ; ++r) best[r] = largest_lane(running[r]);
}

constexpr std::size_t kCodeTileQueries = 4;

void code_best_avx512(const CodeFormat& format, const PackedQuery& query, const PackedDocument& document,
                      float* best) {
    for (std::size_t t = 0; t < query.count; ++t) best[t] = -__builtin_inff();
    if (query.count == 0 || document.count == 0) return;
    const std::size_t token_bytes = format.groups * kGroupBytes;
    std::size_t t = 0;
    for (; query.count - t >= kCodeTileQueries; t += kCodeTileQueries) {
        const std::uint8_t* q[kCodeTileQueries];
        for (std::size_t r = 0; r < kCodeTileQueries; ++r) q[r] = query.lanes + (t + r) * token_bytes;
        if (format.bits == 1) {
            sign_tile<kCodeTileQueries>(format, q, document, best + t);
        } else {
            affine_rows<kCodeTileQueries>(format, q, query.meta + t, document, best + t);
        }
    }
    for (; t < query.count; ++t) {
        const std::uint8_t* q[1] = {query.lanes + t * token_bytes};
        if (format.bits == 1) {
            sign_tile<1>(format, q, document, best + t);
        } else {
            affine_rows<1>(format, q, query.meta + t, document, best + t);
        }
    }
}

constexpr KernelTable kAvx512Table = {&float_packed_size, &float_pack, &float_best_avx512, &code_best_avx512};

}  // namespace

const KernelTable* avx512_kernels() { return &kAvx512Table; }

}  // namespace torvane::maxsim

#pragma GCC diagnostic pop

#else

namespace torvane::maxsim {
const KernelTable* avx512_kernels() { return nullptr; }
}  // namespace torvane::maxsim

#endif
