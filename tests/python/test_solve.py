"""Solving through the three entry points: what reaches the solver, and reproducibility."""
import struct
import threading

import numpy as np
import pytest

import torvane_solver as ts

F32 = np.float32
ROLE_NAMES = ["definition", "example", "evidence", "conclusion", "risk", "constraint", "table", "procedure"]


def problem(n=60, dim=8, seed=1):
    rng = np.random.default_rng(seed)
    centres = rng.standard_normal((5, dim))
    emb = (centres[np.arange(n) % 5] + 0.5 * rng.standard_normal((n, dim))).astype(F32)
    return dict(
        embeddings=emb,
        query_embedding=rng.standard_normal(dim).astype(F32),
        token_costs=rng.integers(50, 400, n).astype(np.uint64),
        density_scores=rng.random(n, dtype=F32),
        centrality_scores=rng.random(n, dtype=F32),
        recency_scores=rng.random(n, dtype=F32),
        auxiliary_scores=rng.random(n, dtype=F32),
        roles=rng.integers(0, 9, n).astype(np.uint8),
        cluster_ids=(np.arange(n) % 7 - 1).astype(np.int64),
    )


def as_chunks(p):
    chunks = []
    for i in range(len(p["token_costs"])):
        code = int(p["roles"][i])
        chunk = {
            "embedding": p["embeddings"][i].tolist(),
            "token_count": int(p["token_costs"][i]),
            "fact_density": float(p["density_scores"][i]),
            "centrality_score": float(p["centrality_scores"][i]),
            "recency_score": float(p["recency_scores"][i]),
            "auxiliary_score": float(p["auxiliary_scores"][i]),
            "rhetorical_role": ROLE_NAMES[code].upper() if code < 8 else "other",
        }
        if p["cluster_ids"][i] >= 0:
            chunk["cluster_id"] = int(p["cluster_ids"][i])
        chunks.append(chunk)
    return chunks


def bits(d):
    return {k: (struct.pack("<d", v) if isinstance(v, float) else v) for k, v in d.items() if k != "solve_time_ms"}


CONSTRAINTS = dict(max_tokens=2500, max_per_cluster=2, must_include_roles=["risk", "Definition"],
                   required_chunks=["chunk_4"], excluded_chunks=["chunk_2"])


@pytest.fixture(scope="module")
def solver():
    return ts.TabuSearchSolver(ts.SolverConfig(exact_window_time_ms=10**9))


def test_three_entry_points_agree(solver):
    p = problem()
    c = ts.SolverConstraints(**CONSTRAINTS)
    from_numpy = solver.solve_numpy(**p, constraints=c).to_dict()
    from_chunks = solver.solve(as_chunks(p), p["query_embedding"], c).to_dict()
    assert bits(from_numpy) == bits(from_chunks)
    assert from_numpy["constraints_satisfied"]
    assert 4 in from_numpy["selected_indices"] and 2 not in from_numpy["selected_indices"]


# 2100 x 2100 floats (17.6 MB) take the large-page path of the copy.
@pytest.mark.parametrize("n", [60, 2100])
def test_given_similarity_equals_derived_and_transposed_view(solver, n):
    p = problem(n)
    q = p.pop("query_embedding")
    u = p["embeddings"] / np.linalg.norm(p["embeddings"], axis=1, keepdims=True)
    rel = (u @ (q / np.linalg.norm(q))).astype(F32)
    sim = np.ascontiguousarray((u @ u.T).astype(F32))
    c = ts.SolverConstraints(**CONSTRAINTS)
    base = solver.solve_precomputed_numpy(**p, relevance_scores=rel, similarity_matrix=sim, constraints=c)
    transposed_view = np.asfortranarray(sim)  # same logical matrix, column-major memory
    assert not transposed_view.flags.c_contiguous
    other = solver.solve_precomputed_numpy(**p, relevance_scores=rel, similarity_matrix=transposed_view,
                                           constraints=c)
    strided = np.zeros((sim.shape[0], 2 * sim.shape[1]), F32)
    strided[:, ::2] = sim
    third = solver.solve_precomputed_numpy(**p, relevance_scores=rel, similarity_matrix=strided[:, ::2],
                                           constraints=c)
    assert bits(base.to_dict()) == bits(other.to_dict()) == bits(third.to_dict())


def test_column_major_embeddings_are_read_by_rows(solver):
    p = problem()
    c = ts.SolverConstraints(**CONSTRAINTS)
    base = solver.solve_numpy(**p, constraints=c).to_dict()
    p["embeddings"] = np.asfortranarray(p["embeddings"])
    assert bits(solver.solve_numpy(**p, constraints=c).to_dict()) == bits(base)


@pytest.mark.parametrize("config, aux_zero", [
    (None, True), (ts.SolverConfig(), False),
    (ts.SolverConfig(beta=0.0, gamma=0.0, delta=0.0), True),
    (ts.SolverConfig(beta=0.0, gamma=0.0, delta=1e-6), False),
    (ts.SolverConfig(beta=0.0, gamma=0.0, delta=1e-8), True),
    (ts.SolverConfig(beta=-0.5, gamma=0.0, delta=0.0), False),
])
def test_aux_weights_active(config, aux_zero):
    p = problem(30)
    out = ts.TabuSearchSolver(config).solve_numpy(**p)
    assert (out.density_total == 0.0 and out.centrality_total == 0.0 and out.recency_total == 0.0) == aux_zero


