#pragma once
// A solver object's settings, fixed when the solver is made.

#include <cstddef>
#include <cstdint>
#include <optional>

namespace torvane {

// The configurable values of a solver: type, name and default of each, in
// the order the configuration record lists them. This table is the only
// place they are written; SolverOptions below and the configuration record
// of the binding are both expanded from it, so a new value is one new line.
#define TORVANE_SOLVER_OPTIONS(X)                                  \
    X(float, alpha, 1.0f)                                          \
    X(float, beta, 0.3f)                                           \
    X(float, gamma, 0.2f)                                          \
    X(float, delta, 0.1f)                                          \
    X(float, epsilon, 0.0f)                                        \
    X(float, mu, 1.0f)                                             \
    X(float, support_secondary_discount, 0.35f)                    \
    X(float, support_quorum_bonus, 0.18f)                          \
    X(float, support_quorum_threshold, 0.55f)                      \
    X(std::size_t, support_quorum_cap, 4)                          \
    X(float, lambda, 0.5f)                                         \
    X(std::size_t, iterations, 100)                                \
    X(std::size_t, tabu_tenure, 10)                                \
    X(std::size_t, early_stopping_patience, 20)                    \
    X(bool, use_gpu, false)                                        \
    X(std::optional<std::uint64_t>, random_seed, std::nullopt)     \
    X(bool, enable_gpu_move_evaluation, true)                      \
    X(bool, enable_path_relinking, true)                           \
    X(bool, enable_destroy_repair, true)                           \
    X(bool, enable_reactive_tenure, true)                          \
    X(bool, enable_exact_window, true)                             \
    X(std::size_t, exact_window_size, 14)                          \
    X(std::uint64_t, exact_window_time_ms, 25)

// The configurable values with their defaults. random_seed is kept but never
// read by a solve.
struct SolverOptions {
#define TORVANE_OPTION_MEMBER(type, name, default_value) type name = default_value;
    TORVANE_SOLVER_OPTIONS(TORVANE_OPTION_MEMBER)
#undef TORVANE_OPTION_MEMBER
};

// A solver object's own copy of its configuration: the configurable values
// and the ones the solver fixes or derives from them.
struct SolverSettings : SolverOptions {
    float tabu_similarity_threshold = 0.85f;
    float improvement_epsilon = 1e-6f;
    std::size_t move_batch_size = 64;

    // Whether the density, centrality and recency weights count; derived
    // from beta, gamma and delta when a solver is made from a configuration.
    bool aux_weights_active = true;
};

}  // namespace torvane
