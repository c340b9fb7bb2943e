#pragma once
// Full constraint check of one selection, with the violations it finds and
// the messages they print as.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "common/roles.hpp"
#include "common/token_total.hpp"
#include "solver/model/problem.hpp"

namespace torvane {

// The kinds of violation, in the order the check reports them.
enum class ViolationKind : std::uint8_t {
    TokenBudgetExceeded,    // token_total, limit = max_tokens
    MinimumTokensNotMet,    // token_total, limit = min_tokens
    TooFewChunks,           // count = selected chunks, limit = min_chunks
    TooManyChunks,          // count = selected chunks, limit = max_chunks
    MissingRequiredRole,    // role
    ClusterOverflow,        // cluster_id, count = selected in the cluster, limit = max_per_cluster
    RequiredChunkMissing,   // chunk_id
    ExcludedChunkSelected,  // chunk_id
};

// One violation with the values its message prints; fields a kind does not
// use keep their defaults.
struct Violation {
    ViolationKind kind = ViolationKind::TokenBudgetExceeded;
    TokenTotal token_total;
    std::size_t count = 0;
    std::size_t limit = 0;
    std::size_t cluster_id = 0;
    RhetoricalRole role = RhetoricalRole::Unknown;
    std::string chunk_id;
};

// The message of a violation, e.g. "Token budget exceeded: 900 > 800" or
// "Missing required role: DataTable".
std::string format_violation(const Violation& violation);

struct ConstraintReport {
    std::vector<Violation> violations;  // grouped by kind, in check order
    // Exact sum of the selected token costs, even beyond the range of a size
    // (saturated_size() gives the reported size).
    TokenTotal token_total;
    std::size_t selected_count = 0;
    bool satisfied = true;  // no violations
};

// Checks a selection (byte 1 = selected, one byte per candidate) against
// every constraint. Violations come grouped in this order: token budget,
// minimum tokens, too few chunks, too many chunks, missing roles (ascending
// role code, Unknown first), cluster overflows (ascending cluster id),
// missing required ids (ascending byte-wise), excluded chunks selected
// (ascending candidate index, once per candidate). A selection whose length
// is not the candidate count is an internal fault.
ConstraintReport check_constraints(std::span<const std::uint8_t> selection, const ProblemInstance& problem,
                                   const ConstraintSet& constraints);

// The report's violation messages, in report order.
std::vector<std::string> violation_messages(const ConstraintReport& report);

// Internal fault unless every per-candidate field the constraint code reads
// (token costs, roles, cluster ids, chunk ids) holds exactly n entries.
void require_constraint_fields(const ProblemInstance& problem);

}  // namespace torvane