def test_chunk_roles_ids_and_clusters_reach_the_constraints(solver):
    dim = 4
    chunks = [
        {"embedding": [1.0, 0, 0, 0], "chunk_id": "a", "token_count": 10, "rhetorical_role": "RIS\u212a"},
        {"embedding": [0, 1.0, 0, 0], "token_count": 10, "rhetorical_role": "Data_Table", "cluster_id": 0},
        {"embedding": [0, 0, 1.0, 0], "token_count": 10, "cluster_id": 0},
        {"embedding": [0, 0, 0, 1.0], "token_count": True, "cluster_id": -1},
    ]
    c = ts.SolverConstraints(must_include_roles=["risk", "table"], required_chunks=["chunk_3", "zz"],
                             max_per_cluster=1)
    out = solver.solve(chunks, np.ones(dim, F32), c)
    assert out.constraint_violations == ["Required chunk missing: zz"]
    assert set(out.selected_indices) >= {0, 1, 3} and 2 not in out.selected_indices
    assert out.total_tokens == sum(chunks[i]["token_count"] for i in out.selected_indices)


def test_unknown_role_names_require_an_unknown_chunk(solver):
    chunks = [{"embedding": [1.0, 0.0], "rhetorical_role": "risk", "token_count": 5}]
    out = solver.solve(chunks, np.ones(2, F32), ts.SolverConstraints(must_include_roles=["nonsense", " risk"]))
    assert out.constraint_violations == ["Missing required role: Unknown"]


def test_relevance_uses_the_common_prefix_and_full_norms(solver):
    config = ts.SolverConfig(beta=0.0, gamma=0.0, delta=0.0, lambda_=0.0, iterations=0, enable_exact_window=False)
    chunks = [{"embedding": [1.0, 2.0, 3.0, 4.0], "token_count": 1}]
    q = np.array([1.0, 1.0, 1.0], F32)
    out = ts.TabuSearchSolver(config).solve(chunks, q)
    e = np.array([1, 2, 3, 4], F32)
    expected = F32(F32(6.0) / (np.sqrt(F32(30.0)) * np.sqrt(F32(3.0))))
    assert out.relevance_total == float(expected)
    zero = ts.TabuSearchSolver(config).solve([{"embedding": [0.0, 0.0], "token_count": 1}], np.ones(2, F32))
    assert zero.relevance_total == 0.0 and e.size == 4


def test_roles_and_cluster_codes_from_arrays(solver):
    n = 3
    base = dict(embeddings=np.eye(n, dtype=F32), token_costs=np.full(n, 10, np.uint64),
                density_scores=np.zeros(n, F32), centrality_scores=np.zeros(n, F32),
                recency_scores=np.zeros(n, F32), auxiliary_scores=np.zeros(n, F32),
                relevance_scores=np.ones(n, F32))
    roles = np.array([7, 8, 200], np.uint8)
    clusters = np.array([-5, 4, 4], np.int64)
    c = ts.SolverConstraints(must_include_roles=["procedure", "unknown", "risk"], max_per_cluster=1)
    out = solver.solve_precomputed_numpy(**base, roles=roles, cluster_ids=clusters, constraints=c)
    assert out.constraint_violations == ["Missing required role: Risk"]
    assert sorted(out.selected_indices) in ([0, 1], [0, 2])


def test_inputs_are_copied_before_solving(solver):
    p = problem(80)
    c = ts.SolverConstraints(**CONSTRAINTS)
    expected = bits(solver.solve_numpy(**p, constraints=c).to_dict())
    results = []

    def run():
        results.append(bits(solver.solve_numpy(**p, constraints=c).to_dict()))

    t = threading.Thread(target=run)
    t.start()
    p["relevance_scores"] = None
    p["density_scores"][:] = 0.0  # may race with the copy, never with the solve
    t.join()
    p = problem(80)
    assert bits(solver.solve_numpy(**p, constraints=c).to_dict()) == expected


def test_concurrent_solves_match_sequential(solver):
    problems = [problem(100, seed=s) for s in range(4)]
    c = ts.SolverConstraints(**CONSTRAINTS)
    expected = [bits(solver.solve_numpy(**p, constraints=c).to_dict()) for p in problems]
    got = [None] * len(problems)
    errors = []

    def run(k):
        try:
            for _ in range(3):
                got[k] = bits(solver.solve_numpy(**problems[k], constraints=c).to_dict())
        except BaseException as e:  # noqa: BLE001
            errors.append(e)

    threads = [threading.Thread(target=run, args=(k,)) for k in range(len(problems))]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not errors and got == expected


def test_solve_time_is_reported(solver):
    out = solver.solve_numpy(**problem(50))
    assert out.solve_time_ms > 0.0
    assert repr(out).startswith(f"SolverOutput(selected={out.num_selected}, score=")
