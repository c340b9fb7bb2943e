#pragma once
// Single-precision vector kernels: the eight-accumulator dot product that
// every other kernel reuses, cosine, masked sum, row normalisation, the
// cosine similarity matrix and two many-vector products.
//
// Every kernel fixes its order of additions and never fuses a multiply and
// an add, so the SIMD paths (selected at run time from what the CPU offers)
// and the portable scalar path give the same bits. Length relations the
// callers must keep are checked; a violation raises InternalError instead
// of reading outside the data.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string_view>
#include <vector>

#include "common/cpu_features.hpp"

namespace torvane::simd {

// Instruction-set levels (common/cpu_features.hpp): Avx2 runs 8-wide with
// 16 vector registers, Avx512 8-wide with the 32 registers of AVX-512VL.
using torvane::SimdLevel;
using torvane::simd_level_name;

// Whether this build has the level and the CPU runs it (whatever
// TORVANE_SIMD says).
bool simd_level_available(SimdLevel level);

// The level chosen once from what the CPU offers and TORVANE_SIMD allows;
// what the kernels use unless told otherwise.
SimdLevel best_simd_level();

// Eight lanes acc[k] += a[i+k] * b[i+k] over the full blocks of eight,
// reduced as (((acc0+acc1)+acc2)+acc3) + (((acc4+acc5)+acc6)+acc7), then the
// remaining elements added one at a time. The length of `a` governs;
// `b` must be at least as long.
float dot(std::span<const float> a, std::span<const float> b, SimdLevel level = best_simd_level());

// dot(a, b) / (|a| * |b|), or 0 when either norm is not above 1e-6. The
// three sums are eight-lane sums like dot, each with its own tail sum
// added after the lane reduction. `b` must be at least as long as `a`.
float cosine(std::span<const float> a, std::span<const float> b, SimdLevel level = best_simd_level());

// Sum of values[k] over k < min(lengths) with selection[k] != 0, in
// ascending order, starting from -0.0.
float masked_sum(std::span<const float> values, std::span<const std::uint8_t> selection);

// Cuts `data` into pieces of `dim` values (the last one shorter when the
// length is not a multiple) and scales each piece x by 1 / sqrt(dot(x, x))
// computed in single precision, or by 0 when dot(x, x) is not above 1e-6.
// Pieces are processed in parallel. dim = 0 is a fault.
std::vector<float> normalize_rows(std::span<const float> data, std::size_t dim,
                                  SimdLevel level = best_simd_level());

// The n x n row-major matrix of dot(U_i, U_j) over the normalised rows U
// of the first n * dim embedding values, computed in parallel blocks of 64
// rows. n = 0 or dim = 0 is a fault ("chunk_size must not be zero").
std::vector<float> similarity_matrix(std::span<const float> embeddings, std::size_t n, std::size_t dim,
                                     SimdLevel level = best_simd_level());

// The same matrix in a buffer of n * n values that is not zero-filled before
// the kernel writes all of them: for a large n, filling it first costs
// about as much again as the pages' first writes.
std::unique_ptr<float[]> similarity_matrix_buffer(std::span<const float> embeddings, std::size_t n, std::size_t dim,
                                                  SimdLevel level = best_simd_level());

// result[i] = dot(row i, query) for the `rows` rows of `dim` values.
std::vector<float> dot_rows(std::span<const float> matrix, std::size_t rows, std::size_t dim,
                            std::span<const float> query, SimdLevel level = best_simd_level());

// The product of the row-major n_a x dim matrix `a` and the row-major
// dim x n_b matrix `b`, as n_a * n_b row-major values. Each entry is summed
// over k in ascending order from +0.0. The lengths must match the shapes.
std::vector<float> cross_dot(std::span<const float> a, std::size_t n_a, std::size_t dim, std::span<const float> b,
                             std::size_t n_b);

// out[l] = the row objective of selection l of the kLaneCount (64)
// described by `input` (kernel_table.hpp), the same bits whichever instruction set runs.
struct LaneObjectiveInput;
void lane_objectives(const LaneObjectiveInput& input, float* out, SimdLevel level = best_simd_level());

// out[y] = the change of the objective of swap y of those `input` describes
// (kernel_table.hpp), the same bits whichever instruction set runs; returns
// whether input.pass_offset + out[y] > input.pass_above for some y.
struct SwapDeltaInput;
bool swap_deltas(const SwapDeltaInput& input, double* out, SimdLevel level = best_simd_level());

// For every c < n: sum[c] += columns[j][c] (widened to double) for each
// column j in order, except where c == own[j]. `own` must be strictly
// ascending and below n; each column holds n values.
void add_columns(std::span<const float* const> columns, std::span<const std::size_t> own, std::size_t n,
                 double* sum, SimdLevel level = best_simd_level());

// Whether the row-major n x n matrix equals its transpose bit for bit
// (so +0.0 and -0.0 differ, and NaNs must have the same payload). Blocks of
// rows are compared in parallel; the first difference found stops the rest.
bool bitwise_symmetric(std::span<const float> matrix, std::size_t n);

// The transpose of the row-major n x n matrix, built in parallel tiles.
std::vector<float> transpose(std::span<const float> matrix, std::size_t n);

}  // namespace torvane::simd
