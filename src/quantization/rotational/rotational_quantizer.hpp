#pragma once
// The rotational quantizer's code format and the inner-product estimators
// that score two quantized tokens directly from their codes.
//
// An encoder outside this module pads each vector to a power-of-two length,
// rotates it randomly and maps every coordinate to an unsigned code of 1, 4
// or 8 bits with a per-vector scale and offset. A rotation preserves inner
// products, so scoring never rotates back: it estimates the inner product
// from the codes and four metadata values per token (scale, offset, code
// sum, extra).
//
// Code layout in the bytes of one token: 8 bits, one code per byte; 4 bits,
// two codes per byte (low nibble, then high nibble); 1 bit, eight codes per
// byte, each the sign of a rotated coordinate. The estimators only pair
// equal positions of the query's and the document's bytes.

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace torvane::quant {

// The padding and code width one scoring call works with. Construction
// validates the pair and raises InternalError with "Only 1, 4, or 8-bit
// supported" or "block_size must be power of 2".
class RotationalQuantizer {
public:
    RotationalQuantizer(std::size_t dim, std::size_t num_bits);

    std::size_t num_bits() const noexcept { return num_bits_; }
    std::size_t dim() const noexcept { return dim_; }
    // The smallest power of two >= dim (1 for dim 0 and 1), at most 2^31.
    std::size_t padded_dim() const noexcept { return padded_dim_; }
    std::size_t block_size() const noexcept { return padded_dim_; }

private:
    std::size_t num_bits_;
    std::size_t dim_;
    std::size_t padded_dim_;
};

// One token's code bytes and metadata.
struct QuantizedToken {
    std::vector<std::uint8_t> codes;
    std::uint32_t code_sum = 0;  // sum of the token's codes
    float scale = 0.0f;          // step between adjacent code values
    float offset = 0.0f;         // value of code 0
    float extra = 0.0f;          // carried, not used by the estimators
};

// The code sum stored as a float in the metadata, as an unsigned 32-bit
// count: truncated toward zero, negative values and NaN give 0, values at
// or above 2^32 saturate.
inline std::uint32_t code_sum_from_meta(float value) noexcept {
    if (!(value > 0.0f)) return 0;
    if (value >= 4294967296.0f) return 0xFFFFFFFFu;
    return static_cast<std::uint32_t>(value);
}

// A token from its code bytes and a metadata row of at least four values
// (scale, offset, code sum, extra); a shorter row is an internal error.
QuantizedToken make_quantized_token(std::span<const std::uint8_t> codes, std::span<const float> meta);

// The estimate for 4 and 8 bits from the integer code dot product, the
// metadata of both tokens (code sums already converted to float) and the
// padded dimension D. Each product and sum is rounded on its own, in this
// order, so that every kernel gives the same bits:
//   a = (q_scale * d_offset) * q_sum
//   b = (q_offset * D) * d_offset
//   c = (q_offset * d_scale) * d_sum
//   estimate = (a + (b + c)) + (q_scale * d_scale) * float(dot)
// That is the inner product of the reconstructed vectors over D coordinates.
inline float affine_estimate(float q_scale, float q_offset, float q_sum, float d_scale, float d_offset, float d_sum,
                             float padded_dim, std::uint32_t dot) noexcept {
    const float a = (q_scale * d_offset) * q_sum;
    const float b = (q_offset * padded_dim) * d_offset;
    const float c = (q_offset * d_scale) * d_sum;
    return (a + (b + c)) + (q_scale * d_scale) * static_cast<float>(dot);
}

// The same terms for a query token without code bytes, summed in the order
// ((c + b) + a) + (q_scale * d_scale) * 0.
inline float affine_estimate_without_codes(float q_scale, float q_offset, float q_sum, float d_scale, float d_offset,
                                           float d_sum, float padded_dim) noexcept {
    const float a = (q_scale * d_offset) * q_sum;
    const float b = (q_offset * padded_dim) * d_offset;
    const float c = (q_offset * d_scale) * d_sum;
    return ((c + b) + a) + (q_scale * d_scale) * 0.0f;
}

// The 1-bit estimate: the inner product of two +-1 sign vectors of length D
// that differ in `differing` positions, D - (h + h).
inline float sign_estimate(float padded_dim, std::uint32_t differing) noexcept {
    const float h = static_cast<float>(differing);
    return padded_dim - (h + h);
}

// Estimates the inner product of the query token `q` with the document
// token `d` for the quantizer's code width. All of q's code bytes are
// compared with the same number of leading bytes of d; d must have at least
// as many (an internal error otherwise).
float estimate_inner_product(const QuantizedToken& q, const QuantizedToken& d, const RotationalQuantizer& quantizer);

}  // namespace torvane::quant
