#pragma once
// What the search ranks candidates by: marginal tables of the current
// selection, the add and drop keys, the per-candidate redundancy sums kept
// up to date move by move, and the pool of the best distinct feasible
// selections.

#include <cstddef>
#include <span>
#include <vector>

#include "solver/model/problem.hpp"
#include "solver/model/settings.hpp"
#include "solver/model/similarity_view.hpp"
#include "solver/search/utility.hpp"

namespace torvane {

// gain and loss may be empty, which counts as zero for every candidate.
struct MarginalTables {
    std::vector<double> gain;            // coverage-fulfilment gain of adding an unselected candidate
    std::vector<double> loss;            // coverage-fulfilment loss of removing a selected candidate
    std::vector<double> similarity_sum;  // sum of similarity to the selected others
};

// Tables for `selection`. similarity_sum is filled only when `similarity`
// covers the n candidates (the sums are added column by column of the
// selected candidates, which gives every candidate's sum the same additions
// in the same order as a row-wise sum); gain and loss only when the problem
// carries coverage.
MarginalTables build_marginal_tables(std::span<const std::uint8_t> selection, const ProblemInstance& problem,
                                     const SimilarityView& similarity, const SolverSettings& settings);
// The same with the similarity sums of the selection given (those of
// SimilaritySums), for a search that keeps them up to date move by move.
// Without coverage, gain and loss are left empty, which the orders below
// read as all zero.
MarginalTables build_marginal_tables(std::span<const std::uint8_t> selection, const ProblemInstance& problem,
                                     const SolverSettings& settings, std::span<const double> similarity_sum);

// MarginalTables::similarity_sum of a selection that changes one move at a
// time, with the bits the ordered sums have. The sums add single-precision
// values in double precision. A value that is 0 or of a magnitude in
// [2^-20, 2] is a whole multiple of 2^-43, and while at most 512 candidates
// are selected a sum of such values never exceeds 2^10 = 2^53 x 2^-43 in
// magnitude, so each of its additions is exact and the order of the
// additions does not matter: a move adds the entering candidate's column to
// the sums and subtracts the leaving one's. A sum that holds some other
// value is summed anew in order after every move, and so are all sums while
// more than 512 candidates are selected.
class SimilaritySums {
public:
    static constexpr std::size_t kExactTerms = 512;

    SimilaritySums(std::span<const std::uint8_t> selection, const SimilarityView& similarity);

    // The sums of `selection` from scratch.
    void rebuild(std::span<const std::uint8_t> selection);
    // After Move(added, removed) (removed == n: none); `selection` is the
    // selection after the move.
    void update(std::span<const std::uint8_t> selection, std::size_t added, std::size_t removed);

    const std::vector<double>& values() const { return sums_; }

private:
    // Whether every value of column j other than its own is 0 or of a
    // magnitude in [2^-20, 2]; worked out once per column.
    bool column_exact(std::size_t j);
    // Counts the values of column j (other than its own) that are not, by
    // candidate, `step` = +1 or -1 each, and notes the candidates touched.
    void count_inexact(std::size_t j, int step);
    // Sums the listed candidates anew, in order.
    void resum(std::span<const std::uint8_t> selection, std::span<const std::size_t> candidates);

    const SimilarityView& similarity_;
    std::vector<double> sums_;
    std::vector<std::uint8_t> column_state_;   // per column: 0 not looked at, 1 exact, 2 not
    std::vector<std::uint32_t> inexact_;       // per candidate: its selected terms that are not exact
    std::vector<std::size_t> irregular_;       // the candidates with inexact_ > 0, or touched by the move
    std::size_t selected_ = 0;
    bool tracked_ = false;  // the counts are valid (at most kExactTerms selected at the last rebuild)
};

// The orders the search ranks candidates in: by descending add key,
// respectively ascending drop key, stable, so equal keys keep their order.
// The add key of c is utility / kappa^0.85 + 1.45 gain + 0.35 gain /
// kappa^0.65 - 0.06 similarity sum, the drop key utility / kappa^0.9 + 1.95
// loss - 0.1 similarity sum (kappa: the token cost, at least 1), built from
// the precomputed scores. leading_by_add_priority returns only the first
// `count` candidates of the order (all when there are fewer); `indices` must
// be ascending.
std::vector<std::size_t> leading_by_add_priority(const std::vector<std::size_t>& indices, std::size_t count,
                                                 const CandidateScores& scores, const MarginalTables& tables);
void sort_by_drop_priority(std::vector<std::size_t>& indices, const CandidateScores& scores,
                           const MarginalTables& tables);

// red[c] = sum of similarity[c*n + i] over the selected i != c, in single
// precision, i ascending.
std::vector<float> build_redundancy_vector(std::span<const std::uint8_t> selection, const SimilarityView& similarity);

// Brings `red` up to date after Move(added, removed) (removed == n: none).
void update_redundancy_vector(std::vector<float>& red, const SimilarityView& similarity, std::size_t added,
                              std::size_t removed);

// The best distinct feasible selections, best first, at most four.
class ElitePool {
public:
    static constexpr std::size_t kCapacity = 4;

    struct Entry {
        Selection selection;
        double objective;
    };

    // Places an entry without the duplicate test (used to seed the pool).
    void seed(const Selection& selection, double objective);
    // Adds the selection unless an identical one is present; keeps the pool
    // ordered by objective, descending and stable, and at most four long.
    void insert(const Selection& selection, double objective);

    const std::vector<Entry>& entries() const { return entries_; }

private:
    void order_and_trim();
    std::vector<Entry> entries_;
};

}  // namespace torvane
