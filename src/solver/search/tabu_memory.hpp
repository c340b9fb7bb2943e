#pragma once
// The search memory of the tabu search: a ring of recently visited
// selections with the moves that produced them (short term), and counts of
// how often each candidate, candidate pair and cluster has been part of the
// current selection (long term).

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <span>
#include <vector>

#include "common/flat_map.hpp"
#include "common/numeric.hpp"
#include "solver/model/problem.hpp"

namespace torvane {

// A selection packed 64 candidates to a word (bit i%64 of word i/64 set when
// byte i is non-zero), so that overlap counts take one popcount per word.
using SelectionBits = std::vector<std::uint64_t>;
SelectionBits pack_selection(std::span<const std::uint8_t> selection);

// SipHash-1-3 under an all-zero key of the selection's length, as a 4-byte
// little-endian unsigned integer, followed by its bytes. The tenure jitter
// depends on these values, so the exact layout matters. A length beyond
// 32 bits contributes only its low 32 bits.
std::uint64_t selection_hash(std::span<const std::uint8_t> selection);

// Weight of the frequency penalty under stagnation: 0.02 per stagnating
// iteration from the fifth on, 0 before.
double diversification_weight(std::size_t stagnation);

// Counts per unordered pair of candidates, for the pair term of the
// memory penalty. The candidates that have been in a counted selection
// since the last clear get compact slots, and the counts live in a square
// table over the slots, slot 0 standing for every other candidate with a
// row and a column of zeros; a lookup is then three array reads. A search
// counts few distinct candidates between two clears; should the slots pass
// kDenseSlots the counts move to a hash map instead of a table that large.
class PairCounts {
public:
    static constexpr std::size_t kDenseSlots = 2048;

    explicit PairCounts(std::size_t candidates) : slot_(candidates, 0) {}

    std::uint32_t get(std::size_t i, std::size_t k) const {
        if (i >= slot_.size() || k >= slot_.size()) return 0;
        if (overflowed_) return get_sparse(i, k);
        return table_[slot_[i] * stride_ + slot_[k]];
    }
    // The table by slots, for callers that look many pairs up: row `slot`
    // of the table, or null when the counts are in the map (use get then).
    std::uint32_t slot(std::size_t i) const { return i < slot_.size() ? slot_[i] : 0; }
    const std::uint32_t* row(std::uint32_t slot) const { return overflowed_ ? nullptr : table_.data() + slot * stride_; }
    // One more for every pair of the ascending candidate list (saturating).
    void add_all(std::span<const std::size_t> chosen);
    void clear();
    bool empty() const { return !counted_; }
    bool in_table() const { return !overflowed_; }

private:
    struct PairKey {
        std::size_t low;
        std::size_t high;
        bool operator==(const PairKey&) const = default;
    };
    struct PairKeyHash {
        std::uint64_t operator()(const PairKey& key) const;
    };

    std::uint32_t get_sparse(std::size_t i, std::size_t k) const;
    void grow(std::size_t stride);
    void move_to_map();

    std::vector<std::uint32_t> slot_;         // per candidate; 0: no slot
    std::vector<std::size_t> slotted_;        // the candidates with a slot, in slot order
    std::vector<std::uint32_t> table_ = {0};  // stride_ x stride_, symmetric
    std::size_t stride_ = 1;
    bool counted_ = false;
    bool overflowed_ = false;  // the counts are in sparse_
    FlatMap<PairKey, std::uint32_t, PairKeyHash> sparse_;
};

struct TabuEntry {
    std::size_t added = 0;
    std::size_t removed = 0;  // the candidate count when the move removed nothing
    std::uint64_t hash = 0;   // selection_hash of `selection`
    std::size_t iteration = 0;
    Selection selection;      // the selection after the move
    SelectionBits bits;       // the same selection as bits, for overlap counts
};

class TabuMemory {
public:
    // An empty memory for `candidate_count` candidates with base tenure
    // `tenure`; the ring keeps at most 3 x tenure entries.
    TabuMemory(std::size_t tenure, std::size_t candidate_count, float similarity_threshold);

    // Start of an iteration: the clock moves on and entries older than
    // 3 x tenure iterations leave the ring.
    void advance();

    // After a move was applied: appends the ring entry, jitters the tenure,
    // counts the selection's candidates, pairs and clusters, and trims the
    // ring. `selection` must have one byte per candidate and `cluster_ids`
    // at least as many entries.
    void record_move(std::size_t added, std::size_t removed, std::span<const std::uint8_t> selection,
                     std::span<const std::optional<std::size_t>> cluster_ids);

