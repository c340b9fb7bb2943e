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

// The similarities of every candidate to the selected ones, row by row:
// row(a)[slot(s)] == similarity.column(s)[a] for every selected s. The
// values one add candidate needs against the selected ones then lie within
// a few cache lines instead of one line per selected candidate. Kept up to
// date move by move. While the rows would take more than kMaxBytes (a large
// selection of many candidates) none are kept and usable() is false.
class SelectedSimilarities {
public:
    static constexpr std::size_t kMaxBytes = std::size_t{32} << 20;
    static constexpr std::uint32_t kNoSlot = ~std::uint32_t{0};

    SelectedSimilarities(std::span<const std::uint8_t> selection, const SimilarityView& similarity);

    // The rows of `selection` from scratch.
    void rebuild(std::span<const std::uint8_t> selection);
    // After Move(added, removed) (removed == n: none): the leaving
    // candidate's slot goes to the entering one.
    void update(std::size_t added, std::size_t removed);

    bool usable() const { return usable_; }
    // The slot of a selected candidate (kNoSlot for another).
    std::uint32_t slot(std::size_t selected) const { return slot_of_[selected]; }
    const float* row(std::size_t a) const { return values_.data() + a * stride_; }

private:
    // Lays the rows out anew with room for `slots` selected candidates.
    void lay_out(std::size_t slots);
    void fill_slot(std::uint32_t slot, std::size_t candidate);

    const SimilarityView& similarity_;
    std::size_t n_ = 0;
    std::size_t stride_ = 0;
    std::vector<float> values_;             // n x stride_
    std::vector<std::uint32_t> slot_of_;    // per candidate
    std::vector<std::uint32_t> free_;       // slots without a candidate
    bool usable_ = false;
};

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
               std::span<const std::size_t> removed, const SelectedSimilarities* selected = nullptr);

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
    // Where the similarities of an added candidate to the removed ones are
    // read: the slots of the removed ones in the selected rows, or (without
    // usable rows) their columns.
    const SelectedSimilarities* selected_ = nullptr;
    std::vector<std::uint32_t> slots_;
    std::vector<const float*> columns_;
    // mu times a zero fulfilment change, for every removed candidate, when
    // fulfilment is inactive.
    std::vector<double> constant_fulfilment_;
};

}  // namespace torvane
