#pragma once
// Random moves on a selection, shared by the tests that follow incremental
// state against fresh recomputation.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <random>
#include <vector>

namespace torvane::testing_support {

struct Move {
    std::size_t added;
    std::size_t removed;  // the selection's size when the move only adds
};

// Applies one random move to `selection`: adds an unselected candidate and,
// unless nothing is selected or one move in about `add_only_every` only adds,
// removes a selected one. Draws the added candidate, then the add-only test,
// then the removed candidate. Nothing happens (nullopt) when every candidate
// is selected.
inline std::optional<Move> random_move(std::vector<std::uint8_t>& selection, std::mt19937& rng,
                                       unsigned add_only_every) {
    const std::size_t n = selection.size();
    std::vector<std::size_t> in;
    std::vector<std::size_t> out;
    for (std::size_t i = 0; i < n; ++i) (selection[i] != 0 ? in : out).push_back(i);
    if (out.empty()) return std::nullopt;
    const std::size_t added = out[rng() % out.size()];
    const bool add_only = in.empty() || rng() % add_only_every == 0;
    const std::size_t removed = add_only ? n : in[rng() % in.size()];
    if (removed < n) selection[removed] = 0;
    selection[added] = 1;
    return Move{added, removed};
}

}  // namespace torvane::testing_support
