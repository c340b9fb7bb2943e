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
// exactly as the eight-accumulator dot does.
//
// Both sides are packed so that every operand of the inner loop is one
// plain 64-byte load: the query once per call, in pairs of tokens; each
// document once before it is scored against the queries, with every block
// of eight values stored twice (a broadcast in the inner loop takes a slot
// of the multiply and add pipes, a plain load does not). A tile of 3 query
// pairs x 8 document tokens keeps 24 registers of accumulators in flight,
// which fills the multiply and add pipelines.
//
// The 16 dot products of one pair are reduced together by a transpose, each
// in the fixed order (((l0 + l1) + l2) + l3) + (((l4 + l5) + l6) + l7).
// Lane L of a reduced register holds the score of query token 2p + t(L)
// against document token c(L) of the tile, with t(L) = (L / 4) % 2 and
// c(L) = L % 4 + 4 * (L / 8): that is the order the transpose leaves them
// in. The values after the last full block of eight are packed in the same
// lane order on both sides and added one at a time after the reduction.
// Without document tokens every best score stays -inf.

constexpr std::size_t kFloatTileDocs = 8;

inline std::size_t float_lane_token(std::size_t lane) { return (lane / 4) % 2; }
inline std::size_t float_lane_document(std::size_t lane) { return lane % 4 + 4 * (lane / 8); }

inline float load_float(const std::byte* p) {
    float v;
    __builtin_memcpy(&v, p, sizeof v);
    return v;
}

// Packed query: pair p takes (blocks + tail) * 16 floats from
// p * (blocks + tail) * 16. Block k holds token 2p's values 8k .. 8k + 7,
// then token 2p + 1's; tail value j (value blocks * 8 + j) holds token
// 2p + t(L)'s in lane L. A missing second token is zeros.
std::size_t float_pair_floats(std::size_t dim) { return (dim / 8 + dim % 8) * 16; }

// a * b, or the largest size when that does not fit (no such array exists).
std::size_t size_product(std::size_t a, std::size_t b) {
    std::size_t product;
    return __builtin_mul_overflow(a, b, &product) ? ~std::size_t{0} : product;
}

std::size_t float_packed_size(std::size_t tokens, std::size_t dim) {
    return size_product(tokens / 2 + tokens % 2, size_product(dim / 8 + dim % 8, 16));
}

void float_pack(const FloatTokens& query, std::size_t dim, float* packed) {
    const std::size_t blocks = dim / 8;
    const std::size_t full = blocks * 8;
    const std::size_t pairs = query.count / 2 + query.count % 2;
    for (std::size_t p = 0; p < pairs; ++p) {
        float* pair = packed + p * float_pair_floats(dim);
        for (std::size_t half = 0; half < 2; ++half) {
            const std::size_t t = 2 * p + half;
            const std::byte* src = query.data + static_cast<std::ptrdiff_t>(t) * query.stride;
            for (std::size_t k = 0; k < blocks; ++k) {
                float* dst = pair + k * 16 + half * 8;
                if (t < query.count) {
                    __builtin_memcpy(dst, src + k * 8 * sizeof(float), 8 * sizeof(float));
                } else {
                    for (std::size_t j = 0; j < 8; ++j) dst[j] = 0.0f;
                }
            }
        }
        for (std::size_t j = full; j < dim; ++j) {
            float* dst = pair + (blocks + j - full) * 16;
            for (std::size_t lane = 0; lane < 16; ++lane) {
                const std::size_t t = 2 * p + float_lane_token(lane);
                dst[lane] = t < query.count
                                ? load_float(query.data + static_cast<std::ptrdiff_t>(t) * query.stride +
                                             j * sizeof(float))
                                : 0.0f;
            }
        }
    }
}

// Packed document: tile b (tokens 8b .. 8b + 7) takes (blocks * 8 + tail) *
// 16 floats from b * (blocks * 8 + tail) * 16. Block k holds, for c = 0..7,
// token 8b + c's values 8k .. 8k + 7 twice; tail value j holds token
// 8b + c(L)'s in lane L. A short last tile repeats its last token; the
// kernel masks the repeats out.
std::size_t float_tile_floats(std::size_t dim) { return ((dim / 8) * kFloatTileDocs + dim % 8) * 16; }

std::size_t float_document_size(std::size_t tokens, std::size_t dim) {
    const std::size_t tiles = tokens / kFloatTileDocs + (tokens % kFloatTileDocs != 0 ? 1 : 0);
    return size_product(tiles, size_product(size_product(dim / 8, kFloatTileDocs) + dim % 8, 16));
}

