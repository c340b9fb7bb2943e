#include "quantization/rotational/encoder.hpp"

#include <algorithm>
#include <cmath>
#include <vector>

#include "backend/pool/thread_pool.hpp"
#include "common/fault.hpp"
#include "quantization/fwht/fwht.hpp"

namespace torvane::quant {
namespace {

std::uint64_t splitmix64(std::uint64_t& state) {
    state += 0x9E3779B97F4A7C15ull;
    std::uint64_t z = state;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

// The random sign of every padded coordinate: bit k % 64 of the seed's
// (k / 64)-th splitmix64 output, 1 meaning -1.
std::vector<std::uint64_t> sign_words(std::uint64_t seed, std::size_t padded_dim) {
    std::vector<std::uint64_t> words((padded_dim + 63) / 64);
    std::uint64_t state = seed;
    for (auto& word : words) word = splitmix64(state);
    return words;
}

// Code for y: round((y - offset) / scale) within [0, levels]; a NaN gives 0.
unsigned level_of(double y, double offset, double scale, unsigned levels) {
    if (!(scale > 0.0)) return 0;
    const double t = std::floor((y - offset) / scale + 0.5);
    if (!(t > 0.0)) return 0;
    if (t >= static_cast<double>(levels)) return levels;
    return static_cast<unsigned>(t);
}

}  // namespace

std::size_t code_bytes(const RotationalQuantizer& quantizer) {
    const std::size_t bits = capacity_mul(quantizer.padded_dim(), quantizer.num_bits(), "quantize: the vectors are too long");
    return bits / 8 + (bits % 8 != 0 ? 1 : 0);
}

void encode(const RotationalQuantizer& quantizer, std::uint64_t seed, const float* tokens, std::size_t count,
            std::uint8_t* codes, float* meta) {
    const std::size_t dim = quantizer.dim();
    const std::size_t padded = quantizer.padded_dim();
    const unsigned bits = static_cast<unsigned>(quantizer.num_bits());
    const std::size_t bytes = code_bytes(quantizer);
    const std::vector<std::uint64_t> signs = sign_words(seed, padded);
    const double norm = 1.0 / std::sqrt(static_cast<double>(padded));

    pool::parallel_pieces(0, count, [&](std::size_t lo, std::size_t hi) {
        std::vector<double> y(padded);
        for (std::size_t r = lo; r < hi; ++r) {
            const float* x = tokens + r * dim;
            double squares = 0.0;
            for (std::size_t k = 0; k < padded; ++k) {
                const double v = k < dim ? static_cast<double>(x[k]) : 0.0;
                squares += v * v;
                y[k] = ((signs[k / 64] >> (k % 64)) & 1u) != 0 ? -v : v;
            }
            fwht::transform(y.data(), padded);
            for (double& v : y) v *= norm;

            std::uint8_t* out = codes + r * bytes;
            std::fill(out, out + bytes, std::uint8_t{0});
            float* m = meta + r * 4;
            std::uint64_t code_sum = 0;
            if (bits == 1) {
                for (std::size_t k = 0; k < padded; ++k) {
                    if (y[k] > 0.0) {
                        out[k / 8] = static_cast<std::uint8_t>(out[k / 8] | (1u << (k % 8)));
                        ++code_sum;
                    }
                }
                m[0] = 2.0f;
                m[1] = -1.0f;
            } else {
                const unsigned levels = (1u << bits) - 1u;
                double lowest = y[0];
                double highest = y[0];
                for (const double v : y) {
                    lowest = std::min(lowest, v);
                    highest = std::max(highest, v);
                }
                const float offset = static_cast<float>(lowest);
                const float scale = static_cast<float>((highest - lowest) / static_cast<double>(levels));
                for (std::size_t k = 0; k < padded; ++k) {
                    const unsigned c = level_of(y[k], offset, scale, levels);
                    code_sum += c;
                    if (bits == 8) {
                        out[k] = static_cast<std::uint8_t>(c);
                    } else {
                        out[k / 2] = static_cast<std::uint8_t>(out[k / 2] | (c << (4 * (k % 2))));
                    }
                }
                m[0] = scale;
                m[1] = offset;
            }
            m[2] = static_cast<float>(code_sum);
            m[3] = static_cast<float>(std::sqrt(squares));
        }
    });
}

}  // namespace torvane::quant
