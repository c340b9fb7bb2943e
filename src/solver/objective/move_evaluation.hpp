#pragma once
// Exact objective changes of single moves (add one chunk, or swap a
// selected chunk for an unselected one) without re-scoring the selection.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <limits>
#include <span>
#include <vector>

#include "backend/simd/vector_kernels.hpp"
#include "solver/model/problem.hpp"
#include "solver/model/similarity_view.hpp"
#include "solver/objective/objective.hpp"

namespace torvane {

// For each query token: the four best coverage values among the selected
// candidates, which candidates hold the first three places, and how many
// selected candidates reach the support threshold (saturating at 255).
struct SupportCache {
    std::vector<float> best1, best2, best3, best4;
    std::vector<std::optional<std::size_t>> holder1, holder2, holder3;
    std::vector<std::uint8_t> supporters;
};

// The cache of `selection`; none without coverage, without query tokens or
// when mu carries no weight (|mu| <= 2^-23).
std::optional<SupportCache> build_support_cache(std::span<const std::uint8_t> selection,
                                                const ProblemInstance& problem, float threshold, float mu);

// Change of the fulfilment sum (before multiplying by mu) when `added`
// enters and, with `has_removal`, `removed` leaves. Without a cache the
// sums are recomputed from the selection; 0 when fulfilment is inactive.
double fulfilment_delta(const ObjectiveWeights& weights, const SupportCache* cache,
                        std::span<const std::uint8_t> selection, std::size_t added, bool has_removal,
                        std::size_t removed, const ProblemInstance& problem);

// Change of the objective of a move; `removed` >= n means add only.
// `redundancy[i]` is the similarity sum of i to the selected others.
double move_delta(const ObjectiveWeights& weights, const SupportCache* cache, std::span<const std::uint8_t> selection,
                  std::span<const float> redundancy, const SimilarityView& similarity, std::size_t added,
                  std::size_t removed, const ProblemInstance& problem);

// move_delta of many swaps that share their removal candidates: the
// removal list of one search iteration against each of its add candidates.
// The removed candidates' values are gathered once, and the deltas of one
// added candidate against all of them are computed in one pass that the
// compiler can vectorise; every delta has the operations of move_delta in
// its order, so the same bits.
class SwapDeltas {
public:
    SwapDeltas(const ObjectiveWeights& weights, const SupportCache* cache, std::span<const std::uint8_t> selection,
               std::span<const float> redundancy, const SimilarityView& similarity, const ProblemInstance& problem,
               std::span<const std::size_t> removed);

    // out[y] = move_delta(weights, cache, selection, redundancy, similarity,
    // added, removed[y], problem) for every y; `scratch` is working room.
    // Returns whether pass_offset + out[y] > pass_above for some y (never,
    // with the defaults).
    bool compute(std::size_t added, std::span<double> out, std::vector<double>& scratch, double pass_offset = 0.0,
                 double pass_above = std::numeric_limits<double>::infinity()) const;
    // The same with the vector kernels of one instruction set.
    bool compute(std::size_t added, std::span<double> out, std::vector<double>& scratch, simd::SimdLevel level,
                 double pass_offset = 0.0, double pass_above = std::numeric_limits<double>::infinity()) const;

private:
    const ObjectiveWeights& weights_;
    const SupportCache* cache_;
    std::span<const std::uint8_t> selection_;
    std::span<const float> redundancy_;
    const SimilarityView& similarity_;
    const ProblemInstance& problem_;
    std::span<const std::size_t> removed_;
    bool fulfilment_active_;
    // The removed candidates' scores and redundancy sums, by position.
    std::vector<float> relevance_, density_, centrality_, recency_, auxiliary_, redundancy_removed_;
};

}  // namespace torvane
