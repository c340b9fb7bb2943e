#include "solver/search/marginal.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

#include "backend/simd/vector_kernels.hpp"
#include "common/fault.hpp"
#include "common/numeric.hpp"
#include "common/support_quorum.hpp"
#include "solver/search/utility.hpp"

namespace torvane {

namespace {

double positive_part(double x) { return x > 0.0 ? x : 0.0; }

}  // namespace

namespace {

// similarity_sum[c] adds similarity[c * n + i] over the selected i != c in
// ascending i, from 0: the columns of the selected candidates pass over the
// sums in that order, so each c sees the same additions as a row-wise sum
// would.
void add_selected_columns(std::span<const std::size_t> selected, const SimilarityView& similarity, double* sums) {
    std::vector<const float*> columns;
    columns.reserve(selected.size());
    for (std::size_t i : selected) columns.push_back(similarity.column(i));
    simd::add_columns(columns, selected, similarity.n, sums);
}

std::vector<std::size_t> selected_indices(std::span<const std::uint8_t> selection) {
    std::vector<std::size_t> selected;
    for (std::size_t i = 0; i < selection.size(); ++i) {
        if (selection[i] != 0) selected.push_back(i);
    }
    return selected;
}

// The gain and loss tables, when the problem carries coverage.
void add_fulfilment_tables(MarginalTables& tables, std::span<const std::uint8_t> selection,
                           std::span<const std::size_t> selected, const ProblemInstance& problem,
                           const SolverSettings& settings) {
    const std::size_t n = problem.n;
    if (!problem.coverage || problem.num_query_tokens == 0) return;
    const std::size_t tokens = problem.num_query_tokens;
    const std::vector<float>& coverage = *problem.coverage;
    TORVANE_CHECK(coverage.size() >= tokens * n, "coverage matrix shorter than tokens x candidates");
    const float threshold = settings.support_quorum_threshold;
    const SupportQuorum<double> quorum{static_cast<double>(settings.support_secondary_discount),
                                       static_cast<double>(settings.support_quorum_bonus),
                                       static_cast<float>(settings.support_quorum_cap)};

    for (std::size_t t = 0; t < tokens; ++t) {
        const float* row = coverage.data() + t * n;
        double weight = 1.0;
        if (problem.query_token_weights && t < problem.query_token_weights->size()) {
            weight = static_cast<double>((*problem.query_token_weights)[t]);
        }

        double places[4] = {0.0, 0.0, 0.0, 0.0};
        std::optional<std::size_t> holders[3];
        std::size_t supporters = 0;
        for (std::size_t i : selected) {
            const float value = row[i];
            if (value >= threshold) ++supporters;
            insert_best(places, holders, static_cast<double>(value), std::optional<std::size_t>(i));
        }
        const double current = quorum.support(places, supporters);

        for (std::size_t j = 0; j < n; ++j) {
            const float value = row[j];
            double after[4] = {places[0], places[1], places[2], places[3]};
            if (selection[j] != 0) {
                remove_holder(after, holders, j);
                std::size_t k = supporters;
                if (value >= threshold && k > 0) --k;
                tables.loss[j] += weight * positive_part(current - quorum.support(after, k));
            } else {
                insert_best(after, static_cast<double>(value));
                const std::size_t k = value >= threshold ? supporters + 1 : supporters;
                tables.gain[j] += weight * positive_part(quorum.support(after, k) - current);
            }
        }
    }
}

}  // namespace

MarginalTables build_marginal_tables(std::span<const std::uint8_t> selection, const ProblemInstance& problem,
                                     const SimilarityView& similarity, const SolverSettings& settings) {
    const std::size_t n = problem.n;
    TORVANE_CHECK(selection.size() == n, "selection length does not match the candidate count");
    MarginalTables tables;
    tables.gain.assign(n, 0.0);
    tables.loss.assign(n, 0.0);
    tables.similarity_sum.assign(n, 0.0);
    const std::vector<std::size_t> selected = selected_indices(selection);
    if (n > 0 && similarity.n == n) add_selected_columns(selected, similarity, tables.similarity_sum.data());
    add_fulfilment_tables(tables, selection, selected, problem, settings);
    return tables;
}

MarginalTables build_marginal_tables(std::span<const std::uint8_t> selection, const ProblemInstance& problem,
                                     const SolverSettings& settings, std::span<const double> similarity_sum) {
    const std::size_t n = problem.n;
    TORVANE_CHECK(selection.size() == n && similarity_sum.size() == n,
                  "selection or similarity sums do not match the candidate count");
    MarginalTables tables;
    tables.similarity_sum.assign(similarity_sum.begin(), similarity_sum.end());
    if (problem.coverage && problem.num_query_tokens != 0) {
        tables.gain.assign(n, 0.0);
        tables.loss.assign(n, 0.0);
        add_fulfilment_tables(tables, selection, selected_indices(selection), problem, settings);
    }
    return tables;
}

namespace {

// Whether adding the value to a sum of at most SimilaritySums::kExactTerms
// such values is exact: 0, or a magnitude in [2^-20, 2] (NaN is neither).
// Compared as bit patterns without the sign: 2^-20 is 0x35800000 and 2 is
// 0x40000000, and NaN lies above every finite value.
bool exact_term(float value) {
    const std::uint32_t magnitude = std::bit_cast<std::uint32_t>(value) & 0x7FFFFFFFu;
    return magnitude == 0 || magnitude - 0x35800000u <= 0x40000000u - 0x35800000u;
}

}  // namespace

SimilaritySums::SimilaritySums(std::span<const std::uint8_t> selection, const SimilarityView& similarity)
    : similarity_(similarity) {
    rebuild(selection);
}

void SimilaritySums::rebuild(std::span<const std::uint8_t> selection) {
    const std::size_t n = selection.size();
    sums_.assign(n, 0.0);
    irregular_.clear();
    selected_ = 0;
    tracked_ = false;
    if (n == 0 || similarity_.n != n) return;  // no matrix over the candidates: the sums stay 0
    const std::vector<std::size_t> selected = selected_indices(selection);
    selected_ = selected.size();
    add_selected_columns(selected, similarity_, sums_.data());
    if (selected_ > kExactTerms) return;
    tracked_ = true;
    column_state_.resize(n, 0);
    inexact_.assign(n, 0);
    for (std::size_t j : selected) {
        if (!column_exact(j)) count_inexact(j, +1);
    }
    // Only the candidates still counted stay on the list.
    std::erase_if(irregular_, [this](std::size_t c) { return inexact_[c] == 0; });
    std::sort(irregular_.begin(), irregular_.end());
    irregular_.erase(std::unique(irregular_.begin(), irregular_.end()), irregular_.end());
}

void SimilaritySums::update(std::span<const std::uint8_t> selection, std::size_t added, std::size_t removed) {
    const std::size_t n = selection.size();
    TORVANE_CHECK(n == sums_.size() && added < n && selection[added] != 0 && (removed >= n || selection[removed] == 0),
                  "similarity sums: the move does not match the selection");
    if (similarity_.n != n) return;
    const std::size_t after = selected_ + 1 - (removed < n ? 1 : 0);
    if (!tracked_ || after > kExactTerms) {
        rebuild(selection);
        return;
    }
    selected_ = after;
    if (removed < n) {
        const float* column = similarity_.column(removed);
        for (std::size_t c = 0; c < removed; ++c) sums_[c] -= static_cast<double>(column[c]);
        for (std::size_t c = removed + 1; c < n; ++c) sums_[c] -= static_cast<double>(column[c]);
        if (!column_exact(removed)) count_inexact(removed, -1);
    }
    const float* column = similarity_.column(added);
    for (std::size_t c = 0; c < added; ++c) sums_[c] += static_cast<double>(column[c]);
    for (std::size_t c = added + 1; c < n; ++c) sums_[c] += static_cast<double>(column[c]);
    if (!column_exact(added)) count_inexact(added, +1);
    if (irregular_.empty()) return;
    // The candidates with an inexact term, and those whose last one just
    // left, are summed anew.
    std::sort(irregular_.begin(), irregular_.end());
    irregular_.erase(std::unique(irregular_.begin(), irregular_.end()), irregular_.end());
    resum(selection, irregular_);
    std::erase_if(irregular_, [this](std::size_t c) { return inexact_[c] == 0; });
}

bool SimilaritySums::column_exact(std::size_t j) {
    if (column_state_[j] == 0) {
        const float* column = similarity_.column(j);
        std::size_t others = 0;  // values of the column that are not exact, its own included
        for (std::size_t c = 0; c < similarity_.n; ++c) others += exact_term(column[c]) ? 0 : 1;
        others -= exact_term(column[j]) ? 0 : 1;
        column_state_[j] = others == 0 ? 1 : 2;
    }
    return column_state_[j] == 1;
}

void SimilaritySums::count_inexact(std::size_t j, int step) {
    const float* column = similarity_.column(j);
    for (std::size_t c = 0; c < similarity_.n; ++c) {
        if (c == j || exact_term(column[c])) continue;
        inexact_[c] = step > 0 ? inexact_[c] + 1 : inexact_[c] - 1;
        irregular_.push_back(c);
    }
}

void SimilaritySums::resum(std::span<const std::uint8_t> selection, std::span<const std::size_t> candidates) {
    const std::vector<std::size_t> selected = selected_indices(selection);
    for (std::size_t c : candidates) {
        double sum = 0.0;
        for (std::size_t i : selected) {
            if (i != c) sum += static_cast<double>(similarity_.column(i)[c]);
        }
        sums_[c] = sum;
    }
}

namespace {

// The add and drop keys from the precomputed scores: utility_per_token and
// utility_per_090 are the utility over the cost powers, with the
// operations of the keys' formulas in their order.
// A zero gain is +0.0 (the gains start at +0.0 and only add products of
// weights and non-negative parts, which never sum to -0.0), and +0.0 over
// the cost power (at least 1, finite) is +0.0: the division is skipped then.
double add_key(const CandidateScores& scores, std::size_t c, const MarginalTables& tables) {
    const double gain = tables.gain.empty() ? 0.0 : tables.gain[c];
    const double scaled_gain = gain == 0.0 ? 0.0 : 0.35 * gain / scores.cost_pow_065[c];
    return scores.utility_per_token[c] + 1.45 * gain + scaled_gain - 0.06 * tables.similarity_sum[c];
}

double drop_key(const CandidateScores& scores, std::size_t c, const MarginalTables& tables) {
    const double loss = tables.loss.empty() ? 0.0 : tables.loss[c];
    return scores.utility_per_090[c] + 1.95 * loss - 0.1 * tables.similarity_sum[c];
}

// Stable sort of indices by precomputed keys.
template <typename Before>
void sort_by_keys(std::vector<std::size_t>& indices, const std::vector<double>& keys, Before before) {
    std::vector<std::size_t> order(indices.size());
    for (std::size_t k = 0; k < order.size(); ++k) order[k] = k;
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return before(keys[a], keys[b]); });
    std::vector<std::size_t> sorted(indices.size());
    for (std::size_t k = 0; k < order.size(); ++k) sorted[k] = indices[order[k]];
    indices = std::move(sorted);
}

