#pragma once
// Repeated text between chunks: word shingles found at any offset.
//
// Words are the runs of ASCII letters, digits, underscores and bytes of 0x80
// and above (so every non-ASCII UTF-8 character) of a text, with ASCII letters
// lowered; every other byte separates words. A shingle is `size` consecutive
// words, hashed with 64-bit FNV-1a: each word's bytes first, then the word
// hashes in order. A text with fewer words than `size` has one shingle (all
// its words), a text without words none.
//
// The similarity of two texts is the share of their distinct shingles they
// have in common: |A n B| / min(|A|, |B|) (containment: 1 when one text
// repeats the other in full, wherever it sits in it) or |A n B| / |A u B|
// (Jaccard). Texts without a common shingle score 0, and so does the diagonal.
// The work is one hash lookup per shingle plus one step per pair of texts
// sharing a shingle, not a comparison of every pair of texts.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

namespace torvane::text {

enum class Overlap { Containment, Jaccard };

// The distinct shingle hashes of `text`, ascending. `size` must be at least 1.
std::vector<std::uint64_t> shingle_hashes(std::string_view text, std::size_t size);

// The n x n similarity of `texts` (n = texts.size()) into `out`, row-major;
// out.size() must be n * n.
void shingle_similarity(std::span<const std::string_view> texts, std::size_t size, Overlap measure,
                        std::span<float> out);

}  // namespace torvane::text
