#pragma once
// Vector and objective operations that no solver step asks a backend for,
// written literally: the scores of a list of moves as whole rows, and the
// product of two matrices. A backend that scored tabu moves in batches would
// offer them; the tests hold them against the operations the solver uses.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "backend/mod/batch_objective.hpp"
#include "backend/pool/thread_pool.hpp"
#include "common/fault.hpp"
#include "common/numeric.hpp"

namespace torvane::reference {

// For each move m: a copy of `selection` with removed[m] cleared (when it
// is below n) and then added[m] set, scored by evaluate_batch. The two
// lists must be equally long and `selection` must hold n bytes.
inline std::vector<float> evaluate_swap_moves(std::span<const std::uint8_t> selection,
                                              std::span<const std::size_t> added,
                                              std::span<const std::size_t> removed, const ObjectiveContext& context) {
    const std::size_t n = context.n;
    TORVANE_CHECK(added.size() == removed.size(), "evaluate_swap_moves: the move lists differ in length");
    TORVANE_CHECK(selection.size() == n, "evaluate_swap_moves: the selection does not have n bytes");
    const std::size_t moves = added.size();
    std::vector<std::uint8_t> batch(checked_mul(moves, n, "evaluate_swap_moves: moves * n overflows"));
    for (std::size_t m = 0; m < moves; ++m) {
        TORVANE_CHECK(added[m] < n, "evaluate_swap_moves: an added index lies outside the selection");
        std::uint8_t* row = batch.data() + m * n;
        std::copy(selection.begin(), selection.end(), row);
        if (removed[m] < n) row[removed[m]] = 0;  // an index >= n removes nothing
        row[added[m]] = 1;
    }
    return evaluate_batch(batch, moves, context);
}

// The product of the row-major n_a x dim matrix `a` and the row-major
// dim x n_b matrix `b`, as n_a * n_b row-major values. Each entry is summed
// over k in ascending order from +0.0. The lengths must match the shapes.
inline std::vector<float> cross_dot(std::span<const float> a, std::size_t n_a, std::size_t dim,
                                    std::span<const float> b, std::size_t n_b) {
    TORVANE_CHECK(a.size() == checked_mul(n_a, dim, "cross_dot: n_a * dim overflows"),
                  "cross_dot: the first matrix does not have n_a * dim values");
    TORVANE_CHECK(b.size() == checked_mul(dim, n_b, "cross_dot: dim * n_b overflows"),
                  "cross_dot: the second matrix does not have dim * n_b values");
    std::vector<float> out(checked_mul(n_a, n_b, "cross_dot: n_a * n_b overflows"));
    // One output row at a time, accumulating whole rows of b so that the
    // innermost loop runs over contiguous memory; every entry still sums
    // its products in ascending k from +0.0.
    pool::parallel_for(0, n_a, [&](std::size_t i) {
        float* row = out.data() + i * n_b;
        const float* ai = a.data() + i * dim;
        for (std::size_t k = 0; k < dim; ++k) {
            const float aik = ai[k];
            const float* bk = b.data() + k * n_b;
            for (std::size_t j = 0; j < n_b; ++j) row[j] = row[j] + aik * bk[j];
        }
    });
    return out;
}

}  // namespace torvane::reference
