#pragma once
// Assembly of a problem from chunk records, and the cosine relevance of a
// chunk to the query.

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "common/roles.hpp"
#include "solver/model/problem.hpp"

namespace torvane {

// One candidate as read from a chunk dictionary, with its defaults.
struct ChunkRecord {
    std::string chunk_id;
    std::string content;
    std::vector<float> embedding;
    std::size_t token_count = 100;
    float fact_density = 0.5f;
    float centrality_score = 0.5f;
    float recency_score = 0.5f;
    float auxiliary_score = 0.0f;
    RhetoricalRole role = RhetoricalRole::Unknown;
    std::optional<std::size_t> cluster_id;
};

// Cosine of an embedding with the query in single precision: the dot runs
// over the common prefix, the norms over each whole vector; 0 when either
// norm is not positive.
float cosine_relevance(const float* embedding, std::size_t embedding_len, const float* query, std::size_t query_len);

// The problem of a chunk-list solve: rows in list order, relevance from the
// query, no fulfilment, coverage or similarity. All embeddings must have the
// first one's length.
ProblemInstance assemble_from_chunks(std::vector<ChunkRecord>&& chunks, std::vector<float>&& query);

// Relevance of every row of the problem's embeddings against its query.
void compute_relevance(ProblemInstance& problem);

// "chunk_0", "chunk_1", ...: the ids of candidates that come without one.
std::string default_chunk_id(std::size_t index);

}  // namespace torvane