void float_document_pack(const FloatTokens& document, std::size_t dim, float* packed) {
    const std::size_t blocks = dim / 8;
    const std::size_t full = blocks * 8;
    const std::size_t tiles = document.count / kFloatTileDocs + (document.count % kFloatTileDocs != 0 ? 1 : 0);
    for (std::size_t b = 0; b < tiles; ++b) {
        float* tile = packed + b * float_tile_floats(dim);
        const std::byte* d[kFloatTileDocs];
        for (std::size_t c = 0; c < kFloatTileDocs; ++c) {
            const std::size_t u = b * kFloatTileDocs + c < document.count ? b * kFloatTileDocs + c : document.count - 1;
            d[c] = document.data + static_cast<std::ptrdiff_t>(u) * document.stride;
        }
        for (std::size_t k = 0; k < blocks; ++k) {
            for (std::size_t c = 0; c < kFloatTileDocs; ++c) {
                const __m256d v = _mm256_loadu_pd(reinterpret_cast<const double*>(d[c] + k * 8 * sizeof(float)));
                _mm512_storeu_pd(tile + (k * kFloatTileDocs + c) * 16, _mm512_broadcast_f64x4(v));
            }
        }
        for (std::size_t j = full; j < dim; ++j) {
            float* dst = tile + (blocks * kFloatTileDocs + j - full) * 16;
            for (std::size_t lane = 0; lane < 16; ++lane) {
                dst[lane] = load_float(d[float_lane_document(lane)] + j * sizeof(float));
            }
        }
    }
}

// The fixed-order sums of v[0..7] (document tokens c = 0..7), in the lane
// order described above.
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
        // lanes 4q .. 4q + 3: q = 0 and 1 the low token, 2 and 3 the high one.
        part[g] = _mm512_add_ps(_mm512_add_ps(_mm512_add_ps(c0, c1), c2), c3);
    }
    const __m512 first = _mm512_shuffle_f32x4(part[0], part[1], 0x88);   // p0.q0 p0.q2 p1.q0 p1.q2
    const __m512 second = _mm512_shuffle_f32x4(part[0], part[1], 0xDD);  // p0.q1 p0.q3 p1.q1 p1.q3
    return _mm512_add_ps(first, second);
}

// The lanes of a reduced register whose document token is one of the first
// `valid` of the tile.
inline __mmask16 float_valid_lanes(std::size_t valid) {
    const unsigned low = valid >= 4 ? 0xFu : (1u << valid) - 1u;
    const unsigned high = valid > 4 ? (1u << (valid - 4)) - 1u : 0u;
    return static_cast<__mmask16>(low | (low << 4) | (high << 8) | (high << 12));
}

// The best scores are kept lane by lane: lane L of a running maximum holds
// the best score of query token 2p + t(L) against document tokens c(L),
// c(L) + 8, c(L) + 16, ... (lane c against tokens c, c + 16, ... for
// codes), taken in ascending order and replaced only by a strictly greater
// score (so never by a NaN), and a token's best is the largest of its lanes.
// That gives the scores of the sequential rule: equal scores have equal bits
// except +0.0 and -0.0, and which zero is kept cannot change a sum over
// query tokens that starts at +0.0 (such a sum is never -0.0, and adding
// either zero to it gives the same bits). The updates are branch-free; a
// branch on "new best" would be mispredicted about ln(tokens) times per
// query token.
inline __m512 update_lanes(__m512 running, __m512 scores, __mmask16 valid) {
    return _mm512_mask_mov_ps(running, _mm512_mask_cmp_ps_mask(valid, scores, running, _CMP_GT_OQ), scores);
}

// Keeps a loaded value in a register: without this GCC folds the load into
// each of its three multiplications, and three loads per block of eight
// are more than the load unit serves beside the arithmetic.
inline __m512 in_register(__m512 v) {
    asm("" : "+v"(v));
    return v;
}

