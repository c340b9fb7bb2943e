// 8-wide x86 kernels, shared by the AVX2 and AVX-512 units. Included inside
// an anonymous namespace by a unit that defines TILE_ROWS and TILE_COLS
// (TILE_ROWS * TILE_COLS a multiple of 8) and is compiled with -mavx2 or
// wider. One 256-bit register holds exactly the eight accumulators of one
// dot product, and a tile of TILE_ROWS x TILE_COLS independent dot products
// is kept in flight to fill the multiply and add pipelines. Products and
// sums are separate instructions (the build never contracts them), and
// each lane sees the same additions in the same order as the scalar code.
//
// Only intrinsics and plain loops here: no library templates (see
// kernel_table.hpp).

static_assert((TILE_ROWS * TILE_COLS) % 8 == 0, "tiles are reduced eight dot products at a time");

inline __m256 mul_add(__m256 acc, __m256 a, __m256 b) { return _mm256_add_ps(acc, _mm256_mul_ps(a, b)); }

#include "backend/simd/lane_reduction.inl"

float dot_x86(const float* a, const float* b, std::size_t len) {
    __m256 acc = _mm256_setzero_ps();
    std::size_t i = 0;
    for (; len - i >= 8; i += 8) acc = mul_add(acc, _mm256_loadu_ps(a + i), _mm256_loadu_ps(b + i));
    float s = reduce_lanes(acc);
    for (; i < len; ++i) s = s + a[i] * b[i];
    return s;
}

void cosine_sums_x86(const float* a, const float* b, std::size_t len, float* sums) {
    __m256 ab = _mm256_setzero_ps();
    __m256 aa = _mm256_setzero_ps();
    __m256 bb = _mm256_setzero_ps();
    std::size_t i = 0;
    for (; len - i >= 8; i += 8) {
        const __m256 x = _mm256_loadu_ps(a + i);
        const __m256 y = _mm256_loadu_ps(b + i);
        ab = mul_add(ab, x, y);
        aa = mul_add(aa, x, x);
        bb = mul_add(bb, y, y);
    }
    float tail_ab = 0.0f;
    float tail_aa = 0.0f;
    float tail_bb = 0.0f;
    for (; i < len; ++i) {
        tail_ab = tail_ab + a[i] * b[i];
        tail_aa = tail_aa + a[i] * a[i];
        tail_bb = tail_bb + b[i] * b[i];
    }
    sums[0] = reduce_lanes(ab) + tail_ab;
    sums[1] = reduce_lanes(aa) + tail_aa;
    sums[2] = reduce_lanes(bb) + tail_bb;
}

// dots[r * cols + c] = dot(a[r], b[c]) for a ROWS x COLS tile.
template <int ROWS, int COLS>
inline void dot_tile(const float* const* a, const float* const* b, std::size_t dim, float* dots) {
    __m256 acc[ROWS * COLS];
#pragma GCC unroll 64
    for (int p = 0; p < ROWS * COLS; ++p) acc[p] = _mm256_setzero_ps();
    std::size_t k = 0;
    for (; dim - k >= 8; k += 8) {
        __m256 av[ROWS];
#pragma GCC unroll 16
        for (int r = 0; r < ROWS; ++r) av[r] = _mm256_loadu_ps(a[r] + k);
#pragma GCC unroll 16
        for (int c = 0; c < COLS; ++c) {
            const __m256 bv = _mm256_loadu_ps(b[c] + k);
#pragma GCC unroll 16
            for (int r = 0; r < ROWS; ++r) acc[r * COLS + c] = mul_add(acc[r * COLS + c], av[r], bv);
        }
    }
#pragma GCC unroll 8
    for (int g = 0; g < ROWS * COLS; g += 8) _mm256_storeu_ps(dots + g, reduce_lanes8(acc + g));
    if (k < dim) {
        for (int r = 0; r < ROWS; ++r) {
            for (int c = 0; c < COLS; ++c) {
                float s = dots[r * COLS + c];
                for (std::size_t j = k; j < dim; ++j) s = s + a[r][j] * b[c][j];
                dots[r * COLS + c] = s;
            }
        }
    }
}

void dot_many_x86(const float* query, const float* rows, std::size_t count, std::size_t dim, float* out) {
    const float* q[1] = {query};
    std::size_t r = 0;
    for (; count - r >= 8; r += 8) {
        const float* b[8];
        for (int c = 0; c < 8; ++c) b[c] = rows + (r + static_cast<std::size_t>(c)) * dim;
        dot_tile<1, 8>(q, b, dim, out + r);
    }
    for (; r < count; ++r) out[r] = dot_x86(rows + r * dim, query, dim);
}

