// The best-move choice against a plain pass over the move list: every move
// in list order, each test of admissibility written out, every neighbour
// built, hashed and scored in full. find_best_move takes many shortcuts
// (overlap shortcuts, skipped hashes and penalties, add candidates passed
// over as a whole, parallel runs); none of them may change the choice.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "backend/pool/thread_pool.hpp"
#include "backend/simd/vector_kernels.hpp"
#include "reference/tabu_memory.hpp"
#include "solver/search/marginal.hpp"
#include "solver/search/tabu_search.hpp"
#include "solver/model/similarity_view.hpp"
#include "solver/search/solve_context.hpp"
#include "solver/search/tabu_memory.hpp"
#include "solver/objective/move_evaluation.hpp"
#include "solver/objective/objective.hpp"

namespace {

using torvane::MoveChoice;
using torvane::MoveContext;
using torvane::Neighbourhood;

MoveChoice reference_choice(const Neighbourhood& hood, const MoveContext& c) {
    const std::size_t n = c.problem.n;
    const std::size_t patience = c.early_stopping_patience;
    const bool relaxed_allowed = c.stagnation >= (patience > 3 ? patience / 2 : 1);
    MoveChoice choice;
    const auto offer = [&](std::size_t a, std::size_t r) {
        choice.any_move = true;
        const double delta =
            torvane::move_delta(c.weights, c.cache, c.selection, c.redundancy, c.similarity, a, r, c.problem);
        const double next = c.current_objective + delta;
        std::vector<std::uint8_t> neighbour(c.selection.begin(), c.selection.end());
        neighbour[a] = 1;
        if (r < n) neighbour[r] = 0;
        const bool aspiration = next > c.best_feasible_objective + c.improvement_epsilon;
        const bool relaxed = relaxed_allowed && next > c.current_objective + c.improvement_epsilon;
        if (!aspiration && !relaxed &&
            torvane::reference::is_tabu(c.memory, a, r, neighbour, torvane::selection_hash(neighbour))) {
            return;
        }
        const double score = delta + c.memory.frequency_penalty(c.frequency_weight, a) -
                             torvane::reference::memory_penalty(c.memory, neighbour, c.problem.cluster_ids);
        const bool replaces = !choice.found || (!(score < choice.score) &&
                                                (delta > choice.delta || score - choice.score >= 2.220446049250313e-16));
        if (!replaces) return;
        choice.found = true;
        choice.added = a;
        choice.removed = r;
        choice.delta = delta;
        choice.score = score;
    };
    for (std::size_t a : hood.adds) {
        for (std::size_t r : hood.removes) {
            if (!c.index.required(r) && c.index.can_swap(a, r, c.stats)) offer(a, r);
        }
        if (c.index.can_add(a, c.stats)) offer(a, n);
    }
    return choice;
}

bool same_bits(double a, double b) { return std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b); }

struct ChoiceCase {
    const char* name;
    unsigned seed;
    std::size_t n;
    std::size_t recorded_moves;  // moves recorded in the memory before the choice
    std::size_t stagnation;
    double frequency_weight;
    bool nan_current;        // the current objective is NaN
    int best_feasible_kind;  // 0: -inf, 1: the current objective, 2: a little above, 3: NaN, 4: far above
    bool no_room = false;    // max_chunks is the selection's size: swaps only
};

class MoveChoiceAgrees : public ::testing::TestWithParam<ChoiceCase> {};