// The value at position k of `values` sorted ascending (k < size); the
// vector is used as working room. Each round splits the range around the
// median of its first, middle and last values and keeps the side that holds
// position k. Counting and moving use no branch on the values: the keys of
// a candidate list come in no useful order, so a branch on each comparison
// would be mispredicted about half of the time, which made a library
// selection the largest cost of ranking the candidates. Every round drops at
// least the values equal to its pivot; a range that has not shrunk to a few
// values after 64 rounds is finished by the library selection.
std::uint64_t kth_smallest(std::uint64_t* values, std::size_t size, std::size_t k) {
    const std::unique_ptr<std::uint64_t[]> room = std::make_unique_for_overwrite<std::uint64_t[]>(size);
    std::uint64_t* from = values;
    std::uint64_t* to = room.get();
    for (int round = 0; size > 16 && round < 64; ++round) {
        const std::uint64_t a = from[0];
        const std::uint64_t b = from[size / 2];
        const std::uint64_t c = from[size - 1];
        const std::uint64_t pivot = std::max(std::min(a, b), std::min(std::max(a, b), c));
        std::size_t less = 0;
        std::size_t equal = 0;
        for (std::size_t i = 0; i < size; ++i) {
            less += from[i] < pivot;
            equal += from[i] == pivot;
        }
        if (k >= less && k < less + equal) return pivot;
        const bool below = k < less;
        std::size_t kept = 0;
        for (std::size_t i = 0; i < size; ++i) {
            to[kept] = from[i];
            kept += below ? from[i] < pivot : from[i] > pivot;
        }
        if (!below) k -= less + equal;
        size = kept;
        std::swap(from, to);
    }
    std::nth_element(from, from + k, from + size);
    return from[k];
}