#if defined(PACKED_SIMILARITY)
// Two dot products per 512-bit register, from panels of packed rows.
#include "backend/simd/similarity_panels.inl"
#else
// Dot products of rows [r0, r1) against columns [c0, c1) of u, each stored
// at (i, j) and at (j, i). With `lower` set, tiles lying wholly above the
// diagonal are skipped: their entries are the mirror images of tiles below
// it (a tile across the diagonal computes some entries twice, with the same
// bits, on the same thread).
void similarity_rect(const float* u, std::size_t n, std::size_t dim, std::size_t r0, std::size_t r1,
                     std::size_t c0, std::size_t c1, bool lower, float* out) {
    std::size_t i = r0;
    for (; r1 - i >= TILE_ROWS; i += TILE_ROWS) {
        const float* a[TILE_ROWS];
        for (int r = 0; r < TILE_ROWS; ++r) a[r] = u + (i + static_cast<std::size_t>(r)) * dim;
        const std::size_t last_row = i + TILE_ROWS - 1;
        const std::size_t col_end = lower && last_row + 1 < c1 ? last_row + 1 : c1;
        std::size_t j = c0;
        for (; j < col_end && c1 - j >= TILE_COLS; j += TILE_COLS) {
            const float* b[TILE_COLS];
            for (int c = 0; c < TILE_COLS; ++c) b[c] = u + (j + static_cast<std::size_t>(c)) * dim;
            float dots[TILE_ROWS * TILE_COLS];
            dot_tile<TILE_ROWS, TILE_COLS>(a, b, dim, dots);
            for (int r = 0; r < TILE_ROWS; ++r) {
                float* row = out + (i + static_cast<std::size_t>(r)) * n + j;
                for (int c = 0; c < TILE_COLS; ++c) row[c] = dots[r * TILE_COLS + c];
            }
            for (int c = 0; c < TILE_COLS; ++c) {
                float* row = out + (j + static_cast<std::size_t>(c)) * n + i;
                for (int r = 0; r < TILE_ROWS; ++r) row[r] = dots[r * TILE_COLS + c];
            }
        }
        for (; j < col_end; ++j) {
            for (int r = 0; r < TILE_ROWS; ++r) {
                const std::size_t row = i + static_cast<std::size_t>(r);
                const float v = dot_x86(a[r], u + j * dim, dim);
                out[row * n + j] = v;
                out[j * n + row] = v;
            }
        }
    }
    for (; i < r1; ++i) {
        const float* ui = u + i * dim;
        const std::size_t col_end = lower && i + 1 < c1 ? i + 1 : c1;
        std::size_t j = c0;
        for (; col_end - j >= 8; j += 8) {
            float dots[8];
            dot_many_x86(ui, u + j * dim, 8, dim, dots);
            for (int c = 0; c < 8; ++c) {
                const std::size_t col = j + static_cast<std::size_t>(c);
                out[i * n + col] = dots[c];
                out[col * n + i] = dots[c];
            }
        }
        for (; j < col_end; ++j) {
            const float v = dot_x86(ui, u + j * dim, dim);
            out[i * n + j] = v;
            out[j * n + i] = v;
        }
    }
}

void similarity_block_x86(const float* u, const float* /*packed*/, std::size_t n, std::size_t dim,
                          std::size_t row_begin, std::size_t row_end, float* out) {
    // Columns before the block in chunks that stay in the L2 cache while
    // every row tile of the block passes over them.
    constexpr std::size_t kChunkBytes = 96 * 1024;
    std::size_t chunk = kChunkBytes / (dim * sizeof(float) + 1);
    chunk -= chunk % TILE_COLS;
    if (chunk < TILE_COLS) chunk = TILE_COLS;
    for (std::size_t c0 = 0; c0 < row_begin; c0 += chunk) {
        const std::size_t c1 = row_begin - c0 > chunk ? c0 + chunk : row_begin;
        similarity_rect(u, n, dim, row_begin, row_end, c0, c1, false, out);
    }
    // The block's own square, from its lower triangle.
    similarity_rect(u, n, dim, row_begin, row_end, row_begin, row_end, true, out);
}

constexpr std::size_t kPackGroupRows = 0;
constexpr std::size_t kSimilarityBlockRows = 64;
constexpr std::size_t (*packed_group_floats)(std::size_t) = nullptr;
constexpr void (*pack_group)(const float*, std::size_t, std::size_t, std::size_t, float*) = nullptr;
#endif

#include "backend/simd/lane_objectives.inl"

#include "backend/simd/swap_deltas.inl"
#include "backend/simd/column_sums.inl"

constexpr KernelTable kX86Table{dot_x86,
                                cosine_sums_x86,
                                dot_many_x86,
                                kPackGroupRows,
                                packed_group_floats,
                                pack_group,
                                kSimilarityBlockRows,
                                similarity_block_x86,
                                lane_objectives_kernel,
                                swap_deltas_kernel,
                                add_columns_kernel};