void expect_same_choice(const ChoiceCase& k, unsigned seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> unit(0.0f, 1.0f);
    std::normal_distribution<float> normal(0.0f, 1.0f);
    const std::size_t n = k.n;
    const std::size_t dim = 16;
    torvane::ProblemInstance p;
    p.n = n;
    p.dim = dim;
    p.num_query_tokens = 3;
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t d = 0; d < dim; ++d) p.embeddings.push_back(static_cast<float>(i % 5) + normal(rng));
        // Few distinct scores, so that equal deltas and ties in the choice occur.
        p.relevance.push_back(0.25f * static_cast<float>(rng() % 4));
        p.density.push_back(unit(rng));
        p.centrality.push_back(unit(rng));
        p.recency.push_back(unit(rng));
        p.auxiliary.push_back(unit(rng));
        p.fulfilment.push_back(0.0f);
        p.token_costs.push_back(50 + rng() % 300);
        p.roles.push_back(torvane::role_from_code(static_cast<std::uint8_t>(rng() % 4)));
        p.cluster_ids.push_back(rng() % 3 != 0 ? std::optional<std::size_t>(i % 7) : std::nullopt);
        p.chunk_ids.push_back(std::string(1, 'c').append(std::to_string(i)));
    }
    std::vector<float> coverage(p.num_query_tokens * n);
    for (float& x : coverage) x = unit(rng) * unit(rng);
    p.coverage = coverage;
    p.query_token_weights = std::vector<float>(p.num_query_tokens, 1.0f);
    p.query_embedding.assign(dim, 0.0f);
    const std::vector<float> similarity = torvane::simd::similarity_matrix(p.embeddings, n, dim);

    // A selection of about a third of the candidates (large enough for a
    // swap to overlap the selection by more than the threshold), the
    // required one in.
    std::vector<std::uint8_t> selection(n, 0);
    for (std::size_t i = 0; i < n; ++i) selection[i] = (rng() % 3 == 0 && i != 4) ? 1 : 0;
    selection[3] = 1;

    torvane::SolverSettings settings;
    torvane::ConstraintSet constraints;
    // Room for every swap and add-only move of the selection below, so
    // that most moves exist.
    constraints.max_tokens = n * 400;
    constraints.max_chunks = n / 2;
    constraints.max_per_cluster = n;
    if (k.no_room) {
        constraints.max_chunks = 0;
        for (std::uint8_t byte : selection) constraints.max_chunks += byte;
    }
    constraints.required_chunks = {"c3"};
    constraints.excluded_chunks = {"c4"};
    const torvane::CpuReferenceBackend backend;
    const torvane::SolveContext context(settings, p, constraints, backend);
    const torvane::ObjectiveWeights weights = torvane::make_objective_weights(settings);
    const torvane::SimilarityColumns columns(similarity, n, true);


    // Memory: moves recorded on selections near the current one, the last
    // on the current selection itself (as in the search).
    torvane::TabuMemory memory(settings.tabu_tenure, n, settings.tabu_similarity_threshold);
    std::vector<std::uint8_t> walk = selection;
    for (std::size_t m = 0; m < k.recorded_moves; ++m) {
        memory.advance();
        const std::size_t a = rng() % n;
        const std::size_t r = rng() % n;
        walk[a] = 1;
        if (r != a) walk[r] = 0;
        const bool last = m + 1 == k.recorded_moves;
        memory.record_move(a, r, last ? selection : walk, p.cluster_ids);
    }
    memory.advance();

    std::vector<std::size_t> adds;
    std::vector<std::size_t> removes;
    for (std::size_t i = 0; i < n; ++i) {
        if (selection[i] != 0) {
            removes.push_back(i);
        } else if (!context.index.excluded(i)) {
            adds.push_back(i);
        }
    }
    // List orders as the search makes them: by the add and drop keys.
    const torvane::MarginalTables tables = torvane::build_marginal_tables(selection, p, columns.view(), settings);
    adds = torvane::leading_by_add_priority(adds, adds.size(), context.scores, tables);
    torvane::sort_by_drop_priority(removes, context.scores, tables);

    const torvane::IndexedStats stats = context.index.stats(selection);
    const std::vector<float> redundancy = torvane::build_redundancy_vector(selection, columns.view());
    const auto cache = torvane::build_support_cache(selection, p, weights.support_quorum_threshold, weights.mu);
    const double objective =
        torvane::evaluate_selection(selection, weights, p, similarity, backend).objective_score;
    const double current = k.nan_current ? std::numeric_limits<double>::quiet_NaN() : objective;
    const double best_feasible[] = {-std::numeric_limits<double>::infinity(), objective, objective + 0.05,
                                    std::numeric_limits<double>::quiet_NaN(), objective + 10.0};
    const MoveContext c{context.index,
                        stats,
                        p,
                        weights,
                        selection,
                        redundancy,
                        cache ? &*cache : nullptr,
                        columns.view(),
                        k.frequency_weight,
                        memory,
                        settings.early_stopping_patience,
                        static_cast<double>(settings.improvement_epsilon),
                        current,
                        best_feasible[k.best_feasible_kind],
                        k.stagnation};
    const Neighbourhood hood{adds, removes};
    const MoveChoice expected = reference_choice(hood, c);
    // The search reads the similarities to the selected candidates from
    // rows it keeps; the choice is the same either way.
    const torvane::SelectedSimilarities rows(selection, columns.view());
    MoveContext with_rows = c;
    with_rows.selected_similarities = &rows;
    for (std::size_t threads : {1, 2, 7}) {
        torvane::pool::ThreadPool pool(threads);
        const MoveChoice got =
            pool.install([&] { return torvane::find_best_move(hood, threads == 2 ? with_rows : c); });
        EXPECT_EQ(got.any_move, expected.any_move) << threads;
        ASSERT_EQ(got.found, expected.found) << threads;
        if (!expected.found) continue;
        EXPECT_EQ(got.added, expected.added) << threads;
        EXPECT_EQ(got.removed, expected.removed) << threads;
        EXPECT_TRUE(same_bits(got.delta, expected.delta)) << threads;
        EXPECT_TRUE(same_bits(got.score, expected.score)) << threads;
    }
}