struct Keyed {
    std::uint64_t rank;
    std::size_t position;
};

// The same, most significant bits first: a counting pass by the eight
// highest bits in which the ranks of a run differ spreads the run over 256
// shorter runs; a short run is finished by insertion, a longer one the same
// way by the bits below. The leading entries of a candidate list differ in
// most of their 64 bits, so this takes two or three passes where the
// passes above take seven.
void sort_run_by_rank(Keyed* run, std::size_t size, Keyed* room) {
    if (size <= 24) {
        // Insertion by rank alone keeps equal ranks in their order.
        for (std::size_t i = 1; i < size; ++i) {
            const Keyed e = run[i];
            std::size_t j = i;
            for (; j > 0 && e.rank < run[j - 1].rank; --j) run[j] = run[j - 1];
            run[j] = e;
        }
        return;
    }
    std::uint64_t varying = 0;
    for (std::size_t i = 0; i < size; ++i) varying |= run[i].rank ^ run[0].rank;
    if (varying == 0) return;  // equal ranks: the positions ascend already
    const int top = 63 - std::countl_zero(varying);
    const int shift = top >= 7 ? top - 7 : 0;
    std::size_t start[257] = {};
    for (std::size_t i = 0; i < size; ++i) ++start[((run[i].rank >> shift) & 0xFF) + 1];
    for (std::size_t d = 1; d <= 256; ++d) start[d] += start[d - 1];
    std::size_t next[256];
    std::copy(start, start + 256, next);
    for (std::size_t i = 0; i < size; ++i) room[next[(run[i].rank >> shift) & 0xFF]++] = run[i];
    std::copy(room, room + size, run);
    for (std::size_t d = 0; d < 256; ++d) {
        if (start[d + 1] - start[d] > 1) sort_run_by_rank(run + start[d], start[d + 1] - start[d], room + start[d]);
    }
}