    // -weight x frequency(added) when weight > 0, else 0.
    double frequency_penalty(double weight, std::size_t added) const;

    // How often the candidate has been selected after a move; 0 for an index
    // beyond the table.
    std::uint32_t frequency(std::size_t index) const {
        return index < frequency_.size() ? frequency_[index] : 0;
    }
    std::uint32_t pair_count(std::size_t i, std::size_t k) const { return pair_counts_.get(i, k); }
    std::uint32_t cluster_count(std::size_t cluster) const;

    // After a perturbation: forgets the ring, the clock and all counts; the
    // tenures, the ring size limit and the threshold stay.
    void clear();

    // The tenure in force, which decides which entries are active. The search
    // sets it at every iteration when its tenure is reactive; otherwise it is
    // the value the last move's jitter left.
    std::size_t effective_tenure() const { return current_tenure_; }
    void set_effective_tenure(std::size_t tenure) { current_tenure_ = tenure; }

    std::size_t base_tenure() const { return base_tenure_; }
    std::size_t max_entries() const { return max_entries_; }
    float similarity_threshold() const { return similarity_threshold_; }
    std::size_t iteration_clock() const { return iteration_clock_; }
    std::size_t candidate_count() const { return frequency_.size(); }
    const std::deque<TabuEntry>& entries() const { return ring_; }

    // An entry is active while clock - entry.iteration <= effective tenure.
    bool is_active(const TabuEntry& entry) const;

    // Sum of cluster_count over the clusters of the selected candidates,
    // once per candidate: the cluster term of the memory penalty.
    std::uint32_t candidate_cluster_count(std::size_t index,
                                          std::span<const std::optional<std::size_t>> cluster_ids) const {
        return cluster_ids[index] && !cluster_counts_.empty() ? cluster_count(*cluster_ids[index]) : 0;
    }
    bool has_pair_counts() const { return !pair_counts_.empty(); }
    const PairCounts& pair_counts() const { return pair_counts_; }

private:
    std::deque<TabuEntry> ring_;  // oldest first
    std::size_t max_entries_;
    std::size_t base_tenure_;
    std::size_t current_tenure_;
    float similarity_threshold_;
    std::size_t iteration_clock_ = 0;
    std::vector<std::uint32_t> frequency_;
    PairCounts pair_counts_;
    FlatMap<std::size_t, std::uint32_t> cluster_counts_;
};

}  // namespace torvane

namespace torvane {

// The tabu tests and the memory penalty of every neighbour of one selection
// (the selection with one unselected candidate added, or with one selected
// candidate exchanged for an unselected one), answered without building the
// neighbour. Built once per iteration from the memory as it stands; valid
// while neither the memory nor the selection changes.
//
// For the neighbour selection N that the move (added, removed) reaches:
// - the move is tabu when one of the ring's active entries (scanned from
//   the newest, up to the first inactive one) recorded the opposite move,
//   has the hash selection_hash(N), or holds a selection whose Jaccard
//   overlap with N (set bytes over the common length, in single precision;
//   no set byte on either side counts as full overlap) reaches the memory's
//   similarity threshold, which is tested only when above 0: that is
//   reverses_recent_move || repeats_recent_hash || overlaps_recent_selection;
// - memory_penalty(added, removed) is N's diversification penalty from the
//   long-term counts: 0.004 x the cluster counts of its candidates
//   (candidate_cluster_count) + 0.005 x their frequencies + 0.003 x the pair
//   counts of each selected candidate with the next (up to) eight selected
//   ones; 0 when N is empty.
class NeighbourhoodScreen {
public:
    // `removed` == selection.size() in the queries below means the move
    // only adds. `cluster_ids` must cover every candidate.
    NeighbourhoodScreen(const TabuMemory& memory, std::span<const std::uint8_t> selection,
                        std::span<const std::optional<std::size_t>> cluster_ids);

    // Some active entry recorded the opposite move: it added `removed` and
    // removed `added`.
    bool reverses_recent_move(std::size_t added, std::size_t removed) const;
    // Some active entry's selection overlaps N with a Jaccard index at or
    // above the threshold (never when the threshold is 0 or below). O(1)
    // per active entry: the overlap counts of the selection with each entry
    // are counted once, and a move changes each count by at most one.
    bool overlaps_recent_selection(std::size_t added, std::size_t removed) const;
    // Some active entry's hash equals selection_hash(N). Hashes N: O(n).
    bool repeats_recent_hash(std::size_t added, std::size_t removed) const;
    // Whether any entry is active, i.e. whether the tests above can say yes.
    bool any_active() const { return !active_.empty(); }
    // Whether some active entry makes every swap (every add-only move)
    // tabu by overlap, as the entry of the selection itself does once it
    // holds a dozen chunks or more.
    bool swaps_always_overlap() const { return swaps_always_overlap_; }
    bool adds_always_overlap() const { return adds_always_overlap_; }

