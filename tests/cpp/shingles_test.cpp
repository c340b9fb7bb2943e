#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "text/shingles/shingles.hpp"

namespace {

using torvane::text::Overlap;
using torvane::text::shingle_hashes;

std::vector<float> similarity(const std::vector<std::string>& texts, Overlap measure, std::size_t size = 5) {
    std::vector<std::string_view> views(texts.begin(), texts.end());
    std::vector<float> out(texts.size() * texts.size(), -1.0f);
    torvane::text::shingle_similarity(views, size, measure, out);
    return out;
}

TEST(Shingles, HashesArePinnedFnv1aOfLoweredWords) {
    // FNV-1a 64 of "a" is 0xaf63dc4c8601ec8c; a one-word text has the one
    // shingle (offset ^ word) * prime.
    const std::uint64_t word = 0xaf63dc4c8601ec8cULL;
    const std::uint64_t expected = (0xCBF29CE484222325ULL ^ word) * 0x100000001B3ULL;
    EXPECT_EQ(shingle_hashes("A", 5), std::vector<std::uint64_t>{expected});
    EXPECT_EQ(shingle_hashes("  ...a!! ", 5), std::vector<std::uint64_t>{expected});
    EXPECT_TRUE(shingle_hashes("", 5).empty());
    EXPECT_TRUE(shingle_hashes(" ,;.!? ", 5).empty());
    // Letter case and punctuation do not matter; non-ASCII bytes are part of words.
    EXPECT_EQ(shingle_hashes("The Quick, brown FOX jumps over", 3), shingle_hashes("the quick brown fox jumps over", 3));
    EXPECT_NE(shingle_hashes("caf\xc3\xa9 au lait", 2), shingle_hashes("caf au lait", 2));
    // Six words give two distinct 5-word shingles; a repeat adds none.
    EXPECT_EQ(shingle_hashes("one two three four five six", 5).size(), 2u);
    EXPECT_EQ(shingle_hashes("a b c a b c a b c", 3).size(), 3u);
}

TEST(Shingles, RepeatedTextIsFoundAtAnyOffset) {
    const std::string passage = "the with statement is used to wrap the execution of a block with methods";
    const std::vector<std::string> texts = {
        passage,
        "some words before it. " + passage + " and some words after it",
        "an unrelated sentence about floating point literals and their exponents in source",
        "",
    };
    const std::vector<float> c = similarity(texts, Overlap::Containment);
    EXPECT_EQ(c[0 * 4 + 1], 1.0f);
    EXPECT_EQ(c[1 * 4 + 0], 1.0f);
    for (std::size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(c[i * 4 + i], 0.0f);
        EXPECT_EQ(c[i * 4 + 2], 0.0f);
        EXPECT_EQ(c[i * 4 + 3], 0.0f);
    }
    const std::vector<float> j = similarity(texts, Overlap::Jaccard);
    const std::size_t a = shingle_hashes(texts[0], 5).size();
    const std::size_t b = shingle_hashes(texts[1], 5).size();
    EXPECT_EQ(j[1], static_cast<float>(static_cast<double>(a) / static_cast<double>(b)));
    EXPECT_EQ(j[1], j[4]);
}

TEST(Shingles, PartialOverlapCountsSharedShingles) {
    // Windows of 8 words with a stride of 4 share 4 words: one 4-word shingle
    // (of five each).
    const std::vector<std::string> texts = {"w1 w2 w3 w4 w5 w6 w7 w8", "w5 w6 w7 w8 w9 w10 w11 w12"};
    const std::vector<float> c = similarity(texts, Overlap::Containment, 4);
    EXPECT_EQ(c[1], static_cast<float>(1.0 / 5.0));
    const std::vector<float> j = similarity(texts, Overlap::Jaccard, 4);
    EXPECT_EQ(j[1], static_cast<float>(1.0 / 9.0));
}

TEST(Shingles, EmptyAndSingleInputs) {
    EXPECT_TRUE(similarity({}, Overlap::Containment).empty());
    EXPECT_EQ(similarity({"just one text here"}, Overlap::Containment), std::vector<float>{0.0f});
}

}  // namespace
