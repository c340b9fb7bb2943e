#pragma once
// The tabu test and the memory penalty of one whole selection, written
// literally from the memory's ring and counts. The search answers both for
// every neighbour of its selection at once (NeighbourhoodScreen); the tests
// hold its answers against these.

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "common/fault.hpp"
#include "solver/search/tabu_memory.hpp"

namespace torvane::reference {

// Jaccard overlap of the set bytes over the common length, in single
// precision; two selections with no set byte in common range overlap fully.
inline float jaccard(std::span<const std::uint8_t> a, std::span<const std::uint8_t> b) {
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

// Whether the move (added, removed) leading to `candidate`, whose
// selection_hash is `candidate_hash`, is tabu. Only active entries count,
// scanned from the newest; the scan stops at the first inactive one.
inline bool is_tabu(const TabuMemory& memory, std::size_t added, std::size_t removed,
                    std::span<const std::uint8_t> candidate, std::uint64_t candidate_hash) {
    const auto& ring = memory.entries();
    // A move that undoes a recent move.
    for (auto it = ring.rbegin(); it != ring.rend() && memory.is_active(*it); ++it) {
        if (it->removed == added && it->added == removed) return true;
    }
    // A selection visited recently, or one too close to it.
    const float threshold = memory.similarity_threshold();
    const bool test_overlap = threshold > 0.0f;
    for (auto it = ring.rbegin(); it != ring.rend() && memory.is_active(*it); ++it) {
        if (it->hash == candidate_hash) return true;
        if (test_overlap && jaccard(candidate, it->selection) >= threshold) return true;
    }
    return false;
}

// Diversification penalty of a selection from the long-term counts:
// 0.004 x cluster counts + 0.005 x frequencies + 0.003 x pair counts of
// each selected candidate with the next (up to) eight selected ones.
// `cluster_ids` must cover every selected index.
inline double memory_penalty(const TabuMemory& memory, std::span<const std::uint8_t> selection,
                             std::span<const std::optional<std::size_t>> cluster_ids) {
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
    const bool any_pair = memory.has_pair_counts();
    for (std::size_t k = 0; k < selection.size(); ++k) {
        if (selection[k] == 0) continue;
        frequencies += memory.frequency(k);
        clusters += memory.candidate_cluster_count(k, cluster_ids);
        if (any_pair) {
            const std::size_t window = std::min(seen, kWindow);
            for (std::size_t w = 0; w < window; ++w) pairs += memory.pair_count(previous[w], k);
        }
        previous[seen % kWindow] = k;
        ++seen;
    }
    if (seen == 0) return 0.0;
    return 0.004 * static_cast<double>(clusters) + 0.005 * static_cast<double>(frequencies) +
           0.003 * static_cast<double>(pairs);
}

}  // namespace torvane::reference
