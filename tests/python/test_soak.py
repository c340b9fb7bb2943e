"""A hundred thousand calls of each kind, accepted and refused: the process's
resident memory settles after a warm-up (run with --soak)."""
import numpy as np
import pytest

import torvane_solver as ts

F32 = np.float32
N = 4


def problem():
    rng = np.random.default_rng(3)
    return dict(embeddings=rng.standard_normal((N, 3)).astype(F32), token_costs=np.full(N, 10, np.uint64),
                density_scores=rng.random(N, dtype=F32), centrality_scores=rng.random(N, dtype=F32),
                recency_scores=rng.random(N, dtype=F32), auxiliary_scores=rng.random(N, dtype=F32),
                roles=np.arange(N, dtype=np.uint8), cluster_ids=np.arange(N, dtype=np.int64))


P = problem()
Q = np.ones(3, F32)
CHUNKS = [{"embedding": row.tolist(), "chunk_id": f"c{i}", "rhetorical_role": "risk", "cluster_id": i}
          for i, row in enumerate(P["embeddings"])]
PRE = dict(P, relevance_scores=np.ones(N, F32), similarity_matrix=np.eye(N, dtype=F32).T,
           fulfilment_scores=np.ones(N, F32), coverage_matrix=np.ones((2, N), F32), query_token_weights=np.ones(2, F32))
CONSTRAINTS = ts.SolverConstraints(max_tokens=25, must_include_roles=["risk"], excluded_chunks=["c1"],
                                   required_chunks=["c0", "zzz"])
SOLVER = ts.TabuSearchSolver(ts.SolverConfig(iterations=3))
CODES = np.arange(2 * 3 * 4, dtype=np.uint8).reshape(2, 3, 4)
META = np.ones((2, 3, 4), F32)
VECS = np.ones((2, 3, 8), F32)


def read_output(out):
    out.to_dict()
    return repr(out), out.selected_indices, out.constraint_violations


def config_round_trip():
    config = ts.SolverConfig(alpha=0.5, random_seed=7, iterations=3)
    config.beta = 2
    return repr(config), ts.TabuSearchSolver(config)


ACCEPTED = {
    "records and solver": config_round_trip,
    "solve": lambda: read_output(SOLVER.solve(CHUNKS, Q, CONSTRAINTS)),
    "solve_numpy": lambda: read_output(SOLVER.solve_numpy(**P, query_embedding=Q, constraints=CONSTRAINTS)),
    "solve_precomputed_numpy": lambda: read_output(SOLVER.solve_precomputed_numpy(**PRE, constraints=CONSTRAINTS)),
    "compute_max_sim_batch": lambda: ts.compute_max_sim_batch(CODES, META, CODES, META, 4, 8),
    "compute_max_sim_batch_f32": lambda: ts.compute_max_sim_batch_f32(VECS, VECS),
}
REFUSED = {
    "records and solver": [lambda: ts.SolverConfig(iterations=-1), lambda: ts.TabuSearchSolver(5),
                           lambda: ts.SolverConstraints(required_chunks=["a", 1])],
    "solve": [lambda: SOLVER.solve(CHUNKS + [{"embedding": [1.0, "x", 2.0]}], Q),
              lambda: SOLVER.solve(CHUNKS + [{}], Q), lambda: SOLVER.solve(CHUNKS, Q[::2])],
    "solve_numpy": [lambda: SOLVER.solve_numpy(**dict(P, roles=P["roles"][:2]), query_embedding=Q),
                    lambda: SOLVER.solve_numpy(**dict(P, token_costs=P["cluster_ids"]), query_embedding=Q)],
    "solve_precomputed_numpy": [lambda: SOLVER.solve_precomputed_numpy(**dict(PRE, similarity_matrix=VECS[0])),
                                lambda: SOLVER.solve_precomputed_numpy(**dict(PRE, query_token_weights=Q))],
    "compute_max_sim_batch": [lambda: ts.compute_max_sim_batch(CODES, META, CODES, META, 2, 8),  # internal fault
                              lambda: ts.compute_max_sim_batch(CODES, META[:, :1], CODES, META, 8, 8),
                              lambda: ts.compute_max_sim_batch(CODES, META, CODES, META, -1, 8)],
    "compute_max_sim_batch_f32": [lambda: ts.compute_max_sim_batch_f32(VECS, VECS[:, :, :4]),
                                  lambda: ts.compute_max_sim_batch_f32(VECS[:, :, ::2], VECS[:, :, ::2])],
}


@pytest.mark.soak
@pytest.mark.parametrize("kind", sorted(ACCEPTED))
def test_memory_settles(kind, rss):
    accepted, refused = ACCEPTED[kind], REFUSED[kind]

    def churn(count):
        for _ in range(count):
            accepted()
            for call in refused:
                try:
                    call()
                except BaseException as e:  # noqa: BLE001 - refusals (one an internal fault) are the point
                    if type(e).__name__ != "PanicException" and not isinstance(e, (TypeError, ValueError,
                                                                                   OverflowError)):
                        raise
                else:
                    raise AssertionError("accepted a call meant to be refused")

    churn(20_000)  # warm-up: allocator pools and caches settle
    before = rss()
    churn(100_000)
    assert rss() - before < 1024 * 1024  # no growth is seen; 11 bytes a call would show
