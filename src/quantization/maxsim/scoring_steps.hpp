#pragma once
// Steps shared by the dense and the variable-length MaxSim drivers: the sum
// of a query's best token scores, and the decoding of one token's codes and
// metadata into the packed layout of maxsim_kernels.hpp. Both drivers use
// these, so a score never depends on which of them computed it.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

#include "common/scratch.hpp"
#include "quantization/maxsim/maxsim_kernels.hpp"
#include "quantization/rotational/rotational_quantizer.hpp"

namespace torvane::maxsim::steps {

// Sum over query tokens, in order, from +0.0.
inline float sum_best(const float* best, std::size_t count) {
    float s = 0.0f;
    for (std::size_t t = 0; t < count; ++t) s = s + best[t];
    return s;
}

// A buffer of `size` floats for one piece of a parallel loop, not
// initialised. Up to 4 MiB of it stays with the thread between calls
// (common/scratch.hpp), so that a call does not fault in and clear fresh
// pages for it every time; a larger one is the piece's own.
class PieceBuffer {
public:
    explicit PieceBuffer(std::size_t size)
        : lease_(kept(), size, kKeptBufferFloats, "MaxSim: the packed document does not fit in memory") {}
    float* data() const { return lease_.get(); }

private:
    static constexpr std::size_t kKeptBufferFloats = std::size_t{1} << 20;  // 4 MiB
    static KeptScratch& kept() {
        thread_local KeptScratch block;
        return block;
    }
    ScratchLease lease_;
};

struct CodeLayout {
    unsigned bits;
    std::size_t bytes;   // code bytes compared per token (the query's count)
    std::size_t lanes;   // bytes, or 2 * bytes for 4 bits
    std::size_t groups;  // lanes / 4, rounded up
    float padded_dim;
};

// Copies one token's leading `layout.bytes` code bytes into `row` as lanes
// (groups * 4 of them, padded with `pad`) and returns the sum of the lanes
// modulo 2^32. `flip` is xor-ed into every stored lane.
inline std::uint32_t read_lanes(const std::byte* src, std::ptrdiff_t stride, const CodeLayout& layout,
                                std::uint8_t flip, std::uint8_t* row) {
    std::uint32_t sum = 0;
    const std::size_t n = layout.bytes;
    if (layout.bits == 4) {
        for (std::size_t k = 0; k < n; ++k) {
            std::uint8_t b;
            std::memcpy(&b, src + static_cast<std::ptrdiff_t>(k) * stride, 1);
            row[2 * k] = static_cast<std::uint8_t>(b & 0x0F);
            row[2 * k + 1] = static_cast<std::uint8_t>(b >> 4);
            sum += static_cast<std::uint32_t>(b & 0x0F) + static_cast<std::uint32_t>(b >> 4);
        }
    } else {
        if (stride == 1) {
            if (n > 0) std::memcpy(row, src, n);  // a contiguous row is copied as one block
        } else {
            for (std::size_t k = 0; k < n; ++k) std::memcpy(row + k, src + static_cast<std::ptrdiff_t>(k) * stride, 1);
        }
        for (std::size_t k = 0; k < n; ++k) sum += row[k];
        if (flip != 0) {
            for (std::size_t k = 0; k < n; ++k) row[k] = static_cast<std::uint8_t>(row[k] ^ flip);
        }
    }
    for (std::size_t k = layout.lanes; k < layout.groups * kGroupBytes; ++k) row[k] = flip;
    return sum;
}

// The lane flip of query tokens (see maxsim_kernels.hpp).
inline std::uint8_t query_flip(const CodeLayout& layout) { return layout.bits == 8 ? 0x80 : 0x00; }

// A query token's metadata from its row (scale, offset, code sum, extra).
inline QueryTokenMeta query_token_meta(const float m[4], const CodeLayout& layout) {
    return {m[0], m[1], static_cast<float>(quant::code_sum_from_meta(m[2])), m[1] * layout.padded_dim};
}

// Stores a document token's lanes (`row`, with lane sum `lane_sum`) and
// metadata `m` in slot u of a document whose packed lanes start at `lanes`
// and whose per-token arrays start at the given pointers. A padding slot
// passes zero lanes and zero metadata.
inline void store_document_token(const CodeLayout& layout, const std::uint8_t* row, std::uint32_t lane_sum,
                                 const float m[4], std::size_t u, std::uint8_t* lanes, float* scale, float* offset,
                                 float* code_sum, std::uint32_t* correction) {
    scale[u] = m[0];
    offset[u] = m[1];
    code_sum[u] = static_cast<float>(quant::code_sum_from_meta(m[2]));
    correction[u] = layout.bits == 8 ? 128u * lane_sum : 0u;
    std::uint8_t* block = lanes + (u / kBlockTokens) * layout.groups * kBlockGroupBytes + (u % kBlockTokens) * kGroupBytes;
    for (std::size_t g = 0; g < layout.groups; ++g) {
        std::memcpy(block + g * kBlockGroupBytes, row + g * kGroupBytes, kGroupBytes);
    }
}

}  // namespace torvane::maxsim::steps
