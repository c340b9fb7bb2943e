// The portable kernels: a plain rendering of the fixed order of operations,
// one element at a time. The SIMD units must reproduce these bits.

#include "backend/simd/kernel_table.hpp"

namespace torvane::simd {
namespace {

float reduce_lanes(const float* acc) {
    return (((acc[0] + acc[1]) + acc[2]) + acc[3]) + (((acc[4] + acc[5]) + acc[6]) + acc[7]);
}

float dot_scalar(const float* a, const float* b, std::size_t len) {
    float acc[8] = {0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f};
    std::size_t i = 0;
    for (; len - i >= 8; i += 8) {
        for (std::size_t k = 0; k < 8; ++k) acc[k] = acc[k] + a[i + k] * b[i + k];
    }
    float s = reduce_lanes(acc);
    for (; i < len; ++i) s = s + a[i] * b[i];
    return s;
}

void cosine_sums_scalar(const float* a, const float* b, std::size_t len, float* sums) {
    float ab[8] = {0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f};
    float aa[8] = {0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f};
    float bb[8] = {0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f};
    std::size_t i = 0;
    for (; len - i >= 8; i += 8) {
        for (std::size_t k = 0; k < 8; ++k) {
            ab[k] = ab[k] + a[i + k] * b[i + k];
            aa[k] = aa[k] + a[i + k] * a[i + k];
            bb[k] = bb[k] + b[i + k] * b[i + k];
        }
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

void dot_many_scalar(const float* query, const float* rows, std::size_t count, std::size_t dim, float* out) {
    for (std::size_t r = 0; r < count; ++r) out[r] = dot_scalar(rows + r * dim, query, dim);
}

void similarity_block_scalar(const float* u, const float* /*packed*/, std::size_t n, std::size_t dim,
                             std::size_t row_begin, std::size_t row_end, float* out) {
    // dot(u_i, u_j) and dot(u_j, u_i) have the same bits: compute the lower
    // triangle and store every value in both triangles.
    for (std::size_t i = row_begin; i < row_end; ++i) {
        const float* ui = u + i * dim;
        for (std::size_t j = 0; j <= i; ++j) {
            const float v = dot_scalar(ui, u + j * dim, dim);
            out[i * n + j] = v;
            out[j * n + i] = v;
        }
    }
}

#define LANE_VECTOR_BYTES 16
#include "backend/simd/lane_objectives.inl"
#undef LANE_VECTOR_BYTES

#include "backend/simd/swap_deltas.inl"
#include "backend/simd/column_sums.inl"

constexpr KernelTable kScalarTable{dot_scalar,
                                   cosine_sums_scalar,
                                   dot_many_scalar,
                                   0,
                                   nullptr,
                                   nullptr,
                                   64,
                                   similarity_block_scalar,
                                   lane_objectives_kernel,
                                   swap_deltas_kernel,
                                   add_columns_kernel};

}  // namespace

const KernelTable& scalar_kernels() { return kScalarTable; }

}  // namespace torvane::simd
