#pragma once
// The encoder of the rotational quantizer: turns float token vectors into
// the codes and metadata that the estimators of rotational_quantizer.hpp
// read.
//
// Each vector x of `dim` values is padded with zeros to D = padded_dim
// values and rotated: y = H S x / sqrt(D), with S a diagonal of random
// signs drawn from the seed and H the Hadamard matrix of order D. The
// rotation is orthogonal, so y . y' = x . x' for two vectors rotated with
// the same seed, and it spreads every vector's energy over all D
// coordinates, which keeps a per-token scale tight.
//
// Coordinate k of y is encoded as:
//   4 and 8 bits: c = round((y_k - offset) / scale), offset = min y,
//     scale = (max y - min y) / (2^bits - 1) (scale 0 and codes 0 for a
//     constant y), so that offset + scale * c reconstructs y_k within
//     scale / 2; 8 bits one code per byte, 4 bits the even coordinates in
//     the low nibble and the odd ones in the high nibble.
//   1 bit: c = 1 when y_k > 0, bit k % 8 of byte k / 8; scale 2 and
//     offset -1 (the code reconstructs the sign).
// Metadata per token: scale, offset, the sum of the codes, and the L2 norm
// of x. Unused bits and nibbles of the last byte are 0.

#include <cstddef>
#include <cstdint>

#include "quantization/rotational/rotational_quantizer.hpp"

namespace torvane::quant {

// Code bytes per token: ceil(padded_dim * num_bits / 8).
std::size_t code_bytes(const RotationalQuantizer& quantizer);

// Encodes `count` vectors, row r at tokens + r * quantizer.dim(), into
// codes (count x code_bytes) and meta (count x 4), both row-major. Runs on
// the worker pool; every token is encoded on its own, so the result never
// depends on the number of threads.
void encode(const RotationalQuantizer& quantizer, std::uint64_t seed, const float* tokens, std::size_t count,
            std::uint8_t* codes, float* meta);

}  // namespace torvane::quant
