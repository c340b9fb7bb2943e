// The cosine similarity matrix for units with AVX-512F: two dot products
// per 512-bit register, read from a packed copy of the rows. Included by
// kernels_x86.inl inside an anonymous namespace.
//
// The rows are packed in panels of eight, as a matrix product packs its
// panels: for each block of eight elements, the panel holds 64 floats,
// four 16-float slots, slot c holding that block of row c (lanes 0-7) and
// of row c + 4 (lanes 8-15); after the blocks come the elements past the
// last full block, element by element, eight floats each (one per row).
//
// A tile is six rows against the eight rows of one panel: 24 registers of
// accumulators, register (r, c) holding the eight accumulators of
// dot(row r, panel row c) in lanes 0-7 and of dot(row r, panel row c + 4)
// in lanes 8-15. Every lane adds the same products in the same order as
// the scalar kernel; only how pairs share registers differs. The lane
// reductions of 16 dot products at a time go through transposes in
// registers, each in the fixed order (((l0 + l1) + l2) + l3) +
// (((l4 + l5) + l6) + l7), and the elements past the last block are then
// added one at a time, for the 16 dot products side by side.
//
// dot(a, b) and dot(b, a) have the same bits (each product commutes), so a
// block computes the entries on and below the diagonal and stores each in
// both triangles.

// GCC 12's AVX-512 headers fill "undefined" source registers with a
// self-initialised variable, which its own -Wmaybe-uninitialized reports
// wherever such an intrinsic is inlined; silenced for these kernels only.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

constexpr std::size_t kPackGroupRows = 8;
constexpr int kPanelTileRows = 6;
// Eight row tiles per parallel block.
constexpr std::size_t kSimilarityBlockRows = 8 * kPanelTileRows;

// Eight 256-bit values of memory in both halves of a register.
inline __m512 load_twice(const float* p) {
    return _mm512_castpd_ps(_mm512_broadcast_f64x4(_mm256_castps_pd(_mm256_loadu_ps(p))));
}

// The floats of the column part of a panel (the blocks and the tail).
std::size_t column_panel_floats(std::size_t dim) {
    const std::size_t tail_floats = dim % 8 * 8;
    return dim / 8 * 64 + (tail_floats + 15) / 16 * 16;
}

// After the column part, the row part: each of the eight rows on its own,
// every block of eight stored twice (16 floats), so that one aligned load
// fills both halves of a register. Each row is followed by one unused
// cache line: a tile streams six rows at once, and rows a multiple of
// 4 KiB apart would all fall into the same sets of the first-level cache.
std::size_t twice_row_floats(std::size_t dim) { return dim / 8 * 16 + 16; }

std::size_t packed_group_floats(std::size_t dim) {
    return column_panel_floats(dim) + kPackGroupRows * twice_row_floats(dim);
}

void pack_group(const float* u, std::size_t n, std::size_t dim, std::size_t group, float* panel) {
    const std::size_t blocks = dim / 8;
    const std::size_t tail = dim % 8;
    float* const tail_panel = panel + blocks * 64;
    const std::size_t tail_floats = column_panel_floats(dim) - blocks * 64;
    float* const row_part = panel + column_panel_floats(dim);
    for (std::size_t k = 0; k < tail_floats; ++k) tail_panel[k] = 0.0f;
    for (std::size_t q = 0; q < kPackGroupRows; ++q) {
        const std::size_t row = group * kPackGroupRows + q;
        float* slot = panel + q % 4 * 16 + q / 4 * 8;
        float* twice = row_part + q * twice_row_floats(dim);
        if (row >= n) {
            for (std::size_t b = 0; b < blocks; ++b) _mm256_store_ps(slot + b * 64, _mm256_setzero_ps());
            for (std::size_t b = 0; b <= blocks; ++b) _mm512_store_ps(twice + b * 16, _mm512_setzero_ps());
            continue;
        }
        const float* x = u + row * dim;
        for (std::size_t b = 0; b < blocks; ++b) {
            _mm256_store_ps(slot + b * 64, _mm256_loadu_ps(x + b * 8));
            _mm512_store_ps(twice + b * 16, load_twice(x + b * 8));
        }
        _mm512_store_ps(twice + blocks * 16, _mm512_setzero_ps());
        for (std::size_t t = 0; t < tail; ++t) tail_panel[t * 8 + q] = x[blocks * 8 + t];
    }
}

