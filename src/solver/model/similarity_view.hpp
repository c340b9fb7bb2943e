#pragma once
// The similarity matrix of one solve, read by rows and by columns.
//
// The search reads whole columns (the similarity of every candidate to one
// selected candidate) at every move. Column j is row j of `columns`: the
// matrix itself when it is symmetric bit for bit, as the backend's matrices
// are, otherwise a transposed copy made once per solve, so that every column
// read is contiguous and gives exactly the values of the matrix.

#include <cstddef>
#include <span>
#include <vector>

namespace torvane {

struct SimilarityView {
    std::span<const float> rows;     // n x n, row-major: rows[i * n + j]
    std::span<const float> columns;  // columns[j * n + i] == rows[i * n + j]
    std::size_t n = 0;

    float at(std::size_t i, std::size_t j) const { return rows[i * n + j]; }
    // similarity[i * n + j] for i = 0 .. n - 1.
    const float* column(std::size_t j) const { return columns.data() + j * n; }
};

// A view of an n x n matrix owned elsewhere, with the transposed copy when
// the matrix is not symmetric. `known_symmetric` skips the check (for a
// matrix symmetric by construction).
class SimilarityColumns {
public:
    SimilarityColumns(std::span<const float> rows, std::size_t n, bool known_symmetric);
    SimilarityColumns(const SimilarityColumns&) = delete;
    SimilarityColumns& operator=(const SimilarityColumns&) = delete;

    const SimilarityView& view() const { return view_; }
    bool transposed() const { return !transposed_.empty(); }

private:
    std::vector<float> transposed_;
    SimilarityView view_;
};

}  // namespace torvane