// Scores the QP query pairs at q (consecutive packed pairs) against the
// packed document tile dt, whose first `valid` tokens count, and updates
// their running maxima.
template <int QP>
inline void float_tile(const float* q, const float* dt, std::size_t dim, __mmask16 valid, __m512* running) {
    const std::size_t blocks = dim / 8;
    const std::size_t tail = dim % 8;
    const std::size_t pair_floats = float_pair_floats(dim);
    __m512 acc[QP][kFloatTileDocs];
#pragma GCC unroll 3
    for (int p = 0; p < QP; ++p) {
#pragma GCC unroll 8
        for (std::size_t c = 0; c < kFloatTileDocs; ++c) acc[p][c] = _mm512_setzero_ps();
    }
    for (std::size_t k = 0; k < blocks; ++k) {
        __m512 qv[QP];
#pragma GCC unroll 3
        for (int p = 0; p < QP; ++p) qv[p] = _mm512_loadu_ps(q + static_cast<std::size_t>(p) * pair_floats + k * 16);
        const float* dk = dt + k * kFloatTileDocs * 16;
#pragma GCC unroll 8
        for (std::size_t c = 0; c < kFloatTileDocs; ++c) {
            const __m512 dv = in_register(_mm512_loadu_ps(dk + c * 16));
#pragma GCC unroll 3
            for (int p = 0; p < QP; ++p) acc[p][c] = _mm512_add_ps(acc[p][c], _mm512_mul_ps(qv[p], dv));
        }
    }
    __m512 scores[QP];
#pragma GCC unroll 3
    for (int p = 0; p < QP; ++p) scores[p] = reduce_lanes16(acc[p]);
    const float* dtail = dt + blocks * kFloatTileDocs * 16;
    for (std::size_t j = 0; j < tail; ++j) {
        const __m512 dv = _mm512_loadu_ps(dtail + j * 16);
#pragma GCC unroll 3
        for (int p = 0; p < QP; ++p) {
            const __m512 qv = _mm512_loadu_ps(q + static_cast<std::size_t>(p) * pair_floats + (blocks + j) * 16);
            scores[p] = _mm512_add_ps(scores[p], _mm512_mul_ps(qv, dv));
        }
    }
#pragma GCC unroll 3
    for (int p = 0; p < QP; ++p) running[p] = update_lanes(running[p], scores[p], valid);
}

// The largest of the lanes whose bits are set in `lanes`.
inline float largest_of(__m512 v, unsigned lanes) {
    float s[16];
    _mm512_storeu_ps(s, v);
    float m = -__builtin_inff();
    for (std::size_t k = 0; k < 16; ++k) {
        if ((lanes >> k & 1u) != 0 && s[k] > m) m = s[k];
    }
    return m;
}

// Query pairs are taken in chunks of up to 16 (32 tokens, a common query)
// whose running maxima stay on the stack, so that each document tile is read
// once per chunk and then served from the L1 cache; within a chunk, tiles of
// three pairs (24 accumulator registers) and of two.
constexpr std::size_t kFloatChunkPairs = 16;

// Fetches the rows of tile b of `ahead` towards the L2 cache.
inline void prefetch_tile(const FloatTokens* ahead, std::size_t b, std::size_t dim) {
    if (ahead == nullptr) return;
    const std::size_t bytes = dim * sizeof(float);
    for (std::size_t u = b * kFloatTileDocs; u < ahead->count && u < (b + 1) * kFloatTileDocs; ++u) {
        const std::byte* row = ahead->data + static_cast<std::ptrdiff_t>(u) * ahead->stride;
        // An instruction GCC keeps: it drops __builtin_prefetch here.
        for (std::size_t at = 0; at < bytes; at += 64) asm volatile("prefetcht1 %0" : : "m"(row[at]));
    }
}

void float_chunk(const FloatTokens& query, const float* packed, std::size_t p0, std::size_t pairs,
                 const FloatTokens& document, const float* packed_document, const FloatTokens* ahead, std::size_t dim,
                 float* best) {
    __m512 running[kFloatChunkPairs];
    for (std::size_t p = 0; p < pairs; ++p) running[p] = _mm512_set1_ps(-__builtin_inff());
    const std::size_t pair_floats = float_pair_floats(dim);
    const std::size_t tile_floats = float_tile_floats(dim);
    const float* q = packed + p0 * pair_floats;
    for (std::size_t u0 = 0, b = 0; u0 < document.count; u0 += kFloatTileDocs, ++b) {
        const std::size_t left = document.count - u0;
        const __mmask16 valid = float_valid_lanes(left < kFloatTileDocs ? left : kFloatTileDocs);
        const float* dt = packed_document + b * tile_floats;
        prefetch_tile(ahead, b, dim);
        std::size_t p = 0;
        while (pairs - p >= 3 && pairs - p != 4) {
            float_tile<3>(q + p * pair_floats, dt, dim, valid, running + p);
            p += 3;
        }
        for (; pairs - p >= 2; p += 2) float_tile<2>(q + p * pair_floats, dt, dim, valid, running + p);
        if (p < pairs) float_tile<1>(q + p * pair_floats, dt, dim, valid, running + p);
    }
    for (std::size_t p = 0; p < pairs; ++p) {
        const std::size_t t = 2 * (p0 + p);
        best[t] = largest_of(running[p], 0x0F0Fu);
        if (t + 1 < query.count) best[t + 1] = largest_of(running[p], 0xF0F0u);
    }
}

