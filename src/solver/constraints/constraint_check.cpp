#include "solver/constraints/constraint_check.hpp"

#include <array>
#include <map>
#include <string_view>

#include "common/fault.hpp"
#include "common/flat_map.hpp"

namespace torvane {

namespace {


Violation token_violation(ViolationKind kind, const TokenTotal& total, std::size_t limit) {
    Violation v;
    v.kind = kind;
    v.token_total = total;
    v.limit = limit;
    return v;
}

Violation count_violation(ViolationKind kind, std::size_t count, std::size_t limit) {
    Violation v;
    v.kind = kind;
    v.count = count;
    v.limit = limit;
    return v;
}

Violation id_violation(ViolationKind kind, const std::string& chunk_id) {
    Violation v;
    v.kind = kind;
    v.chunk_id = chunk_id;
    return v;
}

}  // namespace

void require_constraint_fields(const ProblemInstance& problem) {
    const std::size_t n = problem.n;
    TORVANE_CHECK(problem.token_costs.size() == n, "token_costs length does not match the candidate count");
    TORVANE_CHECK(problem.roles.size() == n, "roles length does not match the candidate count");
    TORVANE_CHECK(problem.cluster_ids.size() == n, "cluster_ids length does not match the candidate count");
    TORVANE_CHECK(problem.chunk_ids.size() == n, "chunk_ids length does not match the candidate count");
}

std::string format_violation(const Violation& v) {
    switch (v.kind) {
        case ViolationKind::TokenBudgetExceeded:
            return "Token budget exceeded: " + v.token_total.to_string() + " > " + std::to_string(v.limit);
        case ViolationKind::MinimumTokensNotMet:
            return "Minimum tokens not met: " + v.token_total.to_string() + " < " + std::to_string(v.limit);
        case ViolationKind::TooFewChunks:
            return "Too few chunks: " + std::to_string(v.count) + " < " + std::to_string(v.limit);
        case ViolationKind::TooManyChunks:
            return "Too many chunks: " + std::to_string(v.count) + " > " + std::to_string(v.limit);
        case ViolationKind::MissingRequiredRole:
            return "Missing required role: " + std::string(role_display_name(v.role));
        case ViolationKind::ClusterOverflow:
            return "Cluster " + std::to_string(v.cluster_id) + " overflow: " + std::to_string(v.count) + " > " +
                   std::to_string(v.limit);
        case ViolationKind::RequiredChunkMissing:
            return "Required chunk missing: " + v.chunk_id;
        case ViolationKind::ExcludedChunkSelected:
            return "Excluded chunk selected: " + v.chunk_id;
    }
    raise_internal("unknown violation kind");
}

ConstraintReport check_constraints(std::span<const std::uint8_t> selection, const ProblemInstance& problem,
                                   const ConstraintSet& constraints) {
    require_constraint_fields(problem);
    TORVANE_CHECK(selection.size() == problem.n, "selection length does not match the candidate count");

    ConstraintReport report;
    std::vector<std::size_t> selected;
    for (std::size_t i = 0; i < selection.size(); ++i) {
        if (selection[i] == 1) selected.push_back(i);
    }
    // The exact total: a sum beyond the range of a size never comes back
    // small and slips under a budget.
    TokenTotal token_total;
    for (std::size_t i : selected) token_total += problem.token_costs[i];
    report.token_total = token_total;
    report.selected_count = selected.size();
    const std::size_t count = selected.size();

    if (token_total > constraints.max_tokens) {
        report.violations.push_back(
            token_violation(ViolationKind::TokenBudgetExceeded, token_total, constraints.max_tokens));
    }
    if (token_total < constraints.min_tokens) {
        report.violations.push_back(
            token_violation(ViolationKind::MinimumTokensNotMet, token_total, constraints.min_tokens));
    }
    if (count < constraints.min_chunks) {
        report.violations.push_back(count_violation(ViolationKind::TooFewChunks, count, constraints.min_chunks));
    }
    if (count > constraints.max_chunks) {
        report.violations.push_back(count_violation(ViolationKind::TooManyChunks, count, constraints.max_chunks));
    }

    // Roles: the role set iterates in ascending code, Unknown (-1) first,
    // which fixes the order of the messages.
    std::array<bool, 256> role_present{};
    for (std::size_t i : selected) role_present[role_slot(problem.roles[i])] = true;
    for (RhetoricalRole role : constraints.must_include_roles) {
        if (!role_present[role_slot(role)]) {
            Violation v;
            v.kind = ViolationKind::MissingRequiredRole;
            v.role = role;
            report.violations.push_back(std::move(v));
        }
    }

    // Clusters, reported in ascending cluster id (an ordered map).
    if (!selected.empty()) {
        std::map<std::size_t, std::size_t> per_cluster;
        for (std::size_t i : selected) {
            if (problem.cluster_ids[i]) ++per_cluster[*problem.cluster_ids[i]];
        }
        for (const auto& [cluster, members] : per_cluster) {
            if (members > constraints.max_per_cluster) {
                Violation v = count_violation(ViolationKind::ClusterOverflow, members, constraints.max_per_cluster);
                v.cluster_id = cluster;
                report.violations.push_back(std::move(v));
            }
        }
    }

    // Required ids, in the set's ascending byte-wise order.
    if (!constraints.required_chunks.empty()) {
        FlatSet<std::string_view> selected_ids;
        for (std::size_t i : selected) selected_ids.insert(problem.chunk_ids[i]);
        for (const std::string& id : constraints.required_chunks) {
            if (!selected_ids.contains(id)) {
                report.violations.push_back(id_violation(ViolationKind::RequiredChunkMissing, id));
            }
        }
    }

    // Excluded ids: once per selected candidate carrying one, by index.
    if (!constraints.excluded_chunks.empty()) {
        for (std::size_t i : selected) {
            if (constraints.excluded_chunks.count(problem.chunk_ids[i]) != 0) {
                report.violations.push_back(id_violation(ViolationKind::ExcludedChunkSelected, problem.chunk_ids[i]));
            }
        }
    }

    report.satisfied = report.violations.empty();
    return report;
}

std::vector<std::string> violation_messages(const ConstraintReport& report) {
    std::vector<std::string> messages;
    messages.reserve(report.violations.size());
    for (const Violation& v : report.violations) messages.push_back(format_violation(v));
    return messages;
}

}  // namespace torvane
