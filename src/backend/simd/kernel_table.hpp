#pragma once
// The per-instruction-set kernels behind vector_kernels.hpp. Each table
// lives in its own translation unit, compiled with that instruction set's
// flags; the dispatcher picks one at run time. The SIMD units use raw
// pointers and no library templates, so that no code compiled for a wider
// instruction set can be shared with (and run by) the other units.
//
// All functions assume the caller has checked the lengths.

#include <cstddef>

namespace torvane::simd {

struct KernelTable {
    // The eight-accumulator dot product over len values of a and b.
    float (*dot)(const float* a, const float* b, std::size_t len);

    // sums[0] = dot(a, b), sums[1] = dot(a, a), sums[2] = dot(b, b), each
    // with the elements past the last full block of eight summed separately
    // from +0.0 and added after the lane reduction.
    void (*cosine_sums)(const float* a, const float* b, std::size_t len, float* sums);

    // out[r] = dot(rows + r * dim, query) for r < count.
    void (*dot_many)(const float* query, const float* rows, std::size_t count, std::size_t dim, float* out);

    // Fills every entry (i, j) of the n x n matrix `out` with max(i, j) in
    // [row_begin, row_end) with dot(u_i, u_j), u being n rows of dim values.
    // Blocks with disjoint row ranges therefore write disjoint entries.
    void (*similarity_block)(const float* u, std::size_t n, std::size_t dim, std::size_t row_begin,
                             std::size_t row_end, float* out);
};

const KernelTable& scalar_kernels();
// nullptr when the build has no such unit (not an x86 target).
const KernelTable* avx2_kernels();
const KernelTable* avx512_kernels();

}  // namespace torvane::simd
