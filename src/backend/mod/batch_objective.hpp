#pragma once
// The solver's objective in single precision, for whole selections: one
// row at a time, many rows in parallel, or the rows a list of moves would
// produce from one selection.

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "backend/mod/objective_context.hpp"
#include "backend/simd/vector_kernels.hpp"

namespace torvane {

// The objective of one selection row of context.n bytes:
// beta*D + alpha*R + gamma*C + delta*Y + epsilon*A + mu*F - lambda*Red,
// accumulated in that order, all in single precision.
float row_objective(std::span<const std::uint8_t> row, const ObjectiveContext& context);

// Element r is the objective of bytes [r * n, (r + 1) * n) of `selections`.
// Rows are evaluated in parallel on the worker pool.
std::vector<float> evaluate_batch(std::span<const std::uint8_t> selections, std::size_t rows,
                                  const ObjectiveContext& context);

// For each move m: a copy of `selection` with removed[m] cleared (when it
// is below n) and then added[m] set, scored by evaluate_batch. The two
// lists must be equally long and `selection` must hold n bytes.
std::vector<float> evaluate_swap_moves(std::span<const std::uint8_t> selection, std::span<const std::size_t> added,
                                       std::span<const std::size_t> removed, const ObjectiveContext& context);

// row_objective of 64 0/1 selections that share most of their
// members, computed side by side: element l is exactly the objective
// row_objective gives selection l, with the same operations in the same
// order, only carried out in 64 lanes at once. `members` lists,
// ascending, the candidates selected in at least one of the selections;
// bit l of lanes[k] is set when members[k] is selected in selection l.
inline constexpr std::size_t kObjectiveLanes = 64;
// `level` picks the instruction set (all give the same bits).
std::array<float, kObjectiveLanes> lane_objectives(std::span<const std::size_t> members,
                                                   std::span<const std::uint64_t> lanes,
                                                   const ObjectiveContext& context,
                                                   simd::SimdLevel level = simd::best_simd_level());

}  // namespace torvane
