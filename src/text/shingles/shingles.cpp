#include "text/shingles/shingles.hpp"

#include <algorithm>
#include <array>

#include "common/fault.hpp"
#include "common/flat_map.hpp"

namespace torvane::text {

namespace {

constexpr std::uint64_t kOffset = 0xCBF29CE484222325ULL;
constexpr std::uint64_t kPrime = 0x100000001B3ULL;

// Each byte's value inside a word (ASCII letters lowered), or 0 for a byte
// that separates words.
constexpr std::array<unsigned char, 256> kWordByte = [] {
    std::array<unsigned char, 256> table{};
    for (unsigned c = 0; c < 256; ++c) {
        const bool word = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' ||
                          c >= 0x80;
        table[c] = static_cast<unsigned char>(!word ? 0u : (c >= 'A' && c <= 'Z') ? c - 'A' + 'a' : c);
    }
    return table;
}();

// Appends the hash of every word of `text` to `words`.
void append_word_hashes(std::string_view text, std::vector<std::uint64_t>& words) {
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const auto* const end = p + text.size();
    while (p < end) {
        unsigned char c = kWordByte[*p++];
        if (c == 0) continue;
        std::uint64_t h = kOffset;
        do {
            h = (h ^ c) * kPrime;
        } while (p < end && (c = kWordByte[*p++]) != 0);
        words.push_back(h);
    }
}

// Calls f(hash) for every shingle of the words, in order (repeats included).
template <class F>
void for_each_shingle(std::span<const std::uint64_t> words, std::size_t size, F&& f) {
    if (words.empty()) return;
    const std::size_t width = std::min(size, words.size());
    for (std::size_t start = 0; start + width <= words.size(); ++start) {
        std::uint64_t h = kOffset;
        for (std::size_t k = 0; k < width; ++k) h = (h ^ words[start + k]) * kPrime;
        f(h);
    }
}

}  // namespace

std::vector<std::uint64_t> shingle_hashes(std::string_view text, std::size_t size) {
    TORVANE_CHECK(size >= 1, "shingle size must be at least 1");
    std::vector<std::uint64_t> words;
    append_word_hashes(text, words);
    std::vector<std::uint64_t> out;
    for_each_shingle(words, size, [&](std::uint64_t h) { out.push_back(h); });
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
    TORVANE_CHECK(size >= 1, "shingle size must be at least 1");
    std::vector<std::uint64_t> words;
    std::vector<std::size_t> first_word(n + 1, 0);
    for (std::size_t i = 0; i < n; ++i) {
        append_word_hashes(texts[i], words);
        first_word[i + 1] = words.size();
    }
    constexpr std::uint32_t kNone = 0xFFFFFFFFu;
    TORVANE_CHECK(words.size() + n < kNone, "too many words");
    // The shingles of all texts in text order, then split into 256 buckets by
    // their top bits (keeping that order), so that the duplicate search of a
    // bucket works in a table small enough for the cache.
    std::vector<std::uint64_t> hashes;
    std::vector<std::uint32_t> owners;
    hashes.reserve(words.size() + n);
    owners.reserve(words.size() + n);
    for (std::size_t i = 0; i < n; ++i) {
        const std::span<const std::uint64_t> own(words.data() + first_word[i], first_word[i + 1] - first_word[i]);
        for_each_shingle(own, size, [&](std::uint64_t h) {
            hashes.push_back(h);
            owners.push_back(static_cast<std::uint32_t>(i));
        });
    }
    constexpr std::size_t kBuckets = 256;
    const std::size_t m = hashes.size();
    std::vector<std::size_t> bucket_start(kBuckets + 1, 0);
    for (std::uint64_t h : hashes) ++bucket_start[(h >> 56) + 1];
    for (std::size_t b = 0; b < kBuckets; ++b) bucket_start[b + 1] += bucket_start[b];
    std::vector<std::uint64_t> bucket_hash(m);
    std::vector<std::uint32_t> bucket_owner(m);
    {
        std::vector<std::size_t> fill(bucket_start.begin(), bucket_start.end() - 1);
        for (std::size_t k = 0; k < m; ++k) {
            const std::size_t at = fill[hashes[k] >> 56]++;
            bucket_hash[at] = hashes[k];
            bucket_owner[at] = owners[k];
        }
    }
    // Within a bucket: `head` maps a shingle to its newest entry, `previous`
    // links an entry to the one before it of the same shingle. A new holder
    // is counted against each earlier one, so the work is the shingles plus
    // the shared pairs, never all pairs of texts; a shingle whose newest
    // holder is the text itself is a repeat within the text and counts once.
    // Entries keep text order, so every earlier holder is an earlier text:
    // the counts fill the upper triangle only (row j < column text).
    std::vector<std::size_t> sizes(n, 0);
    std::vector<std::uint32_t> previous(m, kNone);
    std::vector<std::uint32_t> head;
    std::vector<std::uint32_t> shared(capacity_mul(n, n, "similarity matrix"), 0);
    for (std::size_t b = 0; b < kBuckets; ++b) {
        const std::size_t begin = bucket_start[b], end = bucket_start[b + 1];
        std::size_t capacity = 16;
        while (capacity < 2 * (end - begin)) capacity *= 2;
        head.assign(capacity, kNone);
        for (std::size_t k = begin; k < end; ++k) {
            const std::uint64_t h = bucket_hash[k];
            const std::uint32_t text = bucket_owner[k];
            std::size_t slot = static_cast<std::size_t>(mix64(h)) & (capacity - 1);
            while (head[slot] != kNone && bucket_hash[head[slot]] != h) slot = (slot + 1) & (capacity - 1);
            const std::uint32_t before = head[slot];
            if (before != kNone && bucket_owner[before] == text) continue;
            previous[k] = before;
            head[slot] = static_cast<std::uint32_t>(k);
            ++sizes[text];
            for (std::uint32_t e = before; e != kNone; e = previous[e]) {
                ++shared[static_cast<std::size_t>(bucket_owner[e]) * n + text];
            }
        }
    }
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t j = i + 1; j < n; ++j) {
            const std::size_t common = shared[i * n + j];
            if (common == 0) continue;
            const std::size_t denom = measure == Overlap::Containment ? std::min(sizes[i], sizes[j])
                                                                       : sizes[i] + sizes[j] - common;
            const float value = static_cast<float>(static_cast<double>(common) / static_cast<double>(denom));
            out[i * n + j] = value;
            out[j * n + i] = value;
        }
    }
}

}  // namespace torvane::text
