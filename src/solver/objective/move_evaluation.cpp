#include "solver/objective/move_evaluation.hpp"

#include <cmath>

#include "backend/simd/kernel_table.hpp"
#include "common/fault.hpp"
#include "common/numeric.hpp"

namespace torvane {

namespace {

bool fulfilment_active(const ProblemInstance& problem, float mu) {
    return problem.coverage.has_value() && problem.num_query_tokens > 0 && std::fabs(mu) > kZeroWeight;
}

double token_weight(const ProblemInstance& problem, std::size_t t) {
    if (problem.query_token_weights && t < problem.query_token_weights->size()) {
        return static_cast<double>((*problem.query_token_weights)[t]);
    }
    return 1.0;
}

double support_of(const float (&b)[4], std::size_t supporters, const SupportQuorum<double>& quorum) {
    const double wide[4] = {static_cast<double>(b[0]), static_cast<double>(b[1]), static_cast<double>(b[2]),
                            static_cast<double>(b[3])};
    return quorum.support(wide, supporters);
}

}  // namespace

std::optional<SupportCache> build_support_cache(std::span<const std::uint8_t> selection,
                                                const ProblemInstance& problem, float threshold, float mu) {
    if (!fulfilment_active(problem, mu)) return std::nullopt;
    const std::size_t n = problem.n;
    const std::size_t tokens = problem.num_query_tokens;
    TORVANE_CHECK(selection.size() == n, "support cache: selection length does not match the candidates");
    TORVANE_CHECK(problem.coverage->size() >= tokens * n, "support cache: coverage shorter than tokens x candidates");
    SupportCache cache;
    cache.best1.assign(tokens, 0.0f);
    cache.best2.assign(tokens, 0.0f);
    cache.best3.assign(tokens, 0.0f);
    cache.best4.assign(tokens, 0.0f);
    cache.holder1.assign(tokens, std::nullopt);
    cache.holder2.assign(tokens, std::nullopt);
    cache.holder3.assign(tokens, std::nullopt);
    cache.supporters.assign(tokens, 0);
    for (std::size_t t = 0; t < tokens; ++t) {
        const float* row = problem.coverage->data() + t * n;
        float best[4] = {0.0f, 0.0f, 0.0f, 0.0f};
        std::optional<std::size_t> holders[3];
        std::uint8_t k = 0;
        for (std::size_t i = 0; i < n; ++i) {
            if (selection[i] == 0) continue;
            const float v = row[i];
            if (v >= threshold && k < 255) ++k;
            insert_best(best, holders, v, std::optional<std::size_t>(i));
        }
        cache.best1[t] = best[0], cache.best2[t] = best[1], cache.best3[t] = best[2], cache.best4[t] = best[3];
        cache.holder1[t] = holders[0], cache.holder2[t] = holders[1], cache.holder3[t] = holders[2];
        cache.supporters[t] = k;
    }
    return cache;
}

double fulfilment_delta(const ObjectiveWeights& weights, const SupportCache* cache,
                        std::span<const std::uint8_t> selection, std::size_t added, bool has_removal,
                        std::size_t removed, const ProblemInstance& problem) {
    if (!fulfilment_active(problem, weights.mu_fulfilment)) return 0.0;
    const std::size_t n = problem.n;
    const std::size_t tokens = problem.num_query_tokens;
    const float threshold = weights.support_quorum_threshold;
    TORVANE_CHECK(added < n && (!has_removal || removed < n), "fulfilment delta: index outside the candidates");
    const std::vector<float>& coverage = *problem.coverage;
    const SupportQuorum<double> quorum = support_quorum(weights);

    double delta = 0.0;
    for (std::size_t t = 0; t < tokens; ++t) {
        const float* row = coverage.data() + t * n;
        float before[4];
        std::size_t k_before;
        float after[4];
        std::size_t k_after;
        if (cache != nullptr) {
            before[0] = cache->best1[t], before[1] = cache->best2[t];
            before[2] = cache->best3[t], before[3] = cache->best4[t];
            k_before = cache->supporters[t];
            after[0] = before[0], after[1] = before[1], after[2] = before[2], after[3] = before[3];
            k_after = k_before;
            if (has_removal) {
                const std::optional<std::size_t> holders[3] = {cache->holder1[t], cache->holder2[t],
                                                                cache->holder3[t]};
                remove_holder(after, holders, removed);
                if (row[removed] >= threshold && k_after > 0) --k_after;
            }
        } else {
            TORVANE_CHECK(selection.size() == n, "fulfilment delta: selection length does not match the candidates");
            before[0] = before[1] = before[2] = before[3] = 0.0f;
            after[0] = after[1] = after[2] = after[3] = 0.0f;
            k_before = 0;
            k_after = 0;
            for (std::size_t i = 0; i < n; ++i) {
                if (selection[i] == 0) continue;
                const float v = row[i];
                if (v >= threshold) ++k_before;
                insert_best(before, v);
                if (has_removal && i == removed) continue;
                if (v >= threshold) ++k_after;
                insert_best(after, v);
            }
        }
        const float v = row[added];
        if (v >= threshold) ++k_after;
        insert_best(after, v);
        delta += token_weight(problem, t) * (support_of(after, k_after, quorum) - support_of(before, k_before, quorum));
    }
    return delta;
}

SelectedSimilarities::SelectedSimilarities(std::span<const std::uint8_t> selection, const SimilarityView& similarity)
    : similarity_(similarity) {
    rebuild(selection);
}

void SelectedSimilarities::rebuild(std::span<const std::uint8_t> selection) {
    n_ = selection.size();
    slot_of_.assign(n_, kNoSlot);
    free_.clear();
    usable_ = false;
    if (similarity_.n != n_) return;
    std::size_t selected = 0;
    for (std::uint8_t byte : selection) selected += byte != 0 ? 1 : 0;
    std::uint32_t next = 0;
    for (std::size_t i = 0; i < n_; ++i) {
        if (selection[i] != 0) slot_of_[i] = next++;
    }
    // Room for a few more than are selected, in whole cache lines of floats.
    lay_out(selected + 8);
}

void SelectedSimilarities::lay_out(std::size_t slots) {
    const std::size_t stride = (slots + 15) / 16 * 16;
    if (n_ == 0 || stride > kMaxBytes / sizeof(float) / n_) {
        usable_ = false;
        values_.clear();
        values_.shrink_to_fit();
        return;
    }
    stride_ = stride;
    values_.assign(n_ * stride_, 0.0f);
    std::vector<bool> taken(stride_, false);
    for (std::size_t c = 0; c < n_; ++c) {
        if (slot_of_[c] == kNoSlot) continue;
        taken[slot_of_[c]] = true;
        fill_slot(slot_of_[c], c);
    }
    free_.clear();
    for (std::size_t s = stride_; s-- > 0;) {
        if (!taken[s]) free_.push_back(static_cast<std::uint32_t>(s));
    }
    usable_ = true;
}

void SelectedSimilarities::fill_slot(std::uint32_t slot, std::size_t candidate) {
    const float* column = similarity_.column(candidate);
    float* out = values_.data() + slot;
    for (std::size_t a = 0; a < n_; ++a) out[a * stride_] = column[a];
}

void SelectedSimilarities::update(std::size_t added, std::size_t removed) {
    TORVANE_CHECK(added < n_ && slot_of_[added] == kNoSlot && (removed >= n_ || slot_of_[removed] != kNoSlot),
                  "selected similarities: the move does not match the selection");
    if (similarity_.n != n_) return;
    std::uint32_t slot = kNoSlot;
    if (removed < n_) {
        slot = slot_of_[removed];
        slot_of_[removed] = kNoSlot;
    } else if (!free_.empty()) {
        slot = free_.back();
        free_.pop_back();
    } else {
        // Every slot is taken (or no rows are kept): the slots are numbered
        // anew and laid out with room to spare.
        std::uint32_t next = 0;
        for (std::uint32_t& s : slot_of_) {
            if (s != kNoSlot) s = next++;
        }
        slot_of_[added] = next++;
        lay_out(static_cast<std::size_t>(next) * 2);
        return;
    }
    slot_of_[added] = slot;
    if (usable_) fill_slot(slot, added);
}

SwapDeltas::SwapDeltas(const ObjectiveWeights& weights, const SupportCache* cache,
                       std::span<const std::uint8_t> selection, std::span<const float> redundancy,
                       const SimilarityView& similarity, const ProblemInstance& problem,
                       std::span<const std::size_t> removed, const SelectedSimilarities* selected)
    : weights_(weights),
      cache_(cache),
      selection_(selection),
      redundancy_(redundancy),
      similarity_(similarity),
      problem_(problem),
      removed_(removed),
      fulfilment_active_(fulfilment_active(problem, weights.mu_fulfilment)) {
    for (std::vector<float>* values : {&relevance_, &density_, &centrality_, &recency_, &auxiliary_, &redundancy_removed_}) {
        values->reserve(removed.size());
    }
    for (std::size_t r : removed) {
        TORVANE_CHECK(r < problem.n, "swap deltas: removed index outside the candidates");
        relevance_.push_back(problem.relevance[r]);
        density_.push_back(problem.density[r]);
        centrality_.push_back(problem.centrality[r]);
        recency_.push_back(problem.recency[r]);
        auxiliary_.push_back(problem.auxiliary[r]);
        redundancy_removed_.push_back(redundancy[r]);
    }
    if (selected != nullptr && selected->usable()) {
        selected_ = selected;
        slots_.reserve(removed.size());
        for (std::size_t r : removed) {
            TORVANE_CHECK(selected->slot(r) != SelectedSimilarities::kNoSlot,
                          "swap deltas: a removed candidate has no selected slot");
            slots_.push_back(selected->slot(r));
        }
    } else {
        columns_.reserve(removed.size());
        for (std::size_t r : removed) columns_.push_back(similarity.column(r));
    }
    if (!fulfilment_active_) constant_fulfilment_.assign(removed.size(), static_cast<double>(weights.mu_fulfilment) * 0.0);
}

bool SwapDeltas::compute(std::size_t a, std::span<double> out, std::vector<double>& scratch, double pass_offset,
                         double pass_above) const {
    return compute(a, out, scratch, simd::best_simd_level(), pass_offset, pass_above);
}

bool SwapDeltas::compute(std::size_t a, std::span<double> out, std::vector<double>& scratch, simd::SimdLevel level,
                         double pass_offset, double pass_above) const {
    const std::size_t count = removed_.size();
    TORVANE_CHECK(a < problem_.n && out.size() >= count, "swap deltas: added index outside the candidates");
    const ProblemInstance& p = problem_;
    const ObjectiveWeights& w = weights_;
    const auto wide = [](float x) { return static_cast<double>(x); };
    // similarity[a * n + r] of each removed r, from r's column; and the
    // fulfilment changes, which only a problem with coverage has.
    scratch.resize(2 * count);
    double* similarity = scratch.data();
    if (selected_ != nullptr) {
        const float* row = selected_->row(a);
        for (std::size_t y = 0; y < count; ++y) similarity[y] = wide(row[slots_[y]]);
    } else {
        for (std::size_t y = 0; y < count; ++y) similarity[y] = wide(columns_[y][a]);
    }
    // mu times the fulfilment change; without fulfilment the change is
    // +0.0 and the product the same constant for every move.
    const double* fulfilment_term = constant_fulfilment_.data();
    if (fulfilment_active_) {
        double* terms = scratch.data() + count;
        const double mu = wide(w.mu_fulfilment);
        for (std::size_t y = 0; y < count; ++y) {
            terms[y] = mu * fulfilment_delta(w, cache_, selection_, a, true, removed_[y], p);
        }
        fulfilment_term = terms;
    }
    simd::SwapDeltaInput in{};
    in.count = count;
    in.relevance = relevance_.data();
    in.density = density_.data();
    in.centrality = centrality_.data();
    in.recency = recency_.data();
    in.auxiliary = auxiliary_.data();
    in.redundancy = redundancy_removed_.data();
    in.similarity = similarity;
    in.fulfilment_term = fulfilment_term;
    in.added_relevance = p.relevance[a];
    in.added_density = p.density[a];
    in.added_centrality = p.centrality[a];
    in.added_recency = p.recency[a];
    in.added_auxiliary = p.auxiliary[a];
    in.added_redundancy = wide(redundancy_[a]);
    in.alpha = wide(w.alpha);
    in.beta = wide(w.beta);
    in.gamma = wide(w.gamma);
    in.delta = wide(w.delta);
    in.epsilon = wide(w.epsilon);
    in.lambda = wide(w.lambda);
    in.pass_offset = pass_offset;
    in.pass_above = pass_above;
    return simd::swap_deltas(in, out.data(), level);
}

double move_delta(const ObjectiveWeights& w, const SupportCache* cache, std::span<const std::uint8_t> selection,
                  std::span<const float> redundancy, const SimilarityView& similarity, std::size_t a, std::size_t r,
                  const ProblemInstance& p) {
    const std::size_t n = p.n;
    const bool swap = r < n;
    const double fulfilment = fulfilment_delta(w, cache, selection, a, swap, r, p);
    const auto wide = [](float x) { return static_cast<double>(x); };
    double delta;
    if (swap) {
        delta = wide(w.alpha) * wide(p.relevance[a] - p.relevance[r]);
        delta += wide(w.beta) * wide(p.density[a] - p.density[r]);
        delta += wide(w.gamma) * wide(p.centrality[a] - p.centrality[r]);
        delta += wide(w.delta) * wide(p.recency[a] - p.recency[r]);
        delta += wide(w.epsilon) * wide(p.auxiliary[a] - p.auxiliary[r]);
        delta += wide(w.mu_fulfilment) * fulfilment;
        // similarity[a * n + r], read from the selected candidate's column.
        const double red = wide(redundancy[a]) - wide(similarity.column(r)[a]) - wide(redundancy[r]);
        delta -= wide(w.lambda) * red;
    } else {
        delta = wide(w.alpha) * wide(p.relevance[a]);
        delta += wide(w.beta) * wide(p.density[a]);
        delta += wide(w.gamma) * wide(p.centrality[a]);
        delta += wide(w.delta) * wide(p.recency[a]);
        delta += wide(w.epsilon) * wide(p.auxiliary[a]);
        delta += wide(w.mu_fulfilment) * fulfilment;
        delta -= wide(w.lambda) * wide(redundancy[a]);
    }
    return delta;
}

}  // namespace torvane
