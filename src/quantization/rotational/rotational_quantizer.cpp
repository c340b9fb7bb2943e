#include "quantization/rotational/rotational_quantizer.hpp"

#include <bit>
#include <string>

#include "common/fault.hpp"

namespace torvane::quant {

namespace {

// The largest padding: codes are addressed with 32-bit words on the target
// platforms, so no dimension above 2^31 can be padded to a power of two.
constexpr std::uint64_t kMaxPaddedDim = std::uint64_t{1} << 31;

}  // namespace

RotationalQuantizer::RotationalQuantizer(std::size_t dim, std::size_t num_bits)
    : num_bits_(num_bits), dim_(dim), padded_dim_(0) {
    // Doubling stops at 2^31; a larger dim leaves the padding unset (0,
    // not a power of two) instead of looping.
    std::uint64_t padded = 1;
    while (padded < dim && padded < kMaxPaddedDim) padded *= 2;
    const bool fits = padded >= dim;
    if (num_bits != 1 && num_bits != 4 && num_bits != 8) raise_internal("Only 1, 4, or 8-bit supported");
    if (!fits || !std::has_single_bit(padded)) raise_internal("block_size must be power of 2");
    padded_dim_ = static_cast<std::size_t>(padded);
}

QuantizedToken make_quantized_token(std::span<const std::uint8_t> codes, std::span<const float> meta) {
    TORVANE_CHECK(meta.size() >= 4, "quantized token: the metadata row holds " + std::to_string(meta.size()) +
                                        " values, fewer than the 4 needed (scale, offset, code sum, extra)");
    QuantizedToken token;
    token.codes.assign(codes.begin(), codes.end());
    token.scale = meta[0];
    token.offset = meta[1];
    token.code_sum = code_sum_from_meta(meta[2]);
    token.extra = meta[3];
    return token;
}

float estimate_inner_product(const QuantizedToken& q, const QuantizedToken& d, const RotationalQuantizer& quantizer) {
    const std::size_t len = q.codes.size();
    TORVANE_CHECK(d.codes.size() >= len, "quantized token: the document token has " +
                                             std::to_string(d.codes.size()) + " code bytes, fewer than the " +
                                             std::to_string(len) + " of the query token");
    const float padded_dim = static_cast<float>(quantizer.padded_dim());
    const std::uint8_t* a = q.codes.data();
    const std::uint8_t* b = d.codes.data();

    if (quantizer.num_bits() == 1) {
        std::uint32_t differing = 0;
        for (std::size_t k = 0; k < len; ++k) {
            differing += static_cast<std::uint32_t>(std::popcount(static_cast<unsigned>(a[k] ^ b[k])));
        }
        return sign_estimate(padded_dim, differing);
    }

    const float q_sum = static_cast<float>(q.code_sum);
    const float d_sum = static_cast<float>(d.code_sum);
    if (len == 0) {
        return affine_estimate_without_codes(q.scale, q.offset, q_sum, d.scale, d.offset, d_sum, padded_dim);
    }
    // The code dot product is an exact integer, accumulated modulo 2^32.
    std::uint32_t dot = 0;
    if (quantizer.num_bits() == 8) {
        std::size_t k = 0;
        for (; len - k >= 8; k += 8) {
            for (std::size_t j = 0; j < 8; ++j) dot += std::uint32_t{a[k + j]} * std::uint32_t{b[k + j]};
        }
        for (; k < len; ++k) dot += std::uint32_t{a[k]} * std::uint32_t{b[k]};
    } else {
        for (std::size_t k = 0; k < len; ++k) {
            dot += static_cast<std::uint32_t>(a[k] & 0x0F) * static_cast<std::uint32_t>(b[k] & 0x0F);
            dot += static_cast<std::uint32_t>(a[k] >> 4) * static_cast<std::uint32_t>(b[k] >> 4);
        }
    }
    return affine_estimate(q.scale, q.offset, q_sum, d.scale, d.offset, d_sum, padded_dim, dot);
}

}  // namespace torvane::quant
