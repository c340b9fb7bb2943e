"""One solver shared by eight threads, each running 200 solves mixed with
MaxSim calls and internal faults, and changing its own inputs once each call
has taken them: every result equals the one of a sequential run."""
import struct
import sys
import threading

import numpy as np

import torvane_solver as ts

F32 = np.float32
N, DIM, K = 40, 8, 5
THREADS, SOLVES = 8, 200
METHODS = ("solve", "solve_numpy", "solve_precomputed_numpy")
# The exact window gets all the time it needs, so no result depends on load.
SOLVER = ts.TabuSearchSolver(ts.SolverConfig(iterations=20, exact_window_time_ms=10**9))
CONSTRAINTS = ts.SolverConstraints(max_tokens=900, max_per_cluster=2, must_include_roles=["risk"])


def problem(seed):
    rng = np.random.default_rng(seed)
    return dict(embeddings=rng.standard_normal((N, DIM)).astype(F32),
                query_embedding=rng.standard_normal(DIM).astype(F32),
                token_costs=rng.integers(50, 300, N).astype(np.uint64), density_scores=rng.random(N, dtype=F32),
                centrality_scores=rng.random(N, dtype=F32), recency_scores=rng.random(N, dtype=F32),
                auxiliary_scores=rng.random(N, dtype=F32), roles=rng.integers(0, 9, N).astype(np.uint8),
                cluster_ids=rng.integers(-1, 6, N).astype(np.int64), relevance_scores=rng.random(N, dtype=F32),
                coverage_matrix=rng.random((3, N), dtype=F32), q_vecs=rng.standard_normal((16, 5, DIM)).astype(F32),
                q_codes=rng.integers(0, 256, (16, 5, 6), dtype=np.uint8),
                q_meta=rng.standard_normal((16, 5, 4)).astype(F32))


PROBLEMS = [problem(seed) for seed in range(K)]
ROLE_NAMES = ["definition", "example", "evidence", "conclusion", "risk", "constraint", "table", "procedure", "other"]


class LastValue:
    """The value read last from the last chunk: converting it scrambles the
    caller's own inputs, all of which the solve has copied by then."""

    def __init__(self, value, scramble):
        self.value, self.scramble = value, scramble

    def __index__(self):
        self.scramble()
        return self.value


def call(method, a, scramble=None):
    """Runs one solve on the arrays `a`; with `scramble`, the inputs are
    scrambled while the call runs (solve) or right after it (the NumPy
    entry points)."""
    if method == "solve":
        chunks = [{"embedding": a["embeddings"][i].tolist(), "token_count": int(a["token_costs"][i]),
                   "fact_density": float(a["density_scores"][i]), "centrality_score": float(a["centrality_scores"][i]),
                   "recency_score": float(a["recency_scores"][i]), "auxiliary_score": float(a["auxiliary_scores"][i]),
                   "rhetorical_role": ROLE_NAMES[a["roles"][i]], "cluster_id": int(a["cluster_ids"][i])}
                  for i in range(N)]

        def scramble_all():
            scramble()
            for chunk in chunks[:-1]:
                chunk["embedding"][:] = [0.0] * DIM
                chunk["token_count"] = 1
        if scramble is not None:
            chunks[-1]["cluster_id"] = LastValue(chunks[-1]["cluster_id"], scramble_all)
        return SOLVER.solve(chunks, a["query_embedding"], CONSTRAINTS)
    names = ["embeddings", "query_embedding", "token_costs", "density_scores", "centrality_scores", "recency_scores",
             "auxiliary_scores", "roles", "cluster_ids"]
    if method == "solve_numpy":
        out = SOLVER.solve_numpy(**{k: a[k] for k in names}, constraints=CONSTRAINTS)
    else:
        names.remove("query_embedding")
        out = SOLVER.solve_precomputed_numpy(**{k: a[k] for k in names}, relevance_scores=a["relevance_scores"],
                                             coverage_matrix=a["coverage_matrix"], constraints=CONSTRAINTS)
    if scramble is not None:
        scramble()
    return out


def max_sim(a, j):
    if j % 2:
        return ts.compute_max_sim_batch_f32(a["q_vecs"], a["q_vecs"][::-1])
    return ts.compute_max_sim_batch(a["q_codes"], a["q_meta"], a["q_codes"], a["q_meta"], (1, 4, 8)[j % 3], 48)


def bits(out):
    d = out.to_dict()
    d.pop("solve_time_ms")
    return {k: struct.pack("<d", v) if isinstance(v, float) else v for k, v in d.items()}


def test_shared_solver_under_eight_threads_matches_a_sequential_run():
    expected = {(k, m): bits(call(m, PROBLEMS[k])) for k in range(K) for m in METHODS}
    # The chunk dictionaries carry exactly what the arrays hold.
    assert all(expected[(k, "solve")] == expected[(k, "solve_numpy")] for k in range(K))
    expected_scores = {(k, j): max_sim(PROBLEMS[k], j).tobytes() for k in range(K) for j in range(6)}
    failures = []

    def worker(t):
        own = {name: value.copy() for name, value in PROBLEMS[0].items()}
        rng = np.random.default_rng(100 + t)

        def scramble():
            for value in own.values():
                value[...] = rng.integers(0, 3, value.shape).astype(value.dtype)
        try:
            for i in range(SOLVES):
                k, method = (t + i) % K, METHODS[(t + 2 * i) % 3]
                for name, value in PROBLEMS[k].items():
                    np.copyto(own[name], value)
                if bits(call(method, own, scramble)) != expected[(k, method)]:
                    failures.append(f"thread {t}, solve {i}: {method} on problem {k} differs")
                if i % 2:
                    for name, value in PROBLEMS[k].items():
                        np.copyto(own[name], value)
                    j = (t + i) % 6
                    if max_sim(own, j).tobytes() != expected_scores[(k, j)]:
                        failures.append(f"thread {t}, call {i}: MaxSim {j} on problem {k} differs")
                if i % 25 == t % 25:
                    # An internal fault: metadata with fewer tokens than the codes.
                    try:
                        ts.compute_max_sim_batch(own["q_codes"], own["q_meta"][:, :2], own["q_codes"], own["q_meta"],
                                                 8, 48)
                        failures.append(f"thread {t}: short metadata accepted")
                    except BaseException as e:  # noqa: BLE001 - the internal-error type is not exported
                        if type(e).__name__ != "PanicException":
                            raise
        except BaseException as e:  # noqa: BLE001 - reported by the main thread
            failures.append(f"thread {t}: {type(e).__name__}: {e}")

    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)  # many more thread switches inside the intake
    try:
        threads = [threading.Thread(target=worker, args=(t,)) for t in range(THREADS)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
    finally:
        sys.setswitchinterval(interval)
    assert failures == []
    # The worker pool still computes everything exactly as before.
    assert all(bits(call(m, PROBLEMS[k])) == expected[(k, m)] for k in range(K) for m in METHODS)
    assert all(max_sim(PROBLEMS[k], j).tobytes() == want for (k, j), want in expected_scores.items())
