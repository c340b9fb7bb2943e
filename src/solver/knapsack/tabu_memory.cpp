#include "solver/knapsack/tabu_memory.hpp"

#include <algorithm>
#include <array>
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

// Jaccard overlap of the set bytes over the common length, in single
// precision; two selections with no set byte in common range overlap fully.
float jaccard(std::span<const std::uint8_t> a, std::span<const std::uint8_t> b) {
    const std::size_t common = std::min(a.size(), b.size());
    std::size_t both = 0;
    std::size_t either = 0;
    for (std::size_t i = 0; i < common; ++i) {
        const bool in_a = a[i] != 0;
        const bool in_b = b[i] != 0;
        both += static_cast<std::size_t>(in_a && in_b);
        either += static_cast<std::size_t>(in_a || in_b);
    }
    if (either == 0) return 1.0f;
    return static_cast<float>(both) / static_cast<float>(either);
}

}  // namespace

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

std::size_t TabuMemory::PairKeyHash::operator()(const PairKey& key) const {
    // splitmix64 finaliser over both indices; only lookups depend on it.
    std::uint64_t x = static_cast<std::uint64_t>(key.low) * 0x9E3779B97F4A7C15ULL ^ static_cast<std::uint64_t>(key.high);
    x ^= x >> 30;
    x *= 0xBF58476D1CE4E5B9ULL;
    x ^= x >> 27;
    x *= 0x94D049BB133111EBULL;
    x ^= x >> 31;
    return static_cast<std::size_t>(x);
}

TabuMemory::TabuMemory(std::size_t tenure, std::size_t candidate_count, float similarity_threshold)
    : max_entries_(saturating_triple(tenure)),
      base_tenure_(tenure),
      current_tenure_(tenure),
      similarity_threshold_(similarity_threshold),
      frequency_(candidate_count, 0) {}

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
    ring_.push_back(TabuEntry{added, removed, hash, iteration_clock_, Selection(selection.begin(), selection.end())});

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
    for (std::size_t a = 0; a < chosen.size(); ++a) {
        for (std::size_t b = a + 1; b < chosen.size(); ++b) {
            std::uint32_t& count = pair_counts_[PairKey{chosen[a], chosen[b]}];
            count = saturating_increment(count);
        }
    }
    for (std::size_t i : chosen) {
        if (cluster_ids[i]) {
            std::uint32_t& count = cluster_counts_[*cluster_ids[i]];
            count = saturating_increment(count);
        }
    }

    while (ring_.size() > max_entries_) ring_.pop_front();
}

bool TabuMemory::is_tabu(std::size_t added, std::size_t removed, std::span<const std::uint8_t> candidate,
                         std::uint64_t candidate_hash) const {
    // A move that undoes a recent move.
    for (auto it = ring_.rbegin(); it != ring_.rend() && is_active(*it); ++it) {
        if (it->removed == added && it->added == removed) return true;
    }
    // A selection visited recently, or one too close to it.
    const bool test_overlap = similarity_threshold_ > 0.0f;
    for (auto it = ring_.rbegin(); it != ring_.rend() && is_active(*it); ++it) {
        if (it->hash == candidate_hash) return true;
        if (test_overlap && jaccard(candidate, it->selection) >= similarity_threshold_) return true;
    }
    return false;
}

double TabuMemory::memory_penalty(std::span<const std::uint8_t> selection,
                                  std::span<const std::optional<std::size_t>> cluster_ids) const {
    TORVANE_CHECK(cluster_ids.size() >= selection.size(), "memory_penalty: cluster ids shorter than the selection");

    // Integer sums are exact, so the order of the additions does not matter.
    std::uint64_t frequencies = 0;
    std::uint64_t clusters = 0;
    std::uint64_t pairs = 0;
    // Each selected index pairs with the up to eight selected indices before
    // it, which counts every pair (i, k) with k among the next eight after i.
    constexpr std::size_t kWindow = 8;
    std::array<std::size_t, kWindow> previous{};
    std::size_t seen = 0;
    const bool any_cluster = !cluster_counts_.empty();
    const bool any_pair = !pair_counts_.empty();
    for (std::size_t k = 0; k < selection.size(); ++k) {
        if (selection[k] == 0) continue;
        frequencies += frequency(k);
        if (any_cluster && cluster_ids[k]) clusters += cluster_count(*cluster_ids[k]);
        if (any_pair) {
            const std::size_t window = std::min(seen, kWindow);
            for (std::size_t w = 0; w < window; ++w) pairs += pair_count(previous[w], k);
        }
        previous[seen % kWindow] = k;
        ++seen;
    }
    if (seen == 0) return 0.0;
    return 0.004 * static_cast<double>(clusters) + 0.005 * static_cast<double>(frequencies) +
           0.003 * static_cast<double>(pairs);
}

double TabuMemory::frequency_penalty(double weight, std::size_t added) const {
    if (!(weight > 0.0)) return 0.0;
    return -(weight * static_cast<double>(frequency(added)));
}

std::uint32_t TabuMemory::pair_count(std::size_t i, std::size_t k) const {
    const auto it = pair_counts_.find(PairKey{std::min(i, k), std::max(i, k)});
    return it == pair_counts_.end() ? 0 : it->second;
}

std::uint32_t TabuMemory::cluster_count(std::size_t cluster) const {
    const auto it = cluster_counts_.find(cluster);
    return it == cluster_counts_.end() ? 0 : it->second;
}

void TabuMemory::clear() {
    ring_.clear();
    iteration_clock_ = 0;
    std::fill(frequency_.begin(), frequency_.end(), 0u);
    pair_counts_.clear();
    cluster_counts_.clear();
}

}  // namespace torvane
