#include "solver/search/tabu_memory.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <limits>

#include "common/fault.hpp"
#include "common/siphash.hpp"

namespace torvane {

namespace {

constexpr std::size_t kMaxSize = std::numeric_limits<std::size_t>::max();

std::size_t saturating_triple(std::size_t value) { return value > kMaxSize / 3 ? kMaxSize : value * 3; }

std::uint32_t saturating_increment(std::uint32_t value) {
    return value == std::numeric_limits<std::uint32_t>::max() ? value : value + 1;
}

// Jaccard overlap test from the overlap counts: |both| / |either| in single
// precision against the threshold; two selections with no set byte in
// common range overlap fully.
bool overlap_reaches(std::int64_t both, std::int64_t either, float threshold) {
    if (both < 0 || either < 0) return false;  // a combination no move produces
    const float j = either == 0 ? 1.0f : static_cast<float>(both) / static_cast<float>(either);
    return j >= threshold;
}

}  // namespace

SelectionBits pack_selection(std::span<const std::uint8_t> selection) {
    SelectionBits bits((selection.size() + 63) / 64, 0);
    for (std::size_t i = 0; i < selection.size(); ++i) {
        if (selection[i] != 0) bits[i / 64] |= std::uint64_t{1} << (i % 64);
    }
    return bits;
}

std::uint64_t selection_hash(std::span<const std::uint8_t> selection) {
    const auto length = static_cast<std::uint32_t>(selection.size());
    const std::array<std::uint8_t, 4> prefix{
        static_cast<std::uint8_t>(length), static_cast<std::uint8_t>(length >> 8),
        static_cast<std::uint8_t>(length >> 16), static_cast<std::uint8_t>(length >> 24)};
    SipHasher13 hasher(0, 0);
    hasher.write(prefix);
    hasher.write(selection);
    return hasher.finish();
}

double diversification_weight(std::size_t stagnation) {
    return stagnation >= 5 ? 0.02 * static_cast<double>(stagnation) : 0.0;
}

std::uint64_t PairCounts::PairKeyHash::operator()(const PairKey& key) const {
    // Both indices mixed; only lookups depend on it.
    return mix64(static_cast<std::uint64_t>(key.low) * 0x9E3779B97F4A7C15ULL ^ static_cast<std::uint64_t>(key.high));
}

TabuMemory::TabuMemory(std::size_t tenure, std::size_t candidate_count, float similarity_threshold)
    : max_entries_(saturating_triple(tenure)),
      base_tenure_(tenure),
      current_tenure_(tenure),
      similarity_threshold_(similarity_threshold),
      frequency_(candidate_count, 0),
      pair_counts_(candidate_count) {}

bool TabuMemory::is_active(const TabuEntry& entry) const {
    const std::size_t age = iteration_clock_ >= entry.iteration ? iteration_clock_ - entry.iteration : 0;
    return age <= current_tenure_;
}

void TabuMemory::advance() {
    if (iteration_clock_ != kMaxSize) ++iteration_clock_;
    while (!ring_.empty() && iteration_clock_ - ring_.front().iteration > max_entries_) ring_.pop_front();
}

void TabuMemory::record_move(std::size_t added, std::size_t removed, std::span<const std::uint8_t> selection,
                             std::span<const std::optional<std::size_t>> cluster_ids) {
    TORVANE_CHECK(selection.size() == frequency_.size(),
                  "record_move: selection length does not match the candidate count");
    TORVANE_CHECK(cluster_ids.size() >= selection.size(), "record_move: cluster ids shorter than the selection");

    const std::uint64_t hash = selection_hash(selection);
    ring_.push_back(TabuEntry{added, removed, hash, iteration_clock_, Selection(selection.begin(), selection.end()),
                              pack_selection(selection)});

    // Tenure jitter of up to 20% either way, drawn from the new selection's
    // hash and the clock: j = trunc(f32(base) * 0.2f), tenure in
    // [base - j, base + j].
    const float product = static_cast<float>(base_tenure_) * 0.2f;
    const auto jitter = static_cast<std::uint64_t>(product);
    if (jitter > 0) {
        const std::uint64_t offset = (hash + static_cast<std::uint64_t>(iteration_clock_)) % (2 * jitter + 1);
        const std::uint64_t tenure = static_cast<std::uint64_t>(base_tenure_) - jitter + offset;
        current_tenure_ = tenure > kMaxSize ? kMaxSize : static_cast<std::size_t>(tenure);
    }

    std::vector<std::size_t> chosen;
    for (std::size_t i = 0; i < selection.size(); ++i) {
        if (selection[i] != 0) chosen.push_back(i);
    }
    for (std::size_t i : chosen) frequency_[i] = saturating_increment(frequency_[i]);
    pair_counts_.add_all(chosen);
    for (std::size_t i : chosen) {
        if (cluster_ids[i]) {
            std::uint32_t& count = cluster_counts_[*cluster_ids[i]];
            count = saturating_increment(count);
        }
    }

    while (ring_.size() > max_entries_) ring_.pop_front();
}

double TabuMemory::frequency_penalty(double weight, std::size_t added) const {
    if (!(weight > 0.0)) return 0.0;
    return -(weight * static_cast<double>(frequency(added)));
}

void PairCounts::add_all(std::span<const std::size_t> chosen) {
    if (chosen.size() < 2) return;
    counted_ = true;
    if (!overflowed_) {
        std::size_t needed = slotted_.size();
        for (std::size_t i : chosen) needed += slot_[i] == 0 ? 1 : 0;
        if (needed > kDenseSlots) move_to_map();
    }
    if (overflowed_) {
        for (std::size_t a = 0; a < chosen.size(); ++a) {
            for (std::size_t b = a + 1; b < chosen.size(); ++b) {
                std::uint32_t& count = sparse_[PairKey{chosen[a], chosen[b]}];
                count = saturating_increment(count);
            }
        }
        return;
    }
    for (std::size_t i : chosen) {
        if (slot_[i] != 0) continue;
        slotted_.push_back(i);
        slot_[i] = static_cast<std::uint32_t>(slotted_.size());
    }
    if (slotted_.size() + 1 > stride_) grow(std::max(slotted_.size() + 1, 2 * stride_));
    for (std::size_t a = 0; a < chosen.size(); ++a) {
        const std::size_t sa = slot_[chosen[a]];
        for (std::size_t b = a + 1; b < chosen.size(); ++b) {
            const std::size_t sb = slot_[chosen[b]];
            const std::uint32_t count = saturating_increment(table_[sa * stride_ + sb]);
            table_[sa * stride_ + sb] = count;
            table_[sb * stride_ + sa] = count;
        }
    }
}

void PairCounts::grow(std::size_t stride) {
    std::vector<std::uint32_t> table(stride * stride, 0);
    for (std::size_t r = 0; r < stride_; ++r) {
        std::copy(table_.begin() + static_cast<std::ptrdiff_t>(r * stride_),
                  table_.begin() + static_cast<std::ptrdiff_t>((r + 1) * stride_),
                  table.begin() + static_cast<std::ptrdiff_t>(r * stride));
    }
    table_ = std::move(table);
    stride_ = stride;
}

void PairCounts::move_to_map() {
    for (std::size_t a = 0; a < slotted_.size(); ++a) {
        for (std::size_t b = a + 1; b < slotted_.size(); ++b) {
            const std::size_t i = slotted_[a];
            const std::size_t k = slotted_[b];
            const std::uint32_t count = table_[slot_[i] * stride_ + slot_[k]];
            if (count != 0) sparse_[PairKey{std::min(i, k), std::max(i, k)}] = count;
        }
    }
    for (std::size_t i : slotted_) slot_[i] = 0;
    slotted_.clear();
    table_.assign(1, 0);
    stride_ = 1;
    overflowed_ = true;
}

std::uint32_t PairCounts::get_sparse(std::size_t i, std::size_t k) const {
    const std::uint32_t* count = sparse_.find(PairKey{std::min(i, k), std::max(i, k)});
    return count == nullptr ? 0 : *count;
}

void PairCounts::clear() {
    for (std::size_t i : slotted_) slot_[i] = 0;
    slotted_.clear();
    table_.assign(1, 0);
    stride_ = 1;
    counted_ = false;
    overflowed_ = false;
    sparse_.clear();
}

std::uint32_t TabuMemory::cluster_count(std::size_t cluster) const {
    const std::uint32_t* count = cluster_counts_.find(cluster);
    return count == nullptr ? 0 : *count;
}

void TabuMemory::clear() {
    ring_.clear();
    iteration_clock_ = 0;
    std::fill(frequency_.begin(), frequency_.end(), 0u);
    pair_counts_.clear();
    cluster_counts_.clear();
}

// ---- NeighbourhoodScreen ----------------------------------------------------

NeighbourhoodScreen::NeighbourhoodScreen(const TabuMemory& memory, std::span<const std::uint8_t> selection,
                                         std::span<const std::optional<std::size_t>> cluster_ids)
    : memory_(memory), selection_(selection), cluster_ids_(cluster_ids) {
    TORVANE_CHECK(cluster_ids.size() >= selection.size(), "neighbourhood screen: cluster ids shorter than the selection");
    const std::size_t n = selection.size();
    const SelectionBits bits = pack_selection(selection);
    std::size_t selected = 0;
    for (std::uint64_t word : bits) selected += static_cast<std::size_t>(count_bits(word));
    chosen_.reserve(selected);
    for (std::size_t i = 0; i < n; ++i) {
        if (selection[i] != 0) chosen_.push_back(i);
    }

    // Active entries, newest first, with the overlap outcome of each kind of
    // move precomputed from the entry's overlap counts with the selection.
    // A swap removes a selected candidate r and adds an unselected one a:
    // |N & E| = |S & E| - [r in E] + [a in E] and
    // |N | E| = |S | E| - [r not in E] + [a not in E].
    const float threshold = memory.similarity_threshold();
    const bool test_overlap = threshold > 0.0f;
    const auto& ring = memory.entries();
    for (auto it = ring.rbegin(); it != ring.rend() && memory.is_active(*it); ++it) {
        ActiveEntry entry{it->added, it->removed, it->hash, it->selection.data(), {{false, false}, {false, false}},
                          {false, false}};
        TORVANE_CHECK(it->selection.size() == n && it->bits.size() == bits.size(),
                      "neighbourhood screen: a ring entry has another length than the selection");
        if (test_overlap) {
            std::int64_t both = 0;
            std::int64_t either = 0;
            for (std::size_t w = 0; w < bits.size(); ++w) {
                both += count_bits(bits[w] & it->bits[w]);
                either += count_bits(bits[w] | it->bits[w]);
            }
            for (int a = 0; a < 2; ++a) {
                entry.tabu_add[a] = overlap_reaches(both + a, either + (1 - a), threshold);
                for (int r = 0; r < 2; ++r) {
                    entry.tabu_swap[a][r] = overlap_reaches(both - r + a, either - (1 - r) + (1 - a), threshold);
                }
            }
            const auto& t = entry.tabu_swap;
            if (t[0][0] && t[0][1] && t[1][0] && t[1][1]) swaps_always_overlap_ = true;
            if (entry.tabu_add[0] && entry.tabu_add[1]) adds_always_overlap_ = true;
        }
        active_.push_back(entry);
    }

    // The selection's own penalty sums, as the memory penalty forms them.
    const std::size_t k = chosen_.size();
    chosen_slot_.reserve(k);
    chosen_frequency_.reserve(k);
    chosen_cluster_.reserve(k);
    for (std::size_t p = 0; p < k; ++p) {
        chosen_slot_.push_back(memory.pair_counts().slot(chosen_[p]));
        chosen_frequency_.push_back(memory.frequency(chosen_[p]));
        chosen_cluster_.push_back(memory.candidate_cluster_count(chosen_[p], cluster_ids));
        frequency_sum_ += chosen_frequency_[p];
        cluster_sum_ += chosen_cluster_[p];
    }
    if (memory.has_pair_counts()) {
        // The pair counts of each selected candidate with the nine after it,
        // looked up once: ahead(p, d) = pair_of(p, p + d), 0 past the end.
        std::vector<std::uint32_t> counts(k * 9, 0);
        for (std::size_t p = 0; p < k; ++p) {
            for (std::size_t d = 1; d <= 9 && p + d < k; ++d) counts[p * 9 + d - 1] = pair_of(p, p + d);
        }
        const auto ahead = [&counts](std::size_t p, std::size_t d) -> std::uint64_t { return counts[p * 9 + d - 1]; };
        for (std::size_t p = 0; p < k; ++p) {
            for (std::size_t d = 1; d <= 8; ++d) pair_sum_ += ahead(p, d);
        }
        // Taking out the candidate at p loses its pairs with its eight
        // neighbours on either side and brings the pairs nine apart across
        // it to distance eight.
        removal_change_.resize(k);
        for (std::size_t p = 0; p < k; ++p) {
            std::int64_t change = 0;
            for (std::size_t d = 1; d <= 8; ++d) {
                if (p >= d) change -= static_cast<std::int64_t>(ahead(p - d, d));
                change -= static_cast<std::int64_t>(ahead(p, d));
            }
            for (std::size_t x = p >= 8 ? p - 8 : 0; x < p; ++x) change += static_cast<std::int64_t>(ahead(x, 9));
            removal_change_[p] = change;
        }
        // The eight largest counts of pairs eight or nine apart, kept
        // descending in `largest`.
        std::uint64_t largest[8] = {};
        const auto keep = [&largest](std::uint64_t count) {
            for (std::uint64_t& slot : largest) {
                if (count > slot) std::swap(count, slot);
            }
        };
        for (std::size_t x = 0; x + 8 < k; ++x) {
            keep(ahead(x, 8));
            if (x + 9 < k) keep(ahead(x, 9));
        }
        for (std::uint64_t count : largest) straddle_bound_ += count;
    }
}

bool NeighbourhoodScreen::reverses_recent_move(std::size_t added, std::size_t removed) const {
    for (const ActiveEntry& entry : active_) {
        if (entry.removed == added && entry.added == removed) return true;
    }
    return false;
}

bool NeighbourhoodScreen::overlaps_recent_selection(std::size_t added, std::size_t removed) const {
    const bool swap = removed < selection_.size();
    if (swap ? swaps_always_overlap_ : adds_always_overlap_) return true;
    for (const ActiveEntry& entry : active_) {
        const int a = entry.selection[added] != 0 ? 1 : 0;
        if (swap) {
            if (entry.tabu_swap[a][entry.selection[removed] != 0 ? 1 : 0]) return true;
        } else if (entry.tabu_add[a]) {
            return true;
        }
    }
    return false;
}

bool NeighbourhoodScreen::repeats_recent_hash(std::size_t added, std::size_t removed) const {
    if (active_.empty()) return false;
    Selection neighbour(selection_.begin(), selection_.end());
    if (removed < neighbour.size()) neighbour[removed] = 0;
    neighbour[added] = 1;
    const std::uint64_t hash = selection_hash(neighbour);
    for (const ActiveEntry& entry : active_) {
        if (entry.hash == hash) return true;
    }
    return false;
}

// Putting the candidate in at its place gains its pairs with the eight
// neighbours on either side and pushes the pairs eight apart across it to
// nine.
std::int64_t NeighbourhoodScreen::insertion_pair_change(const Addition& addition, std::size_t skip) const {
    const std::size_t k = chosen_.size();
    const std::size_t size = skip < k ? k - 1 : k;
    // Positions in the list without the skipped candidate, as positions
    // of chosen_.
    const auto at = [&](std::size_t i) { return i < skip ? i : i + 1; };
    std::size_t place = addition.place;
    if (skip < place) --place;
    std::int64_t change = 0;
    for (std::size_t d = 1; d <= 8; ++d) {
        if (place >= d) change += pair_with(at(place - d), addition);
        if (place + d - 1 < size) change += pair_with(at(place + d - 1), addition);
    }
    for (std::size_t x = place >= 8 ? place - 8 : 0; x < place; ++x) {
        if (x + 8 < size) change -= pair_of(at(x), at(x + 8));
    }
    return change;
}

NeighbourhoodScreen::Addition NeighbourhoodScreen::addition(std::size_t added) const {
    Addition out{added, 0, 0, memory_.frequency(added), memory_.candidate_cluster_count(added, cluster_ids_),
                 memory_.pair_counts().slot(added)};
    out.place = static_cast<std::size_t>(std::lower_bound(chosen_.begin(), chosen_.end(), added) - chosen_.begin());
    if (memory_.has_pair_counts()) out.pair_change = insertion_pair_change(out, chosen_.size());
    return out;
}

double NeighbourhoodScreen::memory_penalty(std::size_t added, std::size_t removed) const {
    return memory_penalty(addition(added), removed);
}

// The insertion touches the pairs among the selected candidates at
// positions place - 8 .. place + 7. A removal outside them shifts them all
// alike, so the insertion changes the pair sum as it would without it.
double NeighbourhoodScreen::memory_penalty(const Addition& addition, std::size_t removed) const {
    return penalty_at(addition, removal_position(removed));
}

std::size_t NeighbourhoodScreen::removal_position(std::size_t removed) const {
    if (removed >= selection_.size()) return chosen_.size();
    const std::size_t position =
        static_cast<std::size_t>(std::lower_bound(chosen_.begin(), chosen_.end(), removed) - chosen_.begin());
    TORVANE_CHECK(position < chosen_.size() && chosen_[position] == removed,
                  "neighbourhood screen: the removed candidate is not selected");
    return position;
}

double NeighbourhoodScreen::penalty_floor(std::size_t skip) const {
    TORVANE_CHECK(skip <= chosen_.size(), "neighbourhood screen: a removal position past the selected candidates");
    const bool swap = skip < chosen_.size();
    std::uint64_t frequencies = frequency_sum_;
    std::uint64_t clusters = cluster_sum_;
    std::int64_t pairs = static_cast<std::int64_t>(pair_sum_);
    if (swap) {
        frequencies -= chosen_frequency_[skip];
        clusters -= chosen_cluster_[skip];
    }
    if (memory_.has_pair_counts()) {
        if (swap) pairs += removal_change_[skip];
        pairs -= static_cast<std::int64_t>(straddle_bound_);
        // Every neighbour's pair sum counts pairs, so it is never negative.
        if (pairs < 0) pairs = 0;
    }
    return 0.004 * static_cast<double>(clusters) + 0.005 * static_cast<double>(frequencies) +
           0.003 * static_cast<double>(static_cast<std::uint64_t>(pairs));
}

double NeighbourhoodScreen::penalty_at(const Addition& addition, std::size_t skip) const {
    TORVANE_CHECK(skip <= chosen_.size(), "neighbourhood screen: a removal position past the selected candidates");
    const bool swap = skip < chosen_.size();
    std::uint64_t frequencies = frequency_sum_ + addition.frequency;
    std::uint64_t clusters = cluster_sum_ + addition.cluster;
    std::int64_t pairs = static_cast<std::int64_t>(pair_sum_);
    if (swap) {
        frequencies -= chosen_frequency_[skip];
        clusters -= chosen_cluster_[skip];
    }
    if (memory_.has_pair_counts()) {
        const std::size_t place = addition.place;
        const bool touches = swap && skip + 8 >= place && skip < place + 8;
        if (swap) pairs += removal_change_[skip];
        pairs += touches ? insertion_pair_change(addition, skip) : addition.pair_change;
    }
    return 0.004 * static_cast<double>(clusters) + 0.005 * static_cast<double>(frequencies) +
           0.003 * static_cast<double>(static_cast<std::uint64_t>(pairs));
}

}  // namespace torvane
