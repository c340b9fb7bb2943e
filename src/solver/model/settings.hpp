#pragma once
// A solver object's settings, fixed when the solver is made.

#include <cstddef>
#include <cstdint>
#include <optional>

namespace torvane {

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
};

}  // namespace torvane