// For four registers w0..w3 of two dot products each: in quarter P (lanes
// 4P .. 4P+3) of the result, lane w is ((e0 + e1) + e2) + e3 of the four
// lanes of quarter P of w_w.
inline __m512 quarter_sums(const __m512* w) {
    const __m512 t0 = _mm512_unpacklo_ps(w[0], w[1]);  // per quarter: w0e0 w1e0 w0e1 w1e1
    const __m512 t1 = _mm512_unpackhi_ps(w[0], w[1]);  // w0e2 w1e2 w0e3 w1e3
    const __m512 t2 = _mm512_unpacklo_ps(w[2], w[3]);
    const __m512 t3 = _mm512_unpackhi_ps(w[2], w[3]);
    const __m512 e0 = _mm512_shuffle_ps(t0, t2, 0x44);  // w0e0 w1e0 w2e0 w3e0
    const __m512 e1 = _mm512_shuffle_ps(t0, t2, 0xEE);
    const __m512 e2 = _mm512_shuffle_ps(t1, t3, 0x44);
    const __m512 e3 = _mm512_shuffle_ps(t1, t3, 0xEE);
    return _mm512_add_ps(_mm512_add_ps(_mm512_add_ps(e0, e1), e2), e3);
}

// The lane reductions of the eight registers w[0..7], w[4g + c] holding
// the dot products of row g with panel rows c (lanes 0-7) and c + 4
// (lanes 8-15): lanes 0-7 of the result hold row 0 against panel rows
// 0..7, lanes 8-15 row 1.
inline __m512 reduce_row_pair(const __m512* w) {
    const __m512 s0 = quarter_sums(w);
    const __m512 s1 = quarter_sums(w + 4);
    // Quarters 0 and 2 hold the sums of lanes 0-3 of each dot product,
    // quarters 1 and 3 those of lanes 4-7.
    const __m512 low = _mm512_shuffle_f32x4(s0, s1, 0x88);
    const __m512 high = _mm512_shuffle_f32x4(s0, s1, 0xDD);
    return _mm512_add_ps(low, high);
}

// The dot products of rows a[0..5] with the eight rows of `panel`:
// res[k] holds row 2k against panel rows 0..7 in lanes 0-7 and row 2k + 1
// in lanes 8-15.
inline void panel_tile(const float* const* a, const float* const* twice, const float* panel, std::size_t blocks,
                       std::size_t tail, __m512* res) {
    __m512 acc[kPanelTileRows * 4];
#pragma GCC unroll 24
    for (int p = 0; p < kPanelTileRows * 4; ++p) acc[p] = _mm512_setzero_ps();
    const float* p = panel;
    for (std::size_t b = 0; b < blocks; ++b, p += 64) {
        const __m512 b0 = _mm512_load_ps(p);
        const __m512 b1 = _mm512_load_ps(p + 16);
        const __m512 b2 = _mm512_load_ps(p + 32);
        const __m512 b3 = _mm512_load_ps(p + 48);
#pragma GCC unroll 6
        for (int r = 0; r < kPanelTileRows; ++r) {
            const __m512 av = _mm512_load_ps(twice[r] + b * 16);
            acc[r * 4 + 0] = _mm512_add_ps(acc[r * 4 + 0], _mm512_mul_ps(av, b0));
            acc[r * 4 + 1] = _mm512_add_ps(acc[r * 4 + 1], _mm512_mul_ps(av, b1));
            acc[r * 4 + 2] = _mm512_add_ps(acc[r * 4 + 2], _mm512_mul_ps(av, b2));
            acc[r * 4 + 3] = _mm512_add_ps(acc[r * 4 + 3], _mm512_mul_ps(av, b3));
        }
    }
#pragma GCC unroll 3
    for (int k = 0; k < kPanelTileRows / 2; ++k) res[k] = reduce_row_pair(acc + 8 * k);
    for (std::size_t t = 0; t < tail; ++t) {
        const std::size_t e = blocks * 8 + t;
        const __m512 bv = load_twice(p + t * 8);
        for (int k = 0; k < kPanelTileRows / 2; ++k) {
            const __m512 av = _mm512_mask_blend_ps(0xFF00, _mm512_set1_ps(a[2 * k][e]), _mm512_set1_ps(a[2 * k + 1][e]));
            res[k] = _mm512_add_ps(res[k], _mm512_mul_ps(av, bv));
        }
    }
}

inline __m256 high_half(__m512 v) { return _mm256_castpd_ps(_mm512_extractf64x4_pd(_mm512_castps_pd(v), 1)); }

