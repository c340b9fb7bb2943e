"""Reproducible retrieval-like selection problems shared by the benchmarks."""
from __future__ import annotations

import numpy as np

F32 = np.float32


def retrieval_problem(n: int, dim: int = 64, tokens: int = 8, topics: int = 10, seed: int = 0) -> dict:
    """Clustered chunk embeddings, a query, per-token coverage and scores.

    Returns keyword arrays for ``TabuSearchSolver.solve_precomputed_numpy`` (with the
    similarity matrix and coverage given) plus ``query_embedding``.
    """
    rng = np.random.default_rng(seed)
    centres = rng.standard_normal((topics, dim))
    topic = rng.integers(topics, size=n)
    emb = centres[topic] + 0.8 * rng.standard_normal((n, dim))
    query = centres[0] + centres[1] + 0.5 * rng.standard_normal(dim)
    unit = emb / np.linalg.norm(emb, axis=1, keepdims=True)
    q = query / np.linalg.norm(query)
    relevance = np.clip(unit @ q, 0.0, None)
    # Query tokens: directions near the query; coverage is a squashed cosine.
    token_dirs = q + 0.9 * rng.standard_normal((tokens, dim)) / np.sqrt(dim)
    token_dirs /= np.linalg.norm(token_dirs, axis=1, keepdims=True)
    coverage = np.clip((unit @ token_dirs.T).T * 1.6, 0.0, 1.0)
    roles = rng.integers(0, 8, n)
    roles[: min(n, 8)] = rng.permutation(8)[: min(n, 8)]  # every role occurs when n >= 8
    return dict(
        embeddings=emb.astype(F32),
        token_costs=rng.integers(50, 401, n).astype(np.uint64),
        density_scores=rng.random(n).astype(F32),
        centrality_scores=rng.random(n).astype(F32),
        recency_scores=rng.random(n).astype(F32),
        auxiliary_scores=np.zeros(n, F32),
        roles=roles.astype(np.uint8),
        cluster_ids=topic.astype(np.int64),
        relevance_scores=relevance.astype(F32),
        similarity_matrix=(unit @ unit.T).astype(F32),
        coverage_matrix=coverage.astype(F32),
        query_embedding=query.astype(F32),
    )


# The required roles of the realistic problems, by name and by code.
REALISTIC_ROLES = ("definition", "risk")
REALISTIC_ROLE_CODES = (0, 4)


def realistic_problem(n: int, seed: int) -> tuple[dict, dict]:
    """A selection problem as users pose it: dim-384 embeddings around 10 topic centres,
    relevance = cosine to a query near two topics (clipped at 0), the cosine matrix given,
    no coverage matrix, token costs 50-400, a budget of 2000 tokens (n <= 50) or 4000,
    at most 3 per cluster and two required roles.

    Returns keyword arrays for ``solve_precomputed_numpy`` and the constraint values.
    """
    arrays = retrieval_problem(n, dim=384, seed=seed)
    del arrays["coverage_matrix"], arrays["query_embedding"]
    constraints = dict(max_tokens=2000 if n <= 50 else 4000, min_chunks=1, max_chunks=50, max_per_cluster=3,
                       role_codes=list(REALISTIC_ROLE_CODES))
    return arrays, constraints