    // The memory penalty of N, from the selection's integer sums and the
    // few terms the move changes, so it is exactly the one of N.
    double memory_penalty(std::size_t added, std::size_t removed) const;

    // The same in two steps, for many moves that add the same candidate:
    // what adding it changes is worked out once (Addition), and a swap
    // corrects it only when the removed candidate sits among the selected
    // ones whose pairs the addition touches.
    struct Addition {
        std::size_t added;
        std::size_t place;         // its position among the selected candidates
        std::int64_t pair_change;  // of the pair sum when nothing leaves
        std::uint64_t frequency;   // its frequency and cluster count
        std::uint64_t cluster;
        std::uint32_t slot;        // its pair-count slot
    };
    Addition addition(std::size_t added) const;
    double memory_penalty(const Addition& addition, std::size_t removed) const;
    // The position of a selected candidate among the selected ones, or the
    // number of selected ones for a removal index of selection.size() (no
    // removal). A scan that tries many additions against the same removals
    // looks the positions up once and passes them to penalty_at.
    std::size_t removal_position(std::size_t removed) const;
    double penalty_at(const Addition& addition, std::size_t position) const;
    // A lower bound of penalty_at(addition, position) over every addition,
    // formed with the same operations from integer sums no larger than the
    // ones penalty_at uses, so it is no larger in floating point either.
    // Leaves out the added candidate's own counts (never negative) and
    // takes the pairs an insertion pushes from eight apart to nine as the
    // largest they can be (straddle_bound_).
    double penalty_floor(std::size_t position) const;

private:
    struct ActiveEntry {
        std::size_t added;
        std::size_t removed;
        std::uint64_t hash;
        const std::uint8_t* selection;  // n bytes, owned by the ring
        // tabu_swap[a][r]: the overlap test says yes for a swap whose added
        // candidate is (a = 1) or is not (a = 0) in the entry and whose
        // removed candidate is (r = 1) or is not (r = 0); tabu_add[a] the
        // same for an add-only move.
        bool tabu_swap[2][2];
        bool tabu_add[2];
    };

    // Pair-count sum change when the addition's candidate joins the
    // selection that lacks the candidate at `skip` of chosen_
    // (skip == chosen_.size(): none).
    std::int64_t insertion_pair_change(const Addition& addition, std::size_t skip) const;
    // The pair counts of the selected candidates at positions p and q of
    // chosen_, and of the one at p with the addition's candidate, through
    // the pair table's slots.
    std::uint32_t pair_of(std::size_t p, std::size_t q) const {
        const std::uint32_t* row = memory_.pair_counts().row(chosen_slot_[p]);
        return row != nullptr ? row[chosen_slot_[q]] : memory_.pair_count(chosen_[p], chosen_[q]);
    }
    std::uint32_t pair_with(std::size_t p, const Addition& addition) const {
        const std::uint32_t* row = memory_.pair_counts().row(chosen_slot_[p]);
        return row != nullptr ? row[addition.slot] : memory_.pair_count(chosen_[p], addition.added);
    }

    const TabuMemory& memory_;
    std::span<const std::uint8_t> selection_;
    std::span<const std::optional<std::size_t>> cluster_ids_;
    std::vector<ActiveEntry> active_;
    bool swaps_always_overlap_ = false;  // an entry makes every swap tabu
    bool adds_always_overlap_ = false;   // an entry makes every add-only move tabu

    std::vector<std::size_t> chosen_;          // selected indices, ascending
    std::vector<std::uint32_t> chosen_slot_;   // their pair-count slots
    std::vector<std::uint64_t> chosen_frequency_;
    std::vector<std::uint64_t> chosen_cluster_;  // candidate_cluster_count of each
    std::vector<std::int64_t> removal_change_;  // pair-count sum change when the candidate at a position leaves
    std::uint64_t frequency_sum_ = 0;
    std::uint64_t cluster_sum_ = 0;
    std::uint64_t pair_sum_ = 0;
    // At least the pair sum an insertion takes away: an insertion pushes at
    // most eight pairs from eight apart to nine, and each of them is eight
    // or nine apart among the selected candidates (nine when a removal sits
    // between them), so the eight largest of those pair counts bound it.
    std::uint64_t straddle_bound_ = 0;
};

}  // namespace torvane
