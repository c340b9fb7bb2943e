// The portable MaxSim kernels: the reference order of operations that the
// SIMD units reproduce bit for bit.

#include <bit>
#include <cstring>
#include <limits>

#include "quantization/maxsim/maxsim_kernels.hpp"
#include "quantization/rotational/rotational_quantizer.hpp"

namespace torvane::maxsim {
namespace {

constexpr float kNegInf = -std::numeric_limits<float>::infinity();

inline float load_float(const std::byte* p) {
    float v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

inline std::uint32_t load_word(const std::uint8_t* p) {
    std::uint32_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

// The eight-accumulator dot product of two vectors of `dim` floats.
float dot8(const std::byte* a, const std::byte* b, std::size_t dim) {
    float acc[8] = {0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f};
    std::size_t i = 0;
    for (; dim - i >= 8; i += 8) {
        for (std::size_t k = 0; k < 8; ++k) {
            const std::size_t at = (i + k) * sizeof(float);
            acc[k] = acc[k] + load_float(a + at) * load_float(b + at);
        }
    }
    float s = (((acc[0] + acc[1]) + acc[2]) + acc[3]) + (((acc[4] + acc[5]) + acc[6]) + acc[7]);
    for (; i < dim; ++i) s = s + load_float(a + i * sizeof(float)) * load_float(b + i * sizeof(float));
    return s;
}

std::size_t float_packed_size(std::size_t, std::size_t) { return 0; }

void float_pack(const FloatTokens&, std::size_t, float*) {}

// Documents are read in place.
std::size_t float_document_size(std::size_t, std::size_t) { return 0; }

void float_document_pack(const FloatTokens&, std::size_t, float*) {}

void float_best(const FloatTokens& query, const float*, const FloatTokens& document, const float*,
                const FloatTokens*, std::size_t dim, float* best) {
    for (std::size_t t = 0; t < query.count; ++t) {
        const std::byte* q = query.data + static_cast<std::ptrdiff_t>(t) * query.stride;
        float m = kNegInf;
        for (std::size_t u = 0; u < document.count; ++u) {
            const float e = dot8(q, document.data + static_cast<std::ptrdiff_t>(u) * document.stride, dim);
            if (e > m) m = e;
        }
        best[t] = m;
    }
}

void code_best(const CodeFormat& format, const PackedQuery& query, const PackedDocument& document, float* best) {
    const std::size_t groups = format.groups;
    const std::size_t token_bytes = groups * kGroupBytes;
    for (std::size_t t = 0; t < query.count; ++t) {
        const std::uint8_t* q = query.lanes + t * token_bytes;
        const QueryTokenMeta& qm = query.meta[t];
        float m = kNegInf;
        if (format.bits == 1) {
            // D - 2h falls as h grows, so the best estimate is the one of the
            // fewest differing bits.
            std::uint32_t fewest = std::numeric_limits<std::uint32_t>::max();
            for (std::size_t u = 0; u < document.count; ++u) {
                const std::uint8_t* d = document.lanes + (u / kBlockTokens) * groups * kBlockGroupBytes +
                                        (u % kBlockTokens) * kGroupBytes;
                std::uint32_t h = 0;
                for (std::size_t g = 0; g < groups; ++g) {
                    h += static_cast<std::uint32_t>(
                        std::popcount(load_word(q + g * kGroupBytes) ^ load_word(d + g * kBlockGroupBytes)));
                }
                if (h < fewest) fewest = h;
            }
            if (document.count > 0) m = quant::sign_estimate(format.padded_dim, fewest);
        } else {
            for (std::size_t u = 0; u < document.count; ++u) {
                const std::uint8_t* d = document.lanes + (u / kBlockTokens) * groups * kBlockGroupBytes +
                                        (u % kBlockTokens) * kGroupBytes;
                std::uint32_t dot = document.correction[u];
                for (std::size_t g = 0; g < groups; ++g) {
                    for (std::size_t k = 0; k < kGroupBytes; ++k) {
                        const auto signed_q = static_cast<std::int8_t>(q[g * kGroupBytes + k]);
                        dot += std::uint32_t{d[g * kBlockGroupBytes + k]} * static_cast<std::uint32_t>(signed_q);
                    }
                }
                const float e = quant::affine_estimate(qm.scale, qm.offset, qm.code_sum, document.scale[u],
                                                       document.offset[u], document.code_sum[u], format.padded_dim,
                                                       dot);
                if (e > m) m = e;
            }
        }
        best[t] = m;
    }
}

constexpr KernelTable kScalarTable = {&float_packed_size, &float_pack, &float_document_size, &float_document_pack, &float_best, &code_best};

}  // namespace

const KernelTable& scalar_kernels() { return kScalarTable; }

}  // namespace torvane::maxsim
