#pragma once
// The construction and repair phases called with settings, problem and
// constraints instead of a prepared solve context, on the CPU backend: each
// call prepares its own context, as a solve does once.

#include "backend/mod/compute_backend.hpp"
#include "solver/search/construction.hpp"
#include "solver/search/repair.hpp"
#include "solver/search/solve_context.hpp"

namespace torvane::reference {

inline const CpuReferenceBackend& cpu_backend() {
    static const CpuReferenceBackend backend;
    return backend;
}

inline Selection greedy_start(const SolverSettings& settings, const ProblemInstance& problem,
                              const ConstraintSet& constraints) {
    return torvane::greedy_start(SolveContext(settings, problem, constraints, cpu_backend()));
}

inline Selection memory_guided_construction(const SolverSettings& settings, const ProblemInstance& problem,
                                            const ConstraintSet& constraints, const TabuMemory& memory) {
    return torvane::memory_guided_construction(SolveContext(settings, problem, constraints, cpu_backend()), memory);
}

inline Selection repair_selection(const SolverSettings& settings, Selection selection, const ProblemInstance& problem,
                                  const ConstraintSet& constraints) {
    return torvane::repair_selection(SolveContext(settings, problem, constraints, cpu_backend()), std::move(selection));
}

inline Selection destroy_and_repair(const SolverSettings& settings, const Selection& current,
                                    const ProblemInstance& problem, const ConstraintSet& constraints,
                                    const TabuMemory& memory) {
    return torvane::destroy_and_repair(SolveContext(settings, problem, constraints, cpu_backend()), current, memory);
}

}  // namespace torvane::reference
