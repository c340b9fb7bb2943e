#pragma once
// The read-only inputs of the batch objective: borrowed views of one
// solve's arrays and the weights, valid for the duration of a call.

#include <cstddef>
#include <optional>
#include <span>

namespace torvane {

// The eleven weights the batch objective reads.
struct BatchWeights {
    float alpha = 0.0f;
    float beta = 0.0f;
    float gamma = 0.0f;
    float delta = 0.0f;
    float epsilon = 0.0f;
    float mu = 0.0f;
    float lambda = 0.0f;
    float support_secondary_discount = 0.0f;
    float support_quorum_bonus = 0.0f;
    float support_quorum_threshold = 0.0f;
    float support_quorum_cap = 0.0f;  // the unsigned cap converted to float
};

struct ObjectiveContext : BatchWeights {
    std::span<const float> relevance;
    std::span<const float> density;
    std::span<const float> centrality;
    std::span<const float> recency;
    std::span<const float> auxiliary;
    std::span<const float> similarity;  // n x n, row-major
    std::size_t n = 0;                  // candidates = bytes per selection row

    std::optional<std::span<const float>> coverage;             // T x n, one row per query token
    std::optional<std::span<const float>> query_token_weights;  // weight 1 where absent or too short
    std::size_t num_query_tokens = 0;                           // T
};

}  // namespace torvane