TEST_P(MoveChoiceAgrees, WithAPlainPassOverTheMoveList) {
    for (unsigned s = 0; s < 8; ++s) {
        SCOPED_TRACE(s);
        expect_same_choice(GetParam(), GetParam().seed * 100 + s);
    }
}

// n = 400 makes the neighbourhood large enough for the parallel scan.
INSTANTIATE_TEST_SUITE_P(
    Contexts, MoveChoiceAgrees,
    ::testing::Values(ChoiceCase{"fresh_memory", 1, 60, 0, 0, 0.0, false, 0},
                      ChoiceCase{"fresh_memory_nothing_aspirant", 11, 60, 0, 0, 0.0, false, 4},
                      ChoiceCase{"short_memory_nothing_aspirant", 12, 60, 2, 0, 0.1, false, 4},
                      ChoiceCase{"swaps_only_nothing_aspirant", 13, 60, 0, 0, 0.0, false, 4, true},
                      ChoiceCase{"swaps_only_relaxed", 14, 60, 6, 12, 0.1, false, 4, true},
                      ChoiceCase{"all_swaps_tabu", 2, 60, 6, 0, 0.0, false, 1},
                      ChoiceCase{"aspiration_only", 3, 60, 6, 0, 0.0, false, 2},
                      ChoiceCase{"relaxed_and_aspiration", 4, 60, 6, 12, 0.1, false, 2},
                      ChoiceCase{"relaxed_only", 10, 60, 6, 12, 0.1, false, 4},
                      ChoiceCase{"relaxed_with_nan_best", 5, 60, 6, 12, 0.1, false, 3},
                      ChoiceCase{"nan_current", 6, 60, 6, 12, 0.0, true, 2},
                      ChoiceCase{"nan_everywhere", 7, 60, 6, 12, 0.0, true, 3},
                      ChoiceCase{"large_relaxed", 8, 400, 9, 12, 0.1, false, 4},
                      ChoiceCase{"large_strict", 9, 400, 9, 0, 0.0, false, 0}),
    [](const ::testing::TestParamInfo<ChoiceCase>& case_info) { return std::string(case_info.param.name); });

}  // namespace
