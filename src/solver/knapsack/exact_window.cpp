#include <algorithm>
#include <chrono>
#include <cstdint>

#include "common/fault.hpp"
#include "solver/constraints/constraint_check.hpp"
#include "solver/constraints/selection_stats.hpp"
#include "solver/knapsack/search.hpp"

namespace torvane {

namespace {

constexpr std::size_t kMaxWindow = 20;

// Whole milliseconds since `start`, or nothing when the clock reads earlier.
std::optional<std::uint64_t> whole_ms_since(std::chrono::steady_clock::time_point start) {
    const auto now = std::chrono::steady_clock::now();
    if (now < start) return std::nullopt;
    const auto nanos = std::chrono::duration_cast<std::chrono::nanoseconds>(now - start).count();
    const std::uint64_t seconds = static_cast<std::uint64_t>(nanos / 1'000'000'000);
    const std::uint64_t rest = static_cast<std::uint64_t>(nanos % 1'000'000'000);
    return seconds * 1000 + rest / 1'000'000;
}

}  // namespace

ExactWindowReport run_exact_window(const SolveContext& context, const SimilarityView& similarity,
                                   const ObjectiveWeights& weights, ScoredRecord& final_record) {
    const SolverSettings& settings = context.settings;
    const ProblemInstance& problem = context.problem;
    const std::size_t n = problem.n;
    ExactWindowReport report;
    const std::size_t window = std::min({settings.exact_window_size, n, kMaxWindow});

    const MarginalTables tables = build_marginal_tables(final_record.selection, problem, similarity, settings);
    std::vector<std::size_t> selected_list;
    std::vector<std::size_t> unselected_list;
    for (std::size_t i = 0; i < n; ++i) {
        if (final_record.selection[i] != 0) {
            if (!context.index.required(i)) selected_list.push_back(i);
        } else {
            unselected_list.push_back(i);
        }
    }
    sort_by_drop_priority(selected_list, context.scores, tables);
    sort_by_add_priority(unselected_list, context.scores, tables);

    const std::size_t k_in =
        std::min({window > 3 ? window / 2 : std::size_t{1}, window >= 3 ? window - 1 : std::size_t{1},
                  selected_list.size()});
    const std::size_t k_out = std::min(window > k_in ? window - k_in : 0, unselected_list.size());
    std::vector<std::size_t> core(selected_list.begin(), selected_list.begin() + static_cast<std::ptrdiff_t>(k_in));
    core.insert(core.end(), unselected_list.begin(), unselected_list.begin() + static_cast<std::ptrdiff_t>(k_out));
    std::sort(core.begin(), core.end());
    core.erase(std::unique(core.begin(), core.end()), core.end());
    if (core.empty()) return report;
    TORVANE_CHECK(core.size() <= kMaxWindow, "exact window larger than its limit");

    Selection base = final_record.selection;
    for (std::size_t i : core) base[i] = 0;
    std::size_t fixed_in = 0;
    for (std::uint8_t byte : base) fixed_in += byte != 0;
    report.used = true;
    report.core_size = core.size();
    report.fixed_in = fixed_in;
    report.fixed_out = n > fixed_in + core.size() ? n - fixed_in - core.size() : 0;

    // Subsets are scored by the CPU kernels directly, whatever backend the
    // solver was configured with.
    const CpuReferenceBackend cpu;
    const std::uint64_t limit_ms = std::max<std::uint64_t>(settings.exact_window_time_ms, 1);
    const double epsilon = static_cast<double>(settings.improvement_epsilon);
    ScoredRecord best = final_record;
    const std::uint64_t subsets = std::uint64_t{1} << core.size();
    const auto start = std::chrono::steady_clock::now();
    Selection candidate = base;
    for (std::uint64_t m = 0;; ) {
        if (const auto elapsed = whole_ms_since(start); elapsed && *elapsed >= limit_ms) break;
        for (std::size_t f = 0; f < core.size(); ++f) candidate[core[f]] = (m >> f) & 1u;
        ++report.nodes;
        if (context.index.satisfied(candidate)) {
            const ObjectiveBreakdown breakdown = evaluate_selection(candidate, weights, problem, similarity.rows, cpu);
            if (breakdown.objective_score > best.objective + epsilon) {
                best = {candidate, breakdown, breakdown.objective_score};
            }
        }
        if (++m == subsets) {
            report.exhaustive = true;
            break;
        }
    }
    report.gap = report.exhaustive ? 0.0 : -1.0;
    if (best.objective > final_record.objective + epsilon) {
        final_record = std::move(best);
        report.improved = true;
    }
    return report;
}

}  // namespace torvane
