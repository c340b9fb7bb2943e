#pragma once
// The candidates and the constraints of one solve call.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "common/roles.hpp"

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

}  // namespace torvane
