#include "solver/model/similarity_view.hpp"

#include "backend/simd/vector_kernels.hpp"
#include "common/fault.hpp"

namespace torvane {

SimilarityColumns::SimilarityColumns(std::span<const float> rows, std::size_t n, bool known_symmetric) {
    std::size_t entries = 0;
    TORVANE_CHECK(!__builtin_mul_overflow(n, n, &entries) && rows.size() == entries,
                  "similarity view: the matrix is not n x n");
    if (!known_symmetric && n > 1 && !simd::bitwise_symmetric(rows, n)) transposed_ = simd::transpose(rows, n);
    view_ = {rows, transposed_.empty() ? rows : std::span<const float>(transposed_), n};
}

}  // namespace torvane