void sort_stably_by_rank(std::vector<Keyed>& entries) {
    std::vector<Keyed> room(entries.size());
    sort_run_by_rank(entries.data(), entries.size(), room.data());
}

}  // namespace

void sort_by_drop_priority(std::vector<std::size_t>& indices, const CandidateScores& scores,
                           const MarginalTables& tables) {
    std::vector<double> keys(indices.size());
    for (std::size_t k = 0; k < indices.size(); ++k) keys[k] = drop_key(scores, indices[k], tables);
    sort_by_keys(indices, keys, [](double a, double b) { return a < b; });
}

std::vector<std::size_t> leading_by_add_priority(const std::vector<std::size_t>& indices, std::size_t count,
                                                 const CandidateScores& scores, const MarginalTables& tables) {
    const std::size_t m = indices.size();
    count = std::min(count, m);
    // Without NaN the stable order by descending key is the order by
    // (key descending, position ascending), a strict total order. Its first
    // `count` positions are those whose key exceeds the count-th largest
    // key, then those holding that key, by position; sorted, they give the
    // prefix of the stable order. The keys are compared as integers that
    // order like the doubles, descending, with -0.0 taken as +0.0 (the two
    // compare equal as doubles). The ranks are formed in the pass that
    // forms the keys; the keys themselves are kept only if one is NaN.
    const auto descending = [](double key) {
        const std::uint64_t bits = std::bit_cast<std::uint64_t>(key + 0.0);  // -0.0 + 0.0 is +0.0
        constexpr std::uint64_t kSign = std::uint64_t{1} << 63;
        return (bits & kSign) != 0 ? bits : ~bits & ~kSign;
    };
    // Written in full before they are read: no zeroing.
    const std::unique_ptr<std::uint64_t[]> ranks = std::make_unique_for_overwrite<std::uint64_t[]>(m);
    bool any_nan = false;
    for (std::size_t k = 0; k < m; ++k) {
        const double key = add_key(scores, indices[k], tables);
        any_nan = any_nan || std::isnan(key);
        ranks[k] = descending(key);
    }
    if (any_nan) {
        // NaN keys compare false both ways; only the full stable sort says
        // where they go.
        std::vector<double> keys(m);
        for (std::size_t k = 0; k < m; ++k) keys[k] = add_key(scores, indices[k], tables);
        std::vector<std::size_t> sorted = indices;
        sort_by_keys(sorted, keys, [](double a, double b) { return a > b; });
        sorted.resize(count);
        return sorted;
    }
    std::vector<Keyed> order(count);
    if (count == m) {
        for (std::size_t k = 0; k < m; ++k) order[k] = {ranks[k], k};
    } else if (count > 0) {
        const std::unique_ptr<std::uint64_t[]> working = std::make_unique_for_overwrite<std::uint64_t[]>(m);
        std::copy(ranks.get(), ranks.get() + m, working.get());
        const std::uint64_t threshold = kth_smallest(working.get(), m, count - 1);
        // Those below the cut-off key, then those holding it, each group by
        // position, written without a branch on the keys: a slot is
        // overwritten until an entry that qualifies stays in it. Fewer than
        // `count` keys lie below the cut-off, so no write goes past the end.
        std::size_t taken = 0;
        for (std::size_t k = 0; k < m; ++k) {
            order[taken] = {ranks[k], k};
            taken += ranks[k] < threshold;
        }
        for (std::size_t k = 0; k < m && taken < count; ++k) {
            order[taken] = {ranks[k], k};
            taken += ranks[k] == threshold;
        }
    }
    // Positions ascend within equal ranks, so a stable sort by rank alone
    // gives the order by (rank, position).
    sort_stably_by_rank(order);
    std::vector<std::size_t> leading(order.size());
    for (std::size_t k = 0; k < order.size(); ++k) leading[k] = indices[order[k].position];
    return leading;
}

