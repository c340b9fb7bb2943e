#include "backend/mod/batch_objective.hpp"

#include <algorithm>

#include "backend/pool/thread_pool.hpp"
#include "backend/simd/kernel_table.hpp"
#include "backend/simd/vector_kernels.hpp"
#include "common/fault.hpp"
#include "common/numeric.hpp"
#include "common/support_quorum.hpp"

namespace torvane {
namespace {

// The candidates of one selection row, each list ascending: those with a
// non-zero byte (selected for the sums and the fulfilment), with byte 1
// (the rows of the redundancy sum) and with an odd byte (its columns). For
// 0/1 rows the three agree; walking the lists instead of the whole row
// visits the same values in the same order.
struct RowMembers {
    std::vector<std::size_t> nonzero;
    std::vector<std::size_t> ones;
    std::vector<std::size_t> odd;

    explicit RowMembers(std::span<const std::uint8_t> row) {
        for (std::size_t i = 0; i < row.size(); ++i) {
            if (row[i] == 0) continue;
            nonzero.push_back(i);
            if (row[i] == 1) ones.push_back(i);
            if ((row[i] & 1u) != 0) odd.push_back(i);
        }
    }
};

// masked_sum over the members: from -0.0, ascending, indices below the
// length of `values` only.
float member_sum(std::span<const float> values, const std::vector<std::size_t>& members) {
    float sum = -0.0f;
    for (std::size_t i : members) {
        if (i >= values.size()) break;
        sum = sum + values[i];
    }
    return sum;
}

// Sum over query tokens of the weighted support of the selected candidates.
float fulfilment(const std::vector<std::size_t>& selected, const ObjectiveContext& context) {
    const std::size_t n = context.n;
    const std::size_t tokens = context.num_query_tokens;
    if (!context.coverage.has_value() || tokens == 0) return 0.0f;
    const std::span<const float> coverage = *context.coverage;
    TORVANE_CHECK(checked_mul(tokens, n, "batch objective: T * n overflows") <= coverage.size(),
                  "batch objective: a coverage row lies outside the coverage matrix");

    const SupportQuorum<float> quorum{context.support_secondary_discount, context.support_quorum_bonus,
                                      context.support_quorum_cap};
    return total_support(coverage.data(), tokens, n, selected,
                         context.query_token_weights.value_or(std::span<const float>{}),
                         context.support_quorum_threshold, quorum);
}

// Half the sum of similarity over ordered pairs of distinct selected
// candidates, rows and columns in ascending order.
float redundancy(const RowMembers& members, const ObjectiveContext& context) {
    const std::size_t n = context.n;
    if (n == 0) return 0.0f;
    TORVANE_CHECK(checked_mul(n, n, "batch objective: n * n overflows") <= context.similarity.size(),
                  "batch objective: a similarity index lies outside the matrix");
    const float* similarity = context.similarity.data();
    float sum = 0.0f;
    for (std::size_t i : members.ones) {
        const float* sim_row = similarity + i * n;
        for (std::size_t j : members.odd) {
            if (j != i) sum = sum + sim_row[j];
        }
    }
    return sum * 0.5f;
}

}  // namespace

float row_objective(std::span<const std::uint8_t> row, const ObjectiveContext& context) {
    TORVANE_CHECK(row.size() >= context.n, "batch objective: the selection row is shorter than n");
    row = row.first(context.n);
    const RowMembers members(row);
    const float relevance = member_sum(context.relevance, members.nonzero);
    const float density = member_sum(context.density, members.nonzero);
    const float centrality = member_sum(context.centrality, members.nonzero);
    const float recency = member_sum(context.recency, members.nonzero);
    const float auxiliary = member_sum(context.auxiliary, members.nonzero);
    const float fulfil = fulfilment(members.nonzero, context);
    const float red = redundancy(members, context);

    float o = context.beta * density;
    o = o + context.alpha * relevance;
    o = o + context.gamma * centrality;
    o = o + context.delta * recency;
    o = o + context.epsilon * auxiliary;
    o = o + context.mu * fulfil;
    o = o - context.lambda * red;
    return o;
}

std::vector<float> evaluate_batch(std::span<const std::uint8_t> selections, std::size_t rows,
                                  const ObjectiveContext& context) {
    const std::size_t n = context.n;
    TORVANE_CHECK(checked_mul(rows, n, "evaluate_batch: rows * n overflows") <= selections.size(),
                  "evaluate_batch: a selection row lies outside the batch");
    std::vector<float> out(rows);
    pool::parallel_for(0, rows, [&](std::size_t r) { out[r] = row_objective(selections.subspan(r * n, n), context); });
    return out;
}

std::vector<float> evaluate_swap_moves(std::span<const std::uint8_t> selection, std::span<const std::size_t> added,
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

std::array<float, kObjectiveLanes> lane_objectives(std::span<const std::size_t> members,
                                                   std::span<const std::uint64_t> lanes,
                                                   const ObjectiveContext& context, simd::SimdLevel level) {
    static_assert(kObjectiveLanes == simd::kLaneCount, "one lane per selection");
    TORVANE_CHECK(members.size() == lanes.size(), "lane objectives: one lane mask per member");
    for (std::size_t k = 0; k < members.size(); ++k) {
        TORVANE_CHECK(members[k] < context.n && (k == 0 || members[k - 1] < members[k]),
                      "lane objectives: members must be ascending candidate indices");
    }
    const std::size_t n = context.n;
    TORVANE_CHECK(checked_mul(n, n, "batch objective: n * n overflows") <= context.similarity.size(),
                  "batch objective: a similarity index lies outside the matrix");
    simd::LaneObjectiveInput in{};
    in.members = members.data();
    in.lanes = lanes.data();
    in.count = members.size();
    in.relevance = context.relevance.data();
    in.relevance_length = context.relevance.size();
    in.density = context.density.data();
    in.density_length = context.density.size();
    in.centrality = context.centrality.data();
    in.centrality_length = context.centrality.size();
    in.recency = context.recency.data();
    in.recency_length = context.recency.size();
    in.auxiliary = context.auxiliary.data();
    in.auxiliary_length = context.auxiliary.size();
    in.similarity = context.similarity.data();
    in.n = n;
    if (context.coverage.has_value() && context.num_query_tokens > 0) {
        TORVANE_CHECK(checked_mul(context.num_query_tokens, n, "batch objective: T * n overflows") <=
                          context.coverage->size(),
                      "batch objective: a coverage row lies outside the coverage matrix");
        in.coverage = context.coverage->data();
        in.tokens = context.num_query_tokens;
        const std::span<const float> weights = context.query_token_weights.value_or(std::span<const float>{});
        in.token_weights = weights.data();
        in.token_weight_count = weights.size();
    }
    in.alpha = context.alpha;
    in.beta = context.beta;
    in.gamma = context.gamma;
    in.delta = context.delta;
    in.epsilon = context.epsilon;
    in.mu = context.mu;
    in.lambda = context.lambda;
    in.support_secondary_discount = context.support_secondary_discount;
    in.support_quorum_bonus = context.support_quorum_bonus;
    in.support_quorum_threshold = context.support_quorum_threshold;
    in.support_quorum_cap = context.support_quorum_cap;
    std::array<float, kObjectiveLanes> out;
    simd::lane_objectives(in, out.data(), level);
    return out;
}

}  // namespace torvane
