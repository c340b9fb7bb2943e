#pragma once
// MaxSim (late-interaction) scoring of a batch of queries against a batch of
// documents, each a bag of token vectors. The score of query i against
// document j is the sum over the query's tokens, in token order and starting
// from +0.0, of the best token score with any of the document's tokens; a
// token score replaces the best so far only when strictly greater, so a NaN
// never does. A query without tokens scores +0.0, a document without tokens
// scores -inf against a query with tokens.
//
// Token scores are either the eight-accumulator single-precision dot
// product of float vectors (bit for bit the one of simd::dot) or the
// estimated inner product of quantized codes (quant::estimate_inner_product).
//
// Inputs are read in place through strided views, so arrays with any byte
// strides (negative and zero ones included) and any alignment can be used.
// The query range is one parallel loop on the current worker pool; every
// score is computed on its own, so results never depend on the number of
// threads.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "common/cpu_features.hpp"
#include "quantization/rotational/rotational_quantizer.hpp"

namespace torvane::maxsim {

// A read-only three-dimensional array: item, token, value. Element
// (i, t, k) lives at data + i * strides[0] + t * strides[1] + k * strides[2].
struct ArrayView3 {
    const std::byte* data = nullptr;
    std::size_t shape[3] = {0, 0, 0};
    std::ptrdiff_t strides[3] = {0, 0, 0};

    const std::byte* row(std::size_t item, std::size_t token) const noexcept {
        return data + static_cast<std::ptrdiff_t>(item) * strides[0] +
               static_cast<std::ptrdiff_t>(token) * strides[1];
    }
};

// Instruction sets of the scoring kernels (common/cpu_features.hpp), chosen
// at run time: Avx2 needs POPCNT as well, Avx512 the F, VL, BW, VNNI and
// VPOPCNTDQ extensions.
using KernelLevel = SimdLevel;

std::string_view kernel_level_name(KernelLevel level);

// Whether this build has the level and the CPU runs it (whatever
// TORVANE_SIMD says).
bool kernel_level_available(KernelLevel level);

// The level chosen once from what the CPU offers and TORVANE_SIMD allows.
KernelLevel best_kernel_level();

// Float scores: q holds Nq x Tq x E float32 values, d holds Nd x Td x E;
// token vectors must be contiguous (a value stride of 4 bytes) unless
// E <= 1. Writes the Nq x Nd scores row-major into `out`, which must hold
// exactly Nq * Nd values. Violations are internal errors.
void max_sim_f32(const ArrayView3& q, const ArrayView3& d, std::span<float> out,
                 KernelLevel level = best_kernel_level());

// Quantized scores for the quantizer's code width: q_codes holds
// Nq x Tq x Bq bytes, d_codes Nd x Td x Bd with Bd >= Bq; the metadata
// arrays hold float32 rows of at least four values (scale, offset, code
// sum, extra) for at least as many items and tokens as the codes. Each
// query token's Bq bytes are compared with the leading Bq bytes of each
// document token. Writes the Nq x Nd scores row-major into `out`.
// Violations are internal errors, raised before any scoring.
void max_sim_quantized(const quant::RotationalQuantizer& quantizer, const ArrayView3& q_codes,
                       const ArrayView3& q_meta, const ArrayView3& d_codes, const ArrayView3& d_meta,
                       std::span<float> out, KernelLevel level = best_kernel_level());

}  // namespace torvane::maxsim