std::vector<float> build_redundancy_vector(std::span<const std::uint8_t> selection, const SimilarityView& similarity) {
    const std::size_t n = similarity.n;
    TORVANE_CHECK(selection.size() == n, "redundancy vector needs n selection bytes and an n x n similarity matrix");
    // As in build_marginal_tables: column by column of the selected
    // candidates, so each red[c] gets its additions in ascending i.
    std::vector<float> red(n, 0.0f);
    for (std::size_t i = 0; i < n; ++i) {
        if (selection[i] == 0) continue;
        const float* column = similarity.column(i);
        for (std::size_t c = 0; c < i; ++c) red[c] += column[c];
        for (std::size_t c = i + 1; c < n; ++c) red[c] += column[c];
    }
    return red;
}

void update_redundancy_vector(std::vector<float>& red, const SimilarityView& similarity, std::size_t added,
                              std::size_t removed) {
    const std::size_t n = similarity.n;
    TORVANE_CHECK(red.size() == n && added < n, "redundancy update outside the candidates");
    if (removed < n) {
        const float* column = similarity.column(removed);
        for (std::size_t k = 0; k < n; ++k) {
            if (k != removed) red[k] -= column[k];
        }
    }
    const float* column = similarity.column(added);
    for (std::size_t k = 0; k < n; ++k) {
        if (k != added) red[k] += column[k];
    }
}

void ElitePool::seed(const Selection& selection, double objective) { entries_.push_back({selection, objective}); }

void ElitePool::insert(const Selection& selection, double objective) {
    for (const Entry& entry : entries_) {
        if (entry.selection == selection) return;
    }
    entries_.push_back({selection, objective});
    order_and_trim();
}

void ElitePool::order_and_trim() {
    std::stable_sort(entries_.begin(), entries_.end(),
                     [](const Entry& a, const Entry& b) { return a.objective > b.objective; });
    if (entries_.size() > kCapacity) entries_.resize(kCapacity);
}

}  // namespace torvane
