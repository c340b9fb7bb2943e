"""Solve a batch of independent queries with a thread pool.

Each solve copies its inputs and releases the interpreter lock while it works, so threads
in one process scale a selection service across cores (and processes scale it across
machines). Run with:  python examples/batch_queries.py
"""
from __future__ import annotations

import os
import time
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import numpy.typing as npt

import torvane_solver as ts

F32 = np.float32


def make_query(seed: int, n: int = 500, dim: int = 128) -> dict[str, npt.NDArray[np.generic]]:
    """The candidate arrays of one query, made reproducibly from `seed`."""
    rng = np.random.default_rng(seed)
    centres = rng.standard_normal((16, dim))
    topic = rng.integers(16, size=n)
    return {
        "embeddings": (centres[topic] + 0.7 * rng.standard_normal((n, dim))).astype(F32),
        "query_embedding": (centres[0] + centres[5]).astype(F32),
        "token_costs": rng.integers(50, 400, n).astype(np.uint64),
        "density_scores": rng.random(n).astype(F32),
        "centrality_scores": rng.random(n).astype(F32),
        "recency_scores": rng.random(n).astype(F32),
        "auxiliary_scores": np.zeros(n, F32),
        "roles": rng.integers(0, 8, n).astype(np.uint8),
        "cluster_ids": topic.astype(np.int64),
    }


def main() -> None:
    queries = [make_query(seed) for seed in range(16)]
    solver = ts.TabuSearchSolver(ts.SolverConfig())  # one solver serves every thread
    constraints = ts.SolverConstraints(max_tokens=4000, max_chunks=20, must_include_roles=["definition"])

    def solve(arrays: dict[str, npt.NDArray[np.generic]]) -> list[int]:
        return solver.solve_numpy(**arrays, constraints=constraints).selected_indices  # type: ignore[arg-type]

    start = time.perf_counter()
    sequential = [solve(q) for q in queries]
    loop_s = time.perf_counter() - start

    workers = os.cpu_count() or 2
    start = time.perf_counter()
    with ThreadPoolExecutor(max_workers=workers) as pool:
        threaded = list(pool.map(solve, queries))
    pool_s = time.perf_counter() - start

    assert threaded == sequential, "threads must give the same selections as a plain loop"
    print(f"{len(queries)} queries of {len(queries[0]['token_costs'])} candidates")
    print(f"plain loop:            {loop_s * 1e3:8.1f} ms  ({len(queries) / loop_s:6.1f} queries/s)")
    print(f"{workers} threads:             {pool_s * 1e3:8.1f} ms  ({len(queries) / pool_s:6.1f} queries/s)")
    print(f"speed-up: {loop_s / pool_s:.2f}x, identical selections")


if __name__ == "__main__":
    main()
