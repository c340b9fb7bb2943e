#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "common/fault.hpp"
#include "quantization/rotational/rotational_quantizer.hpp"

namespace {

using torvane::InternalError;
using torvane::quant::QuantizedToken;
using torvane::quant::RotationalQuantizer;

std::string fault_of(std::size_t dim, std::size_t bits) {
    try {
        RotationalQuantizer quantizer(dim, bits);
    } catch (const InternalError& e) {
        return e.what();
    }
    return "";
}

QuantizedToken token(std::vector<std::uint8_t> codes, float scale, float offset, float code_sum) {
    const float meta[4] = {scale, offset, code_sum, 0.0f};
    return torvane::quant::make_quantized_token(codes, meta);
}

struct PaddingCase {
    std::size_t dim;
    std::size_t padded;
};

class Padding : public ::testing::TestWithParam<PaddingCase> {};

TEST_P(Padding, IsTheSmallestPowerOfTwoNotBelowDim) {
    const RotationalQuantizer quantizer(GetParam().dim, 8);
    EXPECT_EQ(quantizer.padded_dim(), GetParam().padded);
    EXPECT_EQ(quantizer.block_size(), GetParam().padded);
}

INSTANTIATE_TEST_SUITE_P(Dims, Padding,
                         ::testing::Values(PaddingCase{0, 1}, PaddingCase{1, 1}, PaddingCase{2, 2}, PaddingCase{3, 4},
                                           PaddingCase{768, 1024}, PaddingCase{1024, 1024},
                                           PaddingCase{std::size_t{1} << 31, std::size_t{1} << 31}));

TEST(RotationalQuantizer, RefusesWidthsAndOverlongDimsInOrder) {
    for (const std::size_t bits : {0u, 2u, 3u, 16u}) EXPECT_EQ(fault_of(128, bits), "Only 1, 4, or 8-bit supported");
    const std::size_t too_long = (std::size_t{1} << 31) + 1;  // still a 32-bit word
    EXPECT_EQ(fault_of(too_long, 1), "block_size must be power of 2");
    EXPECT_EQ(fault_of(std::numeric_limits<std::size_t>::max(), 8), "block_size must be power of 2");
    // The width is checked first.
    EXPECT_EQ(fault_of(too_long, 2), "Only 1, 4, or 8-bit supported");
}

TEST(QuantizedToken, CodeSumTruncatesTowardZeroAndSaturates) {
    using torvane::quant::code_sum_from_meta;
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    EXPECT_EQ(code_sum_from_meta(-3.0f), 0u);
    EXPECT_EQ(code_sum_from_meta(2.9f), 2u);
    EXPECT_EQ(code_sum_from_meta(-0.5f), 0u);
    EXPECT_EQ(code_sum_from_meta(nan), 0u);
    EXPECT_EQ(code_sum_from_meta(-inf), 0u);
    EXPECT_EQ(code_sum_from_meta(4294967040.0f), 4294967040u);  // largest float below 2^32
    EXPECT_EQ(code_sum_from_meta(4294967296.0f), 0xFFFFFFFFu);
    EXPECT_EQ(code_sum_from_meta(inf), 0xFFFFFFFFu);
}

TEST(QuantizedToken, NeedsFourMetadataValues) {
    const std::vector<std::uint8_t> codes = {1, 2};
    const float meta[3] = {1.0f, 0.0f, 3.0f};
    EXPECT_THROW(torvane::quant::make_quantized_token(codes, meta), InternalError);
    const QuantizedToken t = token(codes, 0.5f, -1.0f, 3.7f);
    EXPECT_EQ(t.code_sum, 3u);
    EXPECT_EQ(t.scale, 0.5f);
    EXPECT_EQ(t.offset, -1.0f);
}

TEST(Estimate, OneBitCountsDifferingBits) {
    const RotationalQuantizer quantizer(8, 1);  // D = 8
    // Metadata plays no part for one bit.
    EXPECT_EQ(estimate_inner_product(token({0xFF}, 3.0f, 7.0f, 1.0f), token({0x00}, -2.0f, 1.0f, 9.0f), quantizer),
              -8.0f);
    EXPECT_EQ(estimate_inner_product(token({0xA5}, 0, 0, 0), token({0xA5}, 0, 0, 0), quantizer), 8.0f);
    // Only the query's byte count is compared; no code bytes give D.
    EXPECT_EQ(estimate_inner_product(token({0x0F}, 0, 0, 0), token({0x0E, 0xFF}, 0, 0, 0), quantizer), 6.0f);
    EXPECT_EQ(estimate_inner_product(token({}, 0, 0, 0), token({0xFF}, 0, 0, 0), quantizer), 8.0f);
}

TEST(Estimate, EightAndFourBitCodeDots) {
    const RotationalQuantizer eight(3, 8);
    EXPECT_EQ(estimate_inner_product(token({1, 2}, 1, 0, 0), token({3, 4, 99}, 1, 0, 0), eight), 11.0f);
    const RotationalQuantizer four(4, 4);
    // Codes 1 (low nibble) and 2 (high nibble): 1*1 + 2*2.
    EXPECT_EQ(estimate_inner_product(token({0x21}, 1, 0, 0), token({0x21}, 1, 0, 0), four), 5.0f);
    EXPECT_EQ(estimate_inner_product(token({0xF0, 0x0F}, 1, 0, 0), token({0x1F, 0xF2}, 1, 0, 0), four),
              15.0f * 1.0f + 15.0f * 2.0f);
}

TEST(Estimate, AffineTermsInTheirOrder) {
    const RotationalQuantizer quantizer(100, 8);  // D = 128
    const QuantizedToken q = token({7, 250, 3}, 0.013f, -0.71f, 260.9f);
    const QuantizedToken d = token({9, 1, 200, 5}, 0.0077f, 0.39f, 210.2f);
    const std::uint32_t dot = 7 * 9 + 250 * 1 + 3 * 200;
    const float a = (0.013f * 0.39f) * 260.0f;
    const float b = (-0.71f * 128.0f) * 0.39f;
    const float c = (-0.71f * 0.0077f) * 210.0f;
    const float expected = (a + (b + c)) + (0.013f * 0.0077f) * static_cast<float>(dot);
    EXPECT_EQ(std::bit_cast<std::uint32_t>(estimate_inner_product(q, d, quantizer)),
              std::bit_cast<std::uint32_t>(expected));

    // Without code bytes the same terms are summed as ((c + b) + a) + p * 0.
    const QuantizedToken empty = token({}, 0.013f, -0.71f, 260.9f);
    EXPECT_EQ(estimate_inner_product(empty, d, quantizer), ((c + b) + a) + (0.013f * 0.0077f) * 0.0f);
}

TEST(Estimate, CodeDotWrapsModulo2To32) {
    // 66100 products of 255 * 255 exceed 2^32; the dot is an unsigned
    // 32-bit word.
    const std::size_t len = 66100;
    const RotationalQuantizer quantizer(len, 8);
    const QuantizedToken full = token(std::vector<std::uint8_t>(len, 255), 1.0f, 0.0f, 0.0f);
    const std::uint32_t wrapped = static_cast<std::uint32_t>(std::uint64_t{255 * 255} * len);
    EXPECT_EQ(estimate_inner_product(full, full, quantizer), static_cast<float>(wrapped));
}

TEST(Estimate, DocumentShorterThanQueryIsAFault) {
    const RotationalQuantizer quantizer(16, 8);
    EXPECT_THROW(estimate_inner_product(token({1, 2}, 1, 0, 0), token({1}, 1, 0, 0), quantizer), InternalError);
}

}  // namespace
