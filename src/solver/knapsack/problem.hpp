#pragma once
// The records one solve works on and returns.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "backend/mod/compute_backend.hpp"
#include "common/roles.hpp"
#include "solver/objective/breakdown.hpp"

namespace torvane {

// One byte per candidate, 1 = selected. Selections are copied, compared
// byte for byte and hashed in this form everywhere in the solver.
using Selection = std::vector<std::uint8_t>;

// The candidates of one solve. Per-candidate arrays have length n; the
// intake guarantees every array has the stated length before a solve starts.
struct ProblemInstance {
    std::size_t n = 0;
    std::size_t dim = 0;
    std::size_t num_query_tokens = 0;  // T; 0 without coverage

    std::vector<float> embeddings;       // n x dim, row-major
    std::vector<float> query_embedding;  // dim or empty; not read by the solver
    std::vector<float> relevance;
    std::vector<float> density;
    std::vector<float> centrality;
    std::vector<float> recency;
    std::vector<float> auxiliary;
    std::vector<float> fulfilment;
    // Token counts and cluster ids keep the full width of the machine word
    // from intake to output: truncating them would corrupt budgets or merge
    // distinct clusters.
    std::vector<std::size_t> token_costs;
    std::vector<RhetoricalRole> roles;
    std::vector<std::optional<std::size_t>> cluster_ids;  // nullopt: no cluster
    std::vector<std::string> chunk_ids;

    std::optional<std::vector<float>> coverage;             // T x n, one row per query token
    std::optional<std::vector<float>> query_token_weights;  // T; absent means weight 1
    std::optional<std::vector<float>> similarity;           // n x n, row-major
};

// The constraints of one solve call. Ordered sets give the fixed walk
// orders: roles by ascending code, chunk ids by ascending byte order.
struct ConstraintSet {
    std::size_t max_tokens = 8192;
    std::size_t min_tokens = 0;
    std::size_t min_chunks = 1;
    std::size_t max_chunks = 50;
    std::size_t max_per_cluster = 3;
    std::set<RhetoricalRole> must_include_roles;
    std::set<std::string> excluded_chunks;
    std::set<std::string> required_chunks;
};

// A solver object's own copy of its configuration.
struct SolverSettings {
    std::optional<std::uint64_t> random_seed;  // kept, never read by a solve
    std::uint64_t exact_window_time_ms = 25;

    float alpha = 1.0f;
    float beta = 0.3f;
    float gamma = 0.2f;
    float delta = 0.1f;
    float epsilon = 0.0f;
    float mu = 1.0f;
    float support_secondary_discount = 0.35f;
    float support_quorum_bonus = 0.18f;
    float support_quorum_threshold = 0.55f;
    std::size_t support_quorum_cap = 4;
    float lambda = 0.5f;

    std::size_t iterations = 100;
    std::size_t tabu_tenure = 10;
    float tabu_similarity_threshold = 0.85f;
    std::size_t early_stopping_patience = 20;
    float improvement_epsilon = 1e-6f;
    std::size_t move_batch_size = 64;
    std::size_t exact_window_size = 14;

    bool aux_weights_active = true;
    bool use_gpu = false;
    bool enable_gpu_move_evaluation = true;
    bool enable_path_relinking = true;
    bool enable_destroy_repair = true;
    bool enable_reactive_tenure = true;
    bool enable_exact_window = true;

    std::shared_ptr<const ComputeBackend> backend = std::make_shared<CpuReferenceBackend>();
};

// A weight counts as zero when its magnitude is at most 2^-23.
inline constexpr float kZeroWeight = 1.1920929e-7f;

struct ScoredSolution {
    Selection selection;
    ObjectiveBreakdown breakdown;
    bool feasible = false;
};

// What run_solver returns; the binding moves it into a SolverOutput.
struct SolveResult {
    ObjectiveBreakdown breakdown;  // objective score and the seven totals
    double solve_time_ms = 0.0;
    double exact_window_gap = 0.0;

    std::size_t total_tokens = 0;
    std::size_t num_selected = 0;
    std::size_t iterations_run = 0;
    std::size_t best_iteration = 0;
    std::size_t exact_window_core_size = 0;
    std::size_t exact_window_nodes = 0;
    std::size_t exact_window_fixed_in = 0;
    std::size_t exact_window_fixed_out = 0;

    std::vector<std::size_t> selected_indices;
    std::vector<std::string> constraint_violations;

    bool constraints_satisfied = true;
    bool exact_window_used = false;
    bool exact_window_exhaustive = false;

    // Internal: not exposed to Python.
    Selection final_selection;
    std::vector<double> objective_trace;
};

}  // namespace torvane