// Stores a whole tile of panel_tile, rows i0 .. i0+5 against columns
// j0 .. j0+7, at (i, j) and, transposed in registers, at (j, i).
inline void store_below_diagonal(const __m512* res, std::size_t n, std::size_t i0, std::size_t j0, float* out) {
    for (std::size_t k = 0; k < kPanelTileRows / 2; ++k) {
        _mm256_storeu_ps(out + (i0 + 2 * k) * n + j0, _mm512_castps512_ps256(res[k]));
        _mm256_storeu_ps(out + (i0 + 2 * k + 1) * n + j0, high_half(res[k]));
    }
    // Columns c and c + 1 at a time: rows 0-3 from res[0] and res[1], then
    // rows 4 and 5 from res[2], in lanes 0-5 (column c) and 8-13 (c + 1).
#pragma GCC unroll 4
    for (int c = 0; c < 8; c += 2) {
        const __m512i first = _mm512_setr_epi32(c, 8 + c, 16 + c, 24 + c, 0, 0, 0, 0,  //
                                                c + 1, 9 + c, 17 + c, 25 + c, 0, 0, 0, 0);
        const __m512i second = _mm512_setr_epi32(0, 1, 2, 3, 16 + c, 24 + c, 0, 0,  //
                                                 8, 9, 10, 11, 17 + c, 25 + c, 0, 0);
        const __m512 rows03 = _mm512_permutex2var_ps(res[0], first, res[1]);
        const __m512 column = _mm512_permutex2var_ps(rows03, second, res[2]);
        _mm256_mask_storeu_ps(out + (j0 + c) * n + i0, 0x3F, _mm512_castps512_ps256(column));
        _mm256_mask_storeu_ps(out + (j0 + c + 1) * n + i0, 0x3F, high_half(column));
    }
}

void similarity_block_x86(const float* u, const float* packed, std::size_t n, std::size_t dim,
                          std::size_t row_begin, std::size_t row_end, float* out) {
    const std::size_t stride = packed_group_floats(dim);
    const std::size_t column_floats = column_panel_floats(dim);
    const std::size_t twice_row = twice_row_floats(dim);
    const std::size_t blocks = dim / 8;
    const std::size_t tail = dim % 8;
    // Panels in chunks that stay in the L2 cache while every row tile of
    // the block passes over them.
    constexpr std::size_t kChunkBytes = 192 * 1024;
    std::size_t chunk = kChunkBytes / (column_floats * sizeof(float));
    if (chunk == 0) chunk = 1;
    const std::size_t groups = (row_end - 1) / kPackGroupRows + 1;  // those holding a column j < row_end
    alignas(64) float dots[kPanelTileRows * 8];
    for (std::size_t g0 = 0; g0 < groups; g0 += chunk) {
        const std::size_t g1 = groups - g0 > chunk ? g0 + chunk : groups;
        for (std::size_t i0 = row_begin; i0 < row_end; i0 += kPanelTileRows) {
            const std::size_t rows = row_end - i0 < kPanelTileRows ? row_end - i0 : kPanelTileRows;
            // A short tile repeats its last row and stores only its own rows.
            const float* a[kPanelTileRows];
            const float* twice[kPanelTileRows];
            for (std::size_t r = 0; r < kPanelTileRows; ++r) {
                const std::size_t i = i0 + (r < rows ? r : rows - 1);
                a[r] = u + i * dim;
                twice[r] = packed + i / kPackGroupRows * stride + column_floats + i % kPackGroupRows * twice_row;
            }
            const std::size_t last_row = i0 + rows - 1;
            const std::size_t top = last_row / kPackGroupRows;  // the panel holding the diagonal of the last row
            for (std::size_t g = g0; g < g1 && g <= top; ++g) {
                __m512 res[kPanelTileRows / 2];
                panel_tile(a, twice, packed + g * stride, blocks, tail, res);
                const std::size_t j0 = g * kPackGroupRows;
                if (rows == kPanelTileRows && j0 + kPackGroupRows <= i0) {
                    store_below_diagonal(res, n, i0, j0, out);
                    continue;
                }
                for (int k = 0; k < kPanelTileRows / 2; ++k) _mm512_store_ps(dots + 16 * k, res[k]);
                for (std::size_t r = 0; r < rows; ++r) {
                    const std::size_t i = i0 + r;
                    for (std::size_t c = 0; c < kPackGroupRows; ++c) {
                        const std::size_t j = j0 + c;
                        if (j > i) break;
                        out[i * n + j] = dots[8 * r + c];
                        out[j * n + i] = dots[8 * r + c];
                    }
                }
            }
        }
    }
}

#pragma GCC diagnostic pop
