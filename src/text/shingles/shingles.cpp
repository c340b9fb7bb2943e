#include "text/shingles/shingles.hpp"

#include <algorithm>
#include <utility>

#include "common/fault.hpp"

namespace torvane::text {

namespace {

constexpr std::uint64_t kOffset = 0xCBF29CE484222325ULL;
constexpr std::uint64_t kPrime = 0x100000001B3ULL;

bool word_byte(unsigned char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || c >= 0x80;
}

std::vector<std::uint64_t> word_hashes(std::string_view text) {
    std::vector<std::uint64_t> words;
    std::size_t i = 0;
    while (i < text.size()) {
        if (!word_byte(static_cast<unsigned char>(text[i]))) {
            ++i;
            continue;
        }
        std::uint64_t h = kOffset;
        while (i < text.size() && word_byte(static_cast<unsigned char>(text[i]))) {
            unsigned char c = static_cast<unsigned char>(text[i]);
            if (c >= 'A' && c <= 'Z') c = static_cast<unsigned char>(c - 'A' + 'a');
            h = (h ^ c) * kPrime;
            ++i;
        }
        words.push_back(h);
    }
    return words;
}

}  // namespace

std::vector<std::uint64_t> shingle_hashes(std::string_view text, std::size_t size) {
    TORVANE_CHECK(size >= 1, "shingle size must be at least 1");
    const std::vector<std::uint64_t> words = word_hashes(text);
    std::vector<std::uint64_t> out;
    if (words.empty()) return out;
    const std::size_t width = std::min(size, words.size());
    const std::size_t count = words.size() - width + 1;
    out.reserve(count);
    for (std::size_t start = 0; start < count; ++start) {
        std::uint64_t h = kOffset;
        for (std::size_t k = 0; k < width; ++k) h = (h ^ words[start + k]) * kPrime;
        out.push_back(h);
    }
    std::sort(out.begin(), out.end());
    out.erase(std::unique(out.begin(), out.end()), out.end());
    return out;
}

void shingle_similarity(std::span<const std::string_view> texts, std::size_t size, Overlap measure,
                        std::span<float> out) {
    const std::size_t n = texts.size();
    TORVANE_CHECK(out.size() == capacity_mul(n, n, "similarity matrix"), "similarity output has the wrong size");
    TORVANE_CHECK(n <= 0xFFFFFFFFu, "too many texts");
    std::fill(out.begin(), out.end(), 0.0f);
    if (n < 2) return;
    // (hash, owner) of every distinct shingle of every text; equal hashes end
    // up next to each other, owners ascending within a run.
    std::vector<std::pair<std::uint64_t, std::uint32_t>> all;
    std::vector<std::size_t> sizes(n);
    for (std::size_t i = 0; i < n; ++i) {
        const std::vector<std::uint64_t> own = shingle_hashes(texts[i], size);
        sizes[i] = own.size();
        for (std::uint64_t h : own) all.emplace_back(h, static_cast<std::uint32_t>(i));
    }
    std::sort(all.begin(), all.end());
    std::vector<std::uint32_t> shared(n * n, 0);
    for (std::size_t start = 0; start < all.size();) {
        std::size_t end = start + 1;
        while (end < all.size() && all[end].first == all[start].first) ++end;
        for (std::size_t a = start; a < end; ++a) {
            for (std::size_t b = a + 1; b < end; ++b) {
                const std::size_t i = all[a].second, j = all[b].second;
                ++shared[i * n + j];
                ++shared[j * n + i];
            }
        }
        start = end;
    }
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t j = 0; j < n; ++j) {
            const std::size_t common = shared[i * n + j];
            if (i == j || common == 0) continue;
            const std::size_t denom = measure == Overlap::Containment ? std::min(sizes[i], sizes[j])
                                                                       : sizes[i] + sizes[j] - common;
            out[i * n + j] = static_cast<float>(static_cast<double>(common) / static_cast<double>(denom));
        }
    }
}

}  // namespace torvane::text
