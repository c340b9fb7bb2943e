#pragma once
// MaxSim over batches of items with different token counts, stored packed:
// the tokens of all items one after the other, and offsets[i] ..
// offsets[i + 1] the token rows of item i. Nothing is padded, so the work is
// the real token pairs only.
//
// Every score is the one the dense driver (maxsim.hpp) gives for query i and
// document j alone, bit for bit: the same kernels see the same tokens. A
// query without tokens scores +0.0, a document without tokens -inf against a
// query with tokens. Results never depend on the number of threads.
//
// Documents are scored in blocks, so that quantized documents are decoded a
// block at a time and a top-k search holds O(queries x (k + block)) values,
// never a full score matrix.

#include <cstddef>
#include <cstdint>
#include <span>

#include "quantization/maxsim/maxsim.hpp"
#include "quantization/rotational/rotational_quantizer.hpp"

namespace torvane::maxsim {

// Float token vectors: row r (dim contiguous float32 values) at
// tokens + r * dim; offsets.size() - 1 items.
struct RaggedFloats {
    const float* tokens = nullptr;
    std::size_t dim = 0;
    std::span<const std::int64_t> offsets;
};

// Quantized tokens: row r's `bytes` code bytes at codes + r * bytes and its
// metadata (scale, offset, code sum, extra) at meta + r * 4.
struct RaggedCodes {
    const std::uint8_t* codes = nullptr;
    std::size_t bytes = 0;
    const float* meta = nullptr;
    std::span<const std::int64_t> offsets;
};

// Whether `offsets` describes items over `total` token rows: at least one
// entry, the first 0, never decreasing, the last `total`.
bool valid_offsets(std::span<const std::int64_t> offsets, std::size_t total);

// Number of items of a batch (offsets.size() - 1; 0 for no offsets).
inline std::size_t item_count(std::span<const std::int64_t> offsets) {
    return offsets.empty() ? 0 : offsets.size() - 1;
}

// Full score matrices, Nq x Nd row-major into `out` (exactly Nq * Nd
// values). Invalid offsets, a dimension or code-width mismatch and an `out`
// of the wrong size are internal errors, raised before any scoring.
void max_sim_f32_ragged(const RaggedFloats& q, const RaggedFloats& d, std::span<float> out,
                        KernelLevel level = best_kernel_level());
void max_sim_quantized_ragged(const quant::RotationalQuantizer& quantizer, const RaggedCodes& q,
                              const RaggedCodes& d, std::span<float> out, KernelLevel level = best_kernel_level());

// The best min(k, Nd) documents of every query: indices and scores, Nq rows
// of min(k, Nd) entries row-major, best first. A higher score ranks first,
// equal scores (+0.0 and -0.0 included) in ascending document index, and a
// NaN below every number. The entries are exactly the top of the matrix the
// functions above give.
std::size_t top_k_width(std::size_t k, std::size_t documents);
void max_sim_top_k_f32(const RaggedFloats& q, const RaggedFloats& d, std::size_t k, std::span<std::int64_t> indices,
                       std::span<float> scores, KernelLevel level = best_kernel_level());
void max_sim_top_k_quantized(const quant::RotationalQuantizer& quantizer, const RaggedCodes& q, const RaggedCodes& d,
                             std::size_t k, std::span<std::int64_t> indices, std::span<float> scores,
                             KernelLevel level = best_kernel_level());

// Documents per scoring block for `queries` queries: the block's scores
// stay within a few megabytes.
std::size_t documents_per_block(std::size_t queries);

}  // namespace torvane::maxsim
