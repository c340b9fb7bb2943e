#pragma once
// The reported totals of one scored selection.

namespace torvane {

// Objective score, the six weighted component totals and the redundancy
// penalty of a selection, all in double precision.
struct ObjectiveBreakdown {
    double objective_score = 0.0;
    double relevance_total = 0.0;
    double density_total = 0.0;
    double centrality_total = 0.0;
    double recency_total = 0.0;
    double auxiliary_total = 0.0;
    double fulfilment_total = 0.0;
    double redundancy_penalty = 0.0;
};

}  // namespace torvane
