"""torvane.ray on a local Ray cluster started by the suite: the same bits as solve_many and
maxsim_topk in one process."""
import os
import struct

import numpy as np
import pytest

ray = pytest.importorskip("ray")
pytest.importorskip("ray.data")
import torvane_solver as ts

import torvane
from torvane.ray import MaxSimTopK, SelectContexts

F32 = np.float32
CONFIG = dict(iterations=30, exact_window_time_ms=10**9)  # no time budget binds
CONSTRAINTS = dict(max_tokens=700, max_per_cluster=2, must_include_roles=["risk"])


@pytest.fixture(scope="module")
def cluster():
    if ray.is_initialized():
        pytest.skip("a Ray cluster is already connected")
    ray.init(num_cpus=2, include_dashboard=False, log_to_driver=False, configure_logging=False,
             runtime_env={"env_vars": {"PYTHONPATH": os.environ.get("PYTHONPATH", "")}})
    ray.data.DataContext.get_current().enable_progress_bars = False
    yield ray
    ray.shutdown()


def row(i):
    rng = np.random.default_rng(i)
    n, dim = int(rng.integers(5, 60)), 8  # ragged: a different n in every row
    r = dict(query_id=i, embeddings=rng.standard_normal((n, dim)).astype(F32),
             token_costs=rng.integers(20, 200, n).astype(np.uint64), density_scores=rng.random(n, dtype=F32),
             centrality_scores=rng.random(n, dtype=F32), recency_scores=rng.random(n, dtype=F32),
             auxiliary_scores=rng.random(n, dtype=F32), roles=rng.integers(0, 8, n).astype(np.uint8),
             cluster_ids=rng.integers(-1, 5, n).astype(np.int64))
    if i % 2:
        r["relevance_scores"] = rng.random(n, dtype=F32)
    else:
        r["query_embedding"] = rng.standard_normal(dim).astype(F32)
    return r


def bits(d):
    return {k: (struct.pack("<d", v) if isinstance(v, float) else v) for k, v in d.items()}


@pytest.mark.parametrize("precomputed", [False, True])
def test_select_contexts_gives_the_bits_of_solve_many(cluster, precomputed):
    rows = [row(2 * i + precomputed) for i in range(16)]
    ds = ray.data.from_items(rows)
    out = ds.map_batches(SelectContexts, fn_constructor_kwargs={"config": CONFIG, "constraints": CONSTRAINTS},
                         compute=ray.data.ActorPoolStrategy(size=2), num_cpus=1, batch_size=5).take_all()
    problems = [{k: v for k, v in r.items() if k != "query_id"} for r in rows]
    expected = torvane.solve_many(problems, ts.SolverConfig(**CONFIG), ts.SolverConstraints(**CONSTRAINTS))
    got = {int(r["query_id"]): r for r in out}
    assert sorted(got) == [r["query_id"] for r in rows]
    for r, e in zip(rows, expected):
        g = got[r["query_id"]]
        assert bits({"selected_indices": list(g["selected_indices"]), "objective_score": float(g["objective_score"]),
                     "total_tokens": int(g["total_tokens"]), "constraints_satisfied": bool(g["constraints_satisfied"]),
                     "constraint_violations": list(g["constraint_violations"])}) == \
            bits({k: getattr(e, k) for k in ("selected_indices", "objective_score", "total_tokens",
                                              "constraints_satisfied", "constraint_violations")})
        np.testing.assert_array_equal(g["embeddings"], r["embeddings"])  # input columns pass through
    assert any(g["constraints_satisfied"] for g in out)
    assert precomputed or any(not g["constraints_satisfied"] and g["constraint_violations"] for g in out)


def test_each_actor_sizes_the_pool_to_its_cpus(cluster):
    @ray.remote(num_cpus=2, max_calls=1)  # a fresh worker process, whose pool has not started
    def two():
        selector = SelectContexts()
        return selector.threads, torvane._native.num_threads()

    @ray.remote(num_cpus=1)
    def one():
        return SelectContexts().threads, SelectContexts(num_threads=3).threads

    assert ray.get(two.remote()) == (2, 2)
    assert ray.get(one.remote()) == (1, 3)


def test_select_contexts_in_process_and_its_arguments():
    rows = [row(i) for i in range(4)]
    batch = {k: np.array([r.get(k) for r in rows], dtype=object) for k in set().union(*rows)}
    out = SelectContexts(ts.SolverConfig(**CONFIG), ts.SolverConstraints(**CONSTRAINTS), num_threads=2)(batch)
    expected = torvane.solve_many([{k: v for k, v in r.items() if k != "query_id"} for r in rows],
                                  ts.SolverConfig(**CONFIG), ts.SolverConstraints(**CONSTRAINTS))
    assert [list(s) for s in out["selected_indices"]] == [e.selected_indices for e in expected]
    assert out["selected_indices"][0].dtype == np.int64 and out["total_tokens"].dtype == np.int64
    with pytest.raises(TypeError):
        SelectContexts(config=[1, 2])
    with pytest.raises(ValueError):
        SelectContexts(num_threads=0)
    bad = dict(batch, roles=np.array([r["roles"].astype(np.int64) for r in rows], dtype=object))
    with pytest.raises(TypeError, match="^problem 0: "):
        SelectContexts(num_threads=1)(bad)


@pytest.mark.parametrize("bits_per_code", [None, 4])
def test_maxsim_topk_gives_the_bits_of_one_process(cluster, bits_per_code):
    rng = np.random.default_rng(7)
    docs = [rng.standard_normal((int(rng.integers(1, 20)), 16)).astype(F32) for _ in range(300)]
    queries = [rng.standard_normal((int(rng.integers(1, 9)), 16)).astype(F32) for _ in range(40)]
    corpus = docs if bits_per_code is None else torvane.quantize(docs, bits_per_code, seed=5)
    ds = ray.data.from_items([{"qid": i, "query": q} for i, q in enumerate(queries)])
    out = ds.map_batches(MaxSimTopK, fn_constructor_kwargs={"corpus": ray.put(corpus), "k": 7},
                         compute=ray.data.ActorPoolStrategy(size=2), num_cpus=1, batch_size=6).take_all()
    q = queries if bits_per_code is None else torvane.quantize(queries, bits_per_code, seed=5)
    indices, scores = torvane.maxsim_topk(q, corpus, 7)
    got = sorted(out, key=lambda r: r["qid"])
    assert np.array_equal(np.stack([r["topk_indices"] for r in got]), indices)
    assert np.stack([r["topk_scores"] for r in got]).tobytes() == scores.tobytes()
