#include "solver/knapsack/run_solver.hpp"

#include "common/fault.hpp"

namespace torvane {

double elapsed_ms(std::chrono::steady_clock::time_point start, std::chrono::steady_clock::time_point now) {
    if (now < start) return 0.0;
    const auto nanos = std::chrono::duration_cast<std::chrono::nanoseconds>(now - start).count();
    const auto whole_seconds = nanos / 1'000'000'000;
    const auto sub_nanos = nanos % 1'000'000'000;
    return (static_cast<double>(whole_seconds) + static_cast<double>(sub_nanos) / 1e9) * 1000.0;
}

SolveResult run_solver(const SolverSettings& /*settings*/, const ProblemInstance& problem,
                       const ConstraintSet& /*constraints*/) {
    const auto start = std::chrono::steady_clock::now();
    if (problem.n == 0) {
        // The empty problem: nothing to select, nothing violated, no timing.
        return SolveResult{};
    }
    (void)start;
    raise_internal("solving a non-empty problem is not available in this build");
}

}  // namespace torvane
