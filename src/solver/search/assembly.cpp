#include "solver/search/assembly.hpp"

#include <algorithm>
#include <cmath>

#include "common/fault.hpp"

namespace torvane {

float cosine_relevance(const float* embedding, std::size_t embedding_len, const float* query, std::size_t query_len) {
    const std::size_t common = std::min(embedding_len, query_len);
    float dot = 0.0f;
    for (std::size_t k = 0; k < common; ++k) dot += embedding[k] * query[k];
    float norm_e = 0.0f;
    for (std::size_t k = 0; k < embedding_len; ++k) norm_e += embedding[k] * embedding[k];
    float norm_q = 0.0f;
    for (std::size_t k = 0; k < query_len; ++k) norm_q += query[k] * query[k];
    if (norm_e > 0.0f && norm_q > 0.0f) return dot / (std::sqrt(norm_e) * std::sqrt(norm_q));
    return 0.0f;
}

std::string default_chunk_id(std::size_t index) { return "chunk_" + std::to_string(index); }

// cosine_relevance of every candidate. Its three sums are plain sequential
// sums, each one long chain of dependent additions; the query's own sum is
// the same for every candidate and is formed once, and four candidates are
// worked on side by side so that their chains overlap. Every sum keeps its
// additions and their order, so each relevance has cosine_relevance's bits.
void compute_relevance(ProblemInstance& problem) {
    const std::size_t n = problem.n;
    const std::size_t dim = problem.dim;
    TORVANE_CHECK(problem.embeddings.size() >= n * dim, "embeddings shorter than n x dim");
    problem.relevance.resize(n);
    const float* query = problem.query_embedding.data();
    const std::size_t query_len = problem.query_embedding.size();
    const std::size_t common = std::min(dim, query_len);
    float norm_q = 0.0f;
    for (std::size_t k = 0; k < query_len; ++k) norm_q += query[k] * query[k];
    const auto finish = [&](float dot, float norm_e) {
        if (norm_e > 0.0f && norm_q > 0.0f) return dot / (std::sqrt(norm_e) * std::sqrt(norm_q));
        return 0.0f;
    };
    std::size_t i = 0;
    for (; n - i >= 4; i += 4) {
        const float* e[4] = {problem.embeddings.data() + i * dim, problem.embeddings.data() + (i + 1) * dim,
                             problem.embeddings.data() + (i + 2) * dim, problem.embeddings.data() + (i + 3) * dim};
        float dot[4] = {0.0f, 0.0f, 0.0f, 0.0f};
        float norm[4] = {0.0f, 0.0f, 0.0f, 0.0f};
        for (std::size_t k = 0; k < common; ++k) {
            for (int c = 0; c < 4; ++c) dot[c] += e[c][k] * query[k];
        }
        for (std::size_t k = 0; k < dim; ++k) {
            for (int c = 0; c < 4; ++c) norm[c] += e[c][k] * e[c][k];
        }
        for (int c = 0; c < 4; ++c) problem.relevance[i + c] = finish(dot[c], norm[c]);
    }
    for (; i < n; ++i) {
        problem.relevance[i] = cosine_relevance(problem.embeddings.data() + i * dim, dim, query, query_len);
    }
}

ProblemInstance assemble_from_chunks(std::vector<ChunkRecord>&& chunks, std::vector<float>&& query) {
    ProblemInstance problem;
    const std::size_t n = chunks.size();
    problem.n = n;
    problem.dim = n > 0 ? chunks[0].embedding.size() : 0;
    problem.num_query_tokens = 0;
    problem.query_embedding = std::move(query);

    problem.embeddings.reserve(n * problem.dim);
    problem.density.reserve(n);
    problem.centrality.reserve(n);
    problem.recency.reserve(n);
    problem.auxiliary.reserve(n);
    problem.token_costs.reserve(n);
    problem.roles.reserve(n);
    problem.cluster_ids.reserve(n);
    problem.chunk_ids.reserve(n);
    for (ChunkRecord& chunk : chunks) {
        TORVANE_CHECK(chunk.embedding.size() == problem.dim, "chunk embeddings differ in length");
        problem.embeddings.insert(problem.embeddings.end(), chunk.embedding.begin(), chunk.embedding.end());
        problem.density.push_back(chunk.fact_density);
        problem.centrality.push_back(chunk.centrality_score);
        problem.recency.push_back(chunk.recency_score);
        problem.auxiliary.push_back(chunk.auxiliary_score);
        problem.token_costs.push_back(chunk.token_count);
        problem.roles.push_back(chunk.role);
        problem.cluster_ids.push_back(chunk.cluster_id);
        problem.chunk_ids.push_back(std::move(chunk.chunk_id));
        std::vector<float>().swap(chunk.embedding);  // release as we go
    }
    problem.fulfilment.assign(n, 0.0f);
    compute_relevance(problem);
    return problem;
}

}  // namespace torvane