void float_best_avx512(const FloatTokens& query, const float* packed, const FloatTokens& document,
                       const float* packed_document, const FloatTokens* ahead, std::size_t dim, float* best) {
    const std::size_t pairs = query.count / 2 + query.count % 2;
    for (std::size_t p = 0; p < pairs; p += kFloatChunkPairs) {
        const std::size_t left = pairs - p;
        float_chunk(query, packed, p, left < kFloatChunkPairs ? left : kFloatChunkPairs, document, packed_document,
                    p == 0 ? ahead : nullptr, dim, best);
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

// The same for tokens of G <= 4 groups (1-bit codes of up to 128
// coordinates): the query's words are broadcast once, held in registers
// across the blocks, and the loop over the groups is unrolled, so that a
// block takes one load, an xor, a popcount and an add per group and query
// token and a minimum per query token.
template <int TQ, int G>
inline void sign_tile_short(const CodeFormat& format, const std::uint8_t* const* q, const PackedDocument& document,
                            float* best) {
    const std::size_t blocks = (document.count + kBlockTokens - 1) / kBlockTokens;
    __m512i words[TQ][G];
#pragma GCC unroll 4
    for (int r = 0; r < TQ; ++r) {
#pragma GCC unroll 4
        for (int g = 0; g < G; ++g) words[r][g] = _mm512_set1_epi32(static_cast<int>(load_word(q[r] + g * kGroupBytes)));
    }
    __m512i fewest[TQ];
#pragma GCC unroll 4
    for (int r = 0; r < TQ; ++r) fewest[r] = _mm512_set1_epi32(-1);
    for (std::size_t b = 0; b < blocks; ++b) {
        const std::uint8_t* base = document.lanes + b * G * kBlockGroupBytes;
        __m512i count[TQ];
#pragma GCC unroll 4
        for (int r = 0; r < TQ; ++r) count[r] = _mm512_setzero_si512();
#pragma GCC unroll 4
        for (int g = 0; g < G; ++g) {
            const __m512i dv = load_block_group(base + g * kBlockGroupBytes);
#pragma GCC unroll 4
            for (int r = 0; r < TQ; ++r) {
                count[r] = _mm512_add_epi32(count[r], _mm512_popcnt_epi32(_mm512_xor_si512(dv, words[r][g])));
            }
        }
        const __mmask16 valid = block_mask(b, blocks, document.count);
#pragma GCC unroll 4
        for (int r = 0; r < TQ; ++r) fewest[r] = _mm512_mask_min_epu32(fewest[r], valid, fewest[r], count[r]);
    }
    for (int r = 0; r < TQ; ++r) {
        const std::uint32_t h = _mm512_reduce_min_epu32(fewest[r]);
        const float hf = static_cast<float>(h);
        best[r] = format.padded_dim - (hf + hf);
    }
}

template <int TQ>
inline void sign_rows(const CodeFormat& format, const std::uint8_t* const* q, const PackedDocument& document,
                      float* best) {
    switch (format.groups) {
        case 1: sign_tile_short<TQ, 1>(format, q, document, best); return;
        case 2: sign_tile_short<TQ, 2>(format, q, document, best); return;
        case 3: sign_tile_short<TQ, 3>(format, q, document, best); return;
        case 4: sign_tile_short<TQ, 4>(format, q, document, best); return;
        default: sign_tile<TQ>(format, q, document, best); return;
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
            sign_rows<kCodeTileQueries>(format, q, document, best + t);
        } else {
            affine_rows<kCodeTileQueries>(format, q, query.meta + t, document, best + t);
        }
    }
    for (; t < query.count; ++t) {
        const std::uint8_t* q[1] = {query.lanes + t * token_bytes};
        if (format.bits == 1) {
            sign_rows<1>(format, q, document, best + t);
        } else {
            affine_rows<1>(format, q, query.meta + t, document, best + t);
        }
    }
}

constexpr KernelTable kAvx512Table = {&float_packed_size, &float_pack,      &float_document_size,
                                      &float_document_pack, &float_best_avx512, &code_best_avx512};

}  // namespace

const KernelTable* avx512_kernels() { return &kAvx512Table; }

}  // namespace torvane::maxsim

#pragma GCC diagnostic pop

#else

namespace torvane::maxsim {
const KernelTable* avx512_kernels() { return nullptr; }
}  // namespace torvane::maxsim

#endif
